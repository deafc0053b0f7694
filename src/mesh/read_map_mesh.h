// Validates a map mesh file and decodes its primary mesh block.
#pragma once

#include "console.h"
#include "mesh/map_mesh.h"
#include "platform.h"

// Opens, validates and decodes the named file into *mesh, printing the polygon statistics into
// *log. Returns 0, or -1 after "Not a mesh file." and a reason on standard error.
int read_map_mesh(const char* name, map_mesh* mesh, console_log* log);

// The same from an open source; name is used in messages only.
int read_map_mesh_from(const byte_source* source, const char* name, map_mesh* mesh, console_log* log);

// The file offset of the primary mesh block, the only one this format uses.
constexpr uint32_t mesh_block_offset = 0xC4;
