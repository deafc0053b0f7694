// Tells map meshes from other files, and validates and decodes a map mesh file's primary block.
#pragma once

#include <vector>

#include "console.h"
#include "mesh/map_mesh.h"
#include "platform.h"

// Returns 0 when the byte at offset 64 of the named file is 0xC4, else -1 ("Error opening NAME"
// and the reason first when it cannot be opened). Only that byte counts: the reader checks the
// whole field.
int check_mesh(const char* name, console_log* log);

// Opens, validates and decodes the named file into *mesh, printing the polygon statistics into
// *log; block holds the file's mesh block while it is decoded (a worker reuses it). Returns 0, or
// -1 after "Not a mesh file." and a reason on standard error.
int read_map_mesh(const char* name, map_mesh* mesh, std::vector<uint8_t>* block, console_log* log);

// The same from an open source; name is used in messages only.
int read_map_mesh_from(const byte_source* source, const char* name, map_mesh* mesh, std::vector<uint8_t>* block,
                       console_log* log);
