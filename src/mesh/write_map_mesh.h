// Writes edits back into a map mesh: a copy of the original file with only what an edit of its OBJ
// or .glb can change rewritten, each field the exact inverse of its reading.
#pragma once

#include <cstdint>
#include <vector>

#include "mesh/map_mesh.h"
#include "mesh/match_edit.h"

// How many of the mesh's records an edit changed.
struct edit_counts {
    size_t positions = 0;  // vector records of the textured and untextured polygons
    size_t normals = 0;    // vector records of the textured polygons' normals
    size_t textures = 0;   // texture records (u, v, page, palette)
};

// Writes into the file's bytes every corner position, textured corner normal, texture coordinate,
// page and palette byte of values (as match_edited_model leaves them: quads whole, a page per
// polygon); every other byte stays. *changed counts the records whose bytes changed.
void write_mesh_records(uint8_t* file, const polygon_counts& counts, const mesh_values& values, edit_counts* changed);
