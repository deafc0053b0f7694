// Writes edits back into a map mesh: a copy of the original file with only what an edit of its OBJ
// or .glb can change rewritten, each field the exact inverse of its decoding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh/edited_model.h"
#include "mesh/map_mesh.h"

// How many of the mesh's records an edit changed.
struct edit_counts {
    size_t positions = 0;  // vector records of sections 2-5
    size_t normals = 0;    // sections 6-7
    size_t textures = 0;   // texture records (u, v, page, palette): sections 8-9
};

// Matches the edited model's faces with the mesh's triangles (object by object, in the order mapconv
// wrote them: the grouping and corner order come from the original mesh) and writes into *out the
// original file's bytes with every corner position, textured corner normal, texture coordinate,
// page and palette number the edit holds. Everything else is copied. Returns 0, or -1 with the
// first record that cannot be written back, what was expected and what was found, in *error.
int write_edited_mesh(const std::vector<uint8_t>& file, const map_mesh& mesh, const edited_model& model,
                      std::vector<uint8_t>* out, edit_counts* counts, std::string* error);
