// Everything that differs between platforms: the process's start, listing the current folder,
// opening inputs safely, reading at an offset, replacing output files atomically, error texts and
// the processor count. One file per system implements it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Lets the compiler check a printf-style format and its arguments, where it can.
#if defined(__MINGW32__)
// MinGW builds with its own C99 printf (__USE_MINGW_ANSI_STDIO), which %zu needs.
#define printf_like(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define printf_like(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define printf_like(format_index, first_arg)
#endif

// Whether a backslash separates folders in a path, as a slash does everywhere.
#if defined(_WIN32)
constexpr bool path_separator_backslash = true;
#else
constexpr bool path_separator_backslash = false;
#endif

// Readies the process before anything else runs. A standard descriptor (0, 1, 2) that is closed
// is opened on the null device, so no output file can ever be given its number; a file-size limit
// or a closed pipe fails a write, which is reported, instead of ending the process; SIGINT,
// SIGTERM and SIGHUP remove this process's temporaries before it ends as the signal says.
// Returns a mask of the standard descriptors that were closed (bit n for descriptor n).
int prepare_process();

// Gives the program its arguments in UTF-8 (Windows hands them over in its ANSI code page; other
// systems already pass the bytes as they are).
void platform_arguments(int* argc, char*** argv);

// Whether standard output is a terminal (names are then shown with control bytes escaped).
bool stdout_is_terminal();

// Makes folder the current folder. Returns 0, or -1 with *error set.
int change_folder(const char* folder, int* error);

// Makes folder, and the folders above it, where missing, and makes it the folder of every
// temporary from now on (an output is renamed within one folder). Returns 0 with *absolute set to
// its absolute path, or -1 with *error set. Called once, before any output is made.
int use_output_folder(const char* folder, std::string* absolute, int* error);

// Lists the names in ".", in the order the system delivers them ("." and ".." included where it
// delivers them). Returns 0, or -1 after perror("opendir").
int list_directory(std::vector<std::string>* names);

// Opens a regular file for reading without ever blocking. What is not a regular file is refused
// from its type, before it is opened (opening a named pipe would release a writer waiting on it),
// and again after, in case the entry was swapped. Returns 0 with *fd set, or -1 with *reason set
// to the system's text and *error to the errno (0 for a refused type).
int open_input(const char* name, int* fd, std::string* reason, int* error);

void close_input(int fd);

// Where a reader takes its bytes from: an open file, or memory (tests and fuzzing).
struct byte_source {
    int fd;               // -1 when reading from memory
    const uint8_t* data;  // memory source
    size_t size;
};

// The size of the input in bytes, or -1 when the system cannot tell.
long long source_size(const byte_source* source);

// Reads up to n bytes at offset. Returns the number read (less than n only at the end of the
// input), or -1 when the system reports an error.
long read_source(const byte_source* source, uint64_t offset, void* buffer, size_t n);

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

// Closes the temporary file. Returns 0 when every write and the close succeeded, else -1.
int output_finish(output_file* f);

// Whether final_name can take an output: not a folder, not too long. Returns 0, or -1 with *error
// set. Checked for every output of a pair before the first is renamed.
int output_target_usable(const char* final_name, int* error);

// Renames the finished temporary over final_name. A regular file it replaces passes on its
// permission bits, and its owner and group where this process may set them. Returns 0, or -1
// with f->error set and the temporary removed.
int output_commit(output_file* f, const char* final_name);

// Closes and removes the temporary, if there is one. Safe to call twice.
void output_discard(output_file* f);

// Whether a name has the form of a temporary, this run's or one that an ended run left: such names
// are never inputs.
bool is_temporary_name(const char* name);

// Makes folder (absolute, ending in a separator) the folder of every temporary from now on.
// Returns 0, or an errno.
int set_temporary_folder(const std::string& folder);

// Removes every temporary this process may have made, and makes any it creates from now on remove
// itself. Safe in a POSIX signal handler.
void remove_own_temporaries();

// What each platform file provides under byte sources and output files (files.cpp builds those on
// them, the same on every system). Those returning int return 0 or an errno.
long long file_size(int fd);                                                     // -1 when unknown
int file_read_at(int fd, uint64_t offset, void* buffer, size_t n, size_t* got);  // *got 0 at the end
int file_create_new(const char* path, int* fd);                                  // exclusive, never through a link
int file_write(int fd, const void* data, size_t n, size_t* put);
int file_reserve(int fd, uint64_t size);  // room ahead of the writes, where there is a way
int file_truncate(int fd, uint64_t size);
int file_close(int fd);
// Renames temp over final_name in one step, keeping what the system lets it keep of a file it
// replaces (its permission bits, owner and group).
int file_replace(const char* temp, const char* final_name);
void file_remove(const char* path);  // safe in a POSIX signal handler
unsigned long process_number();

// The key under which an output's name is one file: the name itself, or on a system whose names
// ignore case, the name in lower case.
std::string output_name_key(const std::string& name);

// Whether an errno value says the system ran short of memory, descriptors or disk space: what
// converting pairs ahead of the committed ones can cause, where one pair after another would not.
bool is_shortage(int error);

// The system's text for an errno value.
std::string error_text(int error);

// Number of processors available to this process.
int processor_count();
