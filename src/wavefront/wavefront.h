// The Wavefront writers: the OBJ model and the MTL material library of one pair.
#pragma once

#include <string>
#include <vector>

#include "byte_sink.h"
#include "mesh/face_order.h"
#include "mesh/map_mesh.h"

// The materials of a pair, one per sheet: a single material "blah" for the whole terrain, or with
// by_palette one material "palette_P" for each palette P of the list (ascending), whose faces form
// a group of their own.
struct obj_materials {
    const std::vector<int>* palettes;  // the pair's sheets, by palette
    int by_palette;
};

// The name of the material of sheet palette: "blah", or "palette_P" by palette.
std::string material_name(const obj_materials& materials, int palette);

// The OBJ file's first line, which names its material library: "mtllib NAME".
std::string obj_mtllib_line(const char* mtl_name);

// Writes the model after its mtllib line into out: object "terrain" (positions, normals, texture
// coordinates, faces bound to the materials) and object "skirt" (positions and vertex-only faces).
// Faces name their corners in the file's order, or with orders in the order viewers need to face
// up (only the order of the indices on "f" lines changes). Every pair of a mesh writes the same
// text. It is gathered in block (a worker reuses it) and written a block at a time. Returns 0, or
// -1 when a write failed.
int write_obj_body(const map_mesh* mesh, const obj_materials& materials, const face_orders* orders,
                   std::vector<char>* block, byte_sink* out);

// About how long the text of write_obj_body is: a little more than most.
uint64_t obj_body_size_estimate(const map_mesh* mesh);

// Writes the material library: one white material per sheet, mapped with that sheet's PNG
// (png_names in the order of the palettes). Returns 0, or -1 when the write failed.
int write_mtl(const obj_materials& materials, const std::vector<std::string>& png_names, byte_sink* out);
