// The program's exit statuses: only the run and the write-back turn results into them.
#pragma once

constexpr int status_done = 0;          // every pair converted (or nothing to pair), or NEW written
constexpr int status_failed = 1;        // a pair failed, a folder could not be used, or NEW not written
constexpr int status_usage = 2;         // bad command line
constexpr int status_png_failed = 255;  // a PNG could not be written: the run stopped there
