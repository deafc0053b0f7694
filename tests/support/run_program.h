// Runs the built mapconv in a folder and captures what it prints; makes scratch folders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct program_run {
    int status = -1;         // exit status, or 128 + signal
    bool signalled = false;  // ended by a signal (status is then 128 + its number), not by an exit
    bool timed_out = false;
    std::string out, err;
};

// The surroundings a run starts in.
struct run_setup {
    long file_size_limit = 0;  // > 0: RLIMIT_FSIZE
    int timeout_seconds = 60;
    int user = -1;                    // >= 0: run as this user (root writes anywhere)
    int closed_streams = 0;           // bit n: start with descriptor n closed
    bool stdout_reader_gone = false;  // standard output is a pipe whose reading end is closed
    long open_files_limit = 0;        // > 0: RLIMIT_NOFILE
    long memory_limit = 0;            // > 0: RLIMIT_AS, bytes
    int signal = 0;                   // sent signal_after_ms after the start
    int signal_after_ms = 0;
    int ignored_signal = 0;  // started with this signal ignored, as under nohup or in a script's background job
    std::vector<std::string> environment;  // NAME=VALUE, set for the run
    int processor = -1;                    // >= 0: the run may use this processor only (taskset)
};

program_run run_mapconv(const std::string& folder, const std::vector<std::string>& args, const run_setup& setup);

// Runs mapconv with args inside folder. file_size_limit > 0 sets RLIMIT_FSIZE for the child;
// user >= 0 runs it under that user id (root can write anywhere, so tests of a folder without
// write permission run as another user).
program_run run_mapconv(const std::string& folder, const std::vector<std::string>& args, long file_size_limit = 0,
                        int timeout_seconds = 60, int user = -1);

// A fresh folder under the system temp folder, removed with everything in it when it goes.
struct scratch_folder {
    std::string path;
    scratch_folder();
    ~scratch_folder();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A build path as the running system names it (under Wine, a Unix path is on drive Z:).
std::string native_path(const std::string& path);

// Makes a folder. Returns 0, or -1.
int make_folder(const std::string& path);

// Whether anything, a broken link included, bears the name.
bool exists(const std::string& path);

// The names in folder in the order the system lists them, without "." and "..".
std::vector<std::string> list_names(const std::string& folder);
