// Reads a glTF binary that mapconv wrote and an editor may have exported again, for the write-back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mesh/edited_model.h"

// Reads a .glb, as mapconv writes it or as an editor exports it again, into *model: the triangles
// of the nodes terrain and skirt, placed as their nodes place them, the terrain's primitives in the
// order of the palettes their materials name when there are several. Returns 0, or -1 with the
// first node or primitive that cannot be read, and why, in *error.
int read_glb_model(const uint8_t* data, size_t size, edited_model* model, std::string* error);
