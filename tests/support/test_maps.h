// Maps the tests share: the sample, hills in either corner order, random meshes.
#pragma once

#include <string>

#include "map_writer.h"

struct scratch_folder;

// The sample map, written by the sample tool into folder.
void make_sample(const scratch_folder& folder);

// Hills of quads and triangles over several palettes and pages with a skirt, normals that lean
// with the slope and some that are zero, a few triangles wound against the rest, in either corner
// order.
written_mesh hill_mesh(bool reverse_corners);

// A mesh of random corners and random normals of any length (zero included), seeded.
std::string random_mesh(int tex_tris, int tex_quads, int untex_tris, int untex_quads);

// A mesh whose every field takes random values over its whole range: coordinates from -32768 to
// 32767 (the ends included), any u, v, page byte and palette byte; its header, unused bytes and
// skipped areas hold random bytes, and bytes follow its palettes.
std::string random_whole_range_mesh(int tex_tris, int tex_quads, int untex_tris, int untex_quads, uint32_t seed);
