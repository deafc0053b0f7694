// The run: lists the folder, sorts the names into meshes and texture candidates, converts every
// pair (on several workers when asked) and puts each pair's outputs in place in pair order.
#pragma once

#include "convert.h"

struct run_options {
    int jobs = 1;  // pairs converted at once
    pair_options pair;
};

// Exit statuses of a run.
constexpr int status_done = 0;          // every pair converted, or nothing to pair
constexpr int status_failed = 1;        // a pair failed, or the folder could not be listed
constexpr int status_usage = 2;         // bad command line
constexpr int status_png_failed = 255;  // a PNG could not be written: the run stopped there

// Lists ".", keeps the names that begin with prefix and do not end in obj, gns, mtl, png or glb,
// sorts them into meshes and texture candidates and converts every pair, mesh by mesh. Returns a
// run status.
int walkdir(const char* prefix, const run_options* options);

// Converts the pairs of files dropped onto the program, each a name in ".": a dropped mesh with
// every texture candidate whose name begins with the mesh's stem (its name up to the last '.'), a
// dropped sheet with every mesh whose name begins with its stem; each pair once. Returns a run
// status.
int convert_dropped(const std::vector<std::string>& dropped, const run_options* options);
