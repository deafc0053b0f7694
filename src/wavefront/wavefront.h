// The Wavefront writers: the OBJ model and the MTL material library of one pair.
#pragma once

#include <string>
#include <vector>

#include "byte_sink.h"
#include "mesh/map_mesh.h"

// Writes the model into out: object "terrain" (positions, normals, texture coordinates, faces
// bound to material "blah") and object "skirt" (positions and vertex-only faces). With by_palette
// the terrain's faces are grouped by palette, ascending, each group bound to the material
// "palette_P". The text is gathered in block (a worker reuses it) and written a block at a time.
// Returns 0, or -1 when a write failed.
int write_obj(const map_mesh* mesh, const char* mtl_name, int by_palette, std::vector<char>* block, byte_sink* out);

// Writes the nine-line library of the white material "blah" mapped with the PNG sheet. Returns 0,
// or -1 when the write failed.
int write_mtl(const char* png_name, byte_sink* out);

// Writes one material "palette_P" per palette in the ascending list, each mapped with its sheet.
// Returns 0, or -1 when the write failed.
int write_mtl_palettes(const std::vector<int>& palettes, const std::vector<std::string>& png_names, byte_sink* out);
