// Console text of one stage or pair, held until it can be printed in pair order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform.h"

struct console_chunk {
    int to_stderr;  // 0: standard output, 1: standard error
    std::string text;
};

struct console_log {
    std::vector<console_chunk> chunks;
    int quiet = 0;               // standard output's text is dropped
    int short_of_resources = 0;  // a failure came from a shortage of memory, descriptors or space
};

// Records the errno of a failure being reported.
void note_error(console_log* log, int error);

// A file name as the console shows it. Control bytes (below 0x20, and 0x7F) are escaped as \n, \t,
// \r or \xHH on standard error always, and on standard output when it is a terminal; standard
// output into a file or a pipe keeps the name's bytes.
std::string name_for_stderr(const char* name);
std::string name_for_stdout(const char* name);

// Appends a formatted line to standard output's text.
void log_out(console_log* log, const char* format, ...) printf_like(2, 3);

// Appends "mapconv: NAME: reason\n" to standard error's text, the name escaped.
void log_error(console_log* log, const char* name, const char* format, ...) printf_like(3, 4);

// Prints "mapconv: NAME: reason" on standard error at once, the name escaped: for what happens
// outside any pair's log.
void print_error(const char* name, const std::string& reason);

// Prints the held text in order and empties the log. Returns 0, or -1 when standard output failed.
int flush_log(console_log* log);

extern const char not_a_mesh[];     // "Not a mesh file.\n"
extern const char not_a_texture[];  // "Not a texture file.\n"
