// Reads an OBJ file that mapconv wrote and an editor may have exported again, for the write-back.
#pragma once

#include <cstddef>
#include <string>

#include "mesh/edited_model.h"

// Reads an OBJ file, as mapconv writes it or as an editor exports it again, into *model: the faces
// of the objects terrain and skirt (triangles; positions, normals and texture coordinates from any
// numbering, welded or not), each terrain face with the palette its material names. Returns 0, or
// -1 with the first face or object that cannot be read, and why, in *error.
int read_obj_model(const char* data, size_t size, edited_model* model, std::string* error);
