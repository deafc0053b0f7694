// Reading inputs and making outputs, the same on every system: byte sources, the output folder, and
// output files under temporary names, built on the file operations of the platform seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

// Where a reader takes its bytes from: an open input file, or memory. Readers never open files; a
// pair's conversion opens each of its inputs once and hands the readers its source.
struct byte_source {
    int fd;               // -1 when reading from memory
    const uint8_t* data;  // memory source
    size_t size;
};

inline byte_source file_source(int fd)
{
    return byte_source{fd, nullptr, 0};
}

inline byte_source memory_source(const void* data, size_t size)
{
    return byte_source{-1, static_cast<const uint8_t*>(data), size};
}

// Why a reader refused its input: the reason shown after "mapconv: NAME: ", and the errno behind
// it (0 when the bytes themselves are at fault). Readers print nothing; their caller does.
struct read_problem {
    std::string reason;
    int error = 0;
};

// The size of the input in bytes, or -1 when the system cannot tell.
long long source_size(const byte_source* source);

// Reads up to n bytes at offset. Returns the number read (less than n only at the end of the
// input), or -1 when the system reports an error (errno says which).
long read_source(const byte_source* source, uint64_t offset, void* buffer, size_t n);

// Reads exactly n bytes at offset. False with the reason in *problem where the system reports an
// error, or the input ends first (it changed while it was read: its size was told before).
bool read_exactly(const byte_source* source, uint64_t offset, void* buffer, size_t n, std::string* problem);

// Where a path's folder part ends: after its last separator, or 0 when it has none.
size_t folder_part_length(const char* path);

// Makes folder, and the folders above it, where missing, and makes it the folder of every
// temporary from now on (an output is renamed within one folder). Returns 0 with *absolute set to
// its absolute path ending in a separator, or -1 with *error set. Called once, before any output
// is made.
int use_output_folder(const char* folder, std::string* absolute, int* error);

// An output written under a temporary name in the output folder ("." unless use_output_folder set
// another) and renamed over its final name only when it is complete, so an earlier file is never
// lost and a link bearing the final name is never followed. Temporaries are named
// ".mapconv-PID-N.tmp".
struct output_file {
    int fd = -1;
    std::string temp_name;
    int error = 0;          // the first errno met; sticky
    uint64_t written = 0;   // bytes written so far
    uint64_t reserved = 0;  // bytes allocated ahead by output_reserve
    file_identity id = {};  // the file created, to know it again at the rename
};

// Creates the temporary file. Returns 0, or -1 with f->error set.
int output_create(output_file* f);

// Allocates room for about size bytes before they are written, where the file system can. A
// file whose blocks are allocated is cheap to rename over an earlier one; a file system that
// allocates late must otherwise write the new file out at the rename. Only a hint: a failure is
// left to the writes to report.
void output_reserve(output_file* f, uint64_t size);

// Writes all n bytes. Returns 0, or -1 (also when an earlier write failed).
int output_write(output_file* f, const void* data, size_t n);

// Closes the temporary file, giving it first what a regular file final_name has: its permission
// bits, and its owner and group where this process may set them. Returns 0 when every write and
// the close succeeded, else -1.
int output_finish(output_file* f, const char* final_name);

// What an output put in place replaced, kept so that it can be put back until its pair is whole.
enum replaced_state {
    replaced_lost,     // nothing to put back: kept nothing, or the system cannot keep it (no links)
    replaced_kept,     // kept under kept_name
    replaced_nothing,  // the name held nothing: putting back removes the output
};

struct replaced_file {
    replaced_state state = replaced_lost;
    std::string kept_name;
};

// Renames the finished temporary over final_name, once it has checked that the temporary is still
// the file it wrote (else f->error is error_temporary_replaced). With replaced, what final_name
// held stays under a second, temporary name (a hard link) until restore_replaced or drop_replaced.
// Returns 0, or -1 with f->error set and the temporary removed.
int output_commit(output_file* f, const char* final_name, replaced_file* replaced = nullptr);

// Puts back what an output replaced (removes the output where the name held nothing), then drops
// it. Where the system kept nothing, the output stays.
void restore_replaced(replaced_file* replaced, const char* final_name);

// Removes the second name of what an output replaced, once its pair is whole.
void drop_replaced(replaced_file* replaced);

// Writes one whole output from bytes, under a temporary name and renamed over name once complete;
// should the rename bring another file into place (a temporary swapped meanwhile), what name held
// is put back. Returns 0, or -1 with *error set and nothing left behind.
int write_whole_output(const char* name, const void* data, size_t size, int* error);

// Closes and removes the temporary, if there is one. Safe to call twice.
void output_discard(output_file* f);

// Whether a name has the form of a temporary, this run's or one that an ended run left: such names
// are never inputs.
bool is_temporary_name(const char* name);

// Chooses the token that, with the process number, names this process's temporaries: best a
// random one. Called once, before any output is made.
void choose_temporary_token(uint32_t token);

// Removes every temporary this process made and returns true; or, while a temporary is being
// created, returns false and leaves the clean-up and the end of the process (end_as_signalled) to
// that creation. No temporary is created afterwards. Safe in a POSIX signal handler:
// prepare_process is handed it.
bool remove_own_temporaries();
