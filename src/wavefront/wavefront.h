// The Wavefront writers: the OBJ model and the MTL material library of one pair.
#pragma once

#include "mesh/map_mesh.h"
#include "platform.h"

// Writes the model: object "terrain" (positions, normals, texture coordinates, faces bound to
// material "blah") and object "skirt" (positions and vertex-only faces). Returns 0, or -1 when a
// write failed (out->error says why).
int write_obj(const map_mesh* mesh, const char* mtl_name, output_file* out);

// Writes the nine-line library of the white material "blah" mapped with the PNG sheet. Returns 0,
// or -1 when a write failed.
int write_mtl(const char* png_name, output_file* out);
