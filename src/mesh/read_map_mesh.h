// Tells map meshes from other files, and validates and decodes a map mesh file's primary block.
// Readers take a byte source: the pair's conversion opens the file.
#pragma once

#include <vector>

#include "console.h"
#include "files.h"
#include "mesh/map_mesh.h"

// Returns 0 when the byte at offset 64 of the input is 0xC4, else -1. Only that byte counts: the
// reader checks the whole field.
int check_mesh(const byte_source* source);

// Validates and decodes the input into *mesh, printing the polygon statistics into *log; block
// holds the file's mesh block, from its counts to the end of its palettes (a worker reuses it,
// and it says what the mesh was decoded from). name is used in messages only. Returns 0, or -1
// after "Not a mesh file." and a reason on standard error.
int read_map_mesh(const byte_source* source, const char* name, map_mesh* mesh, std::vector<uint8_t>* block,
                  console_log* log);
