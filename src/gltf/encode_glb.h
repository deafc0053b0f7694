// The glTF 2.0 binary form of one pair: the terrain with its sheets embedded, and the skirt. An
// optional part of the program: a build without it has glb_built_in false.
#pragma once

#include <cstdint>
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
