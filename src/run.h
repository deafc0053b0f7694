// The run: converts every pair of a pair list (on several workers when asked), puts each pair's
// outputs in place in pair order, writes the index page, and turns how the pairs ended into the
// exit status.
#pragma once

#include <vector>

#include "convert.h"
#include "scan.h"

struct run_options {
    int jobs = 1;  // pairs converted at once
    pair_options pair;
};

// Converts the list's pairs and returns a run status (exit_status.h).
int run_pairs(const pair_list& list, const run_options* options);

// Converts every pair the prefix makes in ".". as_typed is the prefix with its folder, where it
// had one (a path that names nothing there is a missing file), else null. Returns a run status.
int walkdir(const char* prefix, const char* as_typed, const run_options* options);

// Converts the pairs of files dropped onto the program (paths with their folders), folder by
// folder in the order the folders first appear. Returns a run status.
int run_dropped_files(const std::vector<const char*>& paths, const run_options* options);
