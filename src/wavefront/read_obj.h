// Reads an OBJ file that mapconv wrote and an editor may have exported again, for the write-back.
#pragma once

#include <string>

#include "files.h"
#include "mesh/edited_model.h"

// Reads an OBJ file, as mapconv writes it or as an editor exports it again, from source a block at a
// time into *model: the faces of the objects terrain and skirt (or, where the file has no objects,
// of the groups tex or palette_P and skirt), triangles whose positions, normals and texture
// coordinates come from any numbering, welded or not; each terrain face with the palette its
// material names. Every number must read whole and be finite, every index must name a value the
// file has before it, and no kind of line may pass what a map's OBJ holds. Returns 0, or -1 with
// the line that cannot be read, and why, in *error.
int read_obj_model(const byte_source* source, edited_model* model, std::string* error);
