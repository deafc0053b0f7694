// Tells map meshes from other files, and validates and decodes a map mesh file's primary block.
// Readers take a byte source (the pair's conversion opens the file) and print nothing: a refusal
// comes back as a read_problem for the caller to print.
#pragma once

#include <vector>

#include "files.h"
#include "mesh/map_mesh.h"

// Returns 0 when the byte at offset 64 of the input is 0xC4, else -1. Only that byte counts: the
// reader checks the whole field.
int check_mesh(const byte_source* source);

// Reads the header: the whole 32-bit field at offset 64 must hold the block's offset, and the four
// counts must follow there. Returns 0 with *counts set, or -1 with *problem set.
int read_mesh_counts(const byte_source* source, polygon_counts* counts, read_problem* problem);

// Reads the block of a mesh with these counts (not all zero, and no byte more than they need) and
// decodes it into *mesh; block holds the file's mesh block, from its counts to the end of its
// palettes (a worker reuses it, and it says what the mesh was decoded from). block may be null: a
// mesh in memory is then decoded where it lies. Returns 0, or -1 with *problem set.
int read_mesh_block(const byte_source* source, const polygon_counts& counts, map_mesh* mesh,
                    std::vector<uint8_t>* block, read_problem* problem);

// Both steps: the counts, then the block. Returns 0, or -1 with *problem set.
int read_map_mesh(const byte_source* source, map_mesh* mesh, std::vector<uint8_t>* block, read_problem* problem);

// The mesh's 16 palettes alone, after the same checks as read_map_mesh: what colours its sheets.
// Returns 0, or -1 with *problem set.
int read_mesh_palettes(const byte_source* source, palette_table* palettes, read_problem* problem);
