// The glTF 2.0 binary form of one pair: the terrain with its sheets embedded, and the skirt. An
// optional part of the program: a build without it has glb_built_in false.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "mesh/map_mesh.h"

extern const bool glb_built_in;

// The PNG bytes of one sheet and the palette it was coloured with.
struct glb_sheet {
    int palette;
    const std::vector<uint8_t>* png;
};

// Writes the .glb into out: node "terrain" with one primitive per sheet (faces whose sheet palette
// is the sheet's; every face when there is one sheet), and node "skirt"; every triangle faces where
// its normals point. Materials, images and meshes are named after pair_name. Returns 0, or -1 with
// a reason in *error.
int encode_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, const std::string& pair_name, byte_sink* out,
               std::string* error);

// A .glb laid out before a byte of it is written (its vertices welded: the most of its cost), so
// that the laying out can be done beside other work. The mesh and the sheets' bytes must stay as
// they are until it is written.
struct glb_layout;
struct glb_plan {
    std::unique_ptr<glb_layout> layout;
    glb_plan();
    ~glb_plan();
};

void plan_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, const std::string& pair_name, glb_plan* plan);

// Writes a planned .glb into out, the bytes encode_glb writes. Returns 0, or -1 when the sink failed.
int write_planned_glb(const glb_plan& plan, byte_sink* out);
