// Reads a glTF binary that mapconv wrote and an editor may have exported again, for the write-back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "files.h"
#include "mesh/edited_model.h"

// Reads a .glb, as mapconv writes it or as an editor exports it again, into *model: the triangles
// of the nodes terrain and skirt, placed as their nodes place them, the terrain's primitives in the
// order of the palettes their materials name when there are several. Returns 0, or -1 with the
// first node or primitive that cannot be read, and why, in *error. The bytes of the parts' arrays
// are read too, or (arrays false) left for read_glb_arrays: a caller that holds much memory for a
// while can let it go first.
int read_glb_model(const byte_source* source, edited_model* model, std::string* error, bool arrays = true);

// Reads the bytes of the model's arrays from the .glb read_glb_model read it from. Returns 0, or -1
// with the reason in *error.
int read_glb_arrays(const byte_source* source, edited_model* model, std::string* error);
