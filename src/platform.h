// The seam to the system: everything that differs between platforms. The process's start, folders
// and their listing, opening inputs safely, the few file operations that inputs and outputs are
// built on (files.h), error texts and the processor count. One file per system implements it, and
// it calls nothing of the program's own.
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
// SIGTERM and SIGHUP (Ctrl-C and the console's closing on Windows) call on_ending, which must be
// safe in a signal handler; when it returns true the process ends as the signal says, else the
// program calls end_as_signalled when it may end. A signal the process was started ignoring stays
// ignored. Returns a mask of the standard descriptors that were closed (bit n for descriptor n).
int prepare_process(bool (*on_ending)());

// Ends the process as the signal on_ending was called for would have ended it (with status
// 128 + N where the signal cannot end it, as for process 1 of a container). Safe in a signal
// handler.
void end_as_signalled();

// A number that differs between processes even when their numbers are the same.
uint32_t random_token();

// Gives the program its arguments in UTF-8 (Windows hands them over in its ANSI code page; other
// systems already pass the bytes as they are).
void platform_arguments(int* argc, char*** argv);

// Where the console window was opened for this process alone (a file dropped onto the program, a
// double-click), waits for a key, so that the window does not close before what the run printed
// is read. Elsewhere, and from an existing console or a script, returns at once.
void wait_before_own_console_closes();

// Whether standard output is a terminal (names are then shown with control bytes escaped).
bool stdout_is_terminal();

// Makes folder the current folder. Returns 0, or -1 with *error set.
int change_folder(const char* folder, int* error);

// Whether a folder of this path, made or not yet, has a name the system can use, with room for a
// file of a few dozen bytes in it, in at most longest bytes in all. Returns 0, or ENAMETOOLONG.
int folder_path_fits(const char* path, size_t longest);

// Makes one folder. Returns 0 (also when it exists already), or an errno.
int make_folder(const char* path);

// The absolute path of an existing folder. Returns 0 with *absolute set (no trailing separator
// but at a root), or an errno (ENOTDIR when the path names something else).
int absolute_folder(const char* path, std::string* absolute);

// Lists the names in ".", in the order the system delivers them ("." and ".." included where it
// delivers them). Returns 0, or -1 after perror("opendir").
int list_directory(std::vector<std::string>* names);

// Opens a regular file for reading without ever blocking. What is not a regular file is refused
// from its type, before it is opened (opening a named pipe would release a writer waiting on it),
// and again after, in case the entry was swapped. Returns 0 with *fd set, or -1 with *reason set
// to the system's text and *error to the errno (0 for a refused type).
int open_input(const char* name, int* fd, std::string* reason, int* error);

void close_input(int fd);

// Whether the system can open a listed name as the file it names: 0, or a code that error_text
// explains. Windows opens another file, or a device, for a name ending in a dot or a blank, for
// a device name (con, nul, com1 ...) and for a name holding : * ? < > | or a double quote, which
// volumes written by other systems can hold; such names are refused, never opened.
int name_refused(const char* name);

// Whether final_name can take an output: not a folder, not too long. Returns 0, or -1 with *error
// set. Checked for every output of a pair before the first is renamed.
int output_target_usable(const char* final_name, int* error);

// What tells one file from another: its device, and its number there.
struct file_identity {
    uint64_t device;
    uint64_t number;
};

// A temporary output no longer holds the file the run wrote: another program swapped it.
constexpr int error_temporary_replaced = 10100;

// The file operations under byte sources and output files (files.cpp builds those on them, the same
// on every system). Those returning int return 0 or an errno.
long long file_size(int fd);                                                     // -1 when unknown
int file_read_at(int fd, uint64_t offset, void* buffer, size_t n, size_t* got);  // *got 0 at the end
int file_create_new(const char* path, int* fd, file_identity* id);               // exclusive, never through a link
// The identity of what path leads to, a folder included, through links. Returns 0 or an errno.
int path_identity(const char* path, file_identity* id);
// The identity of the regular file path names itself, never through a link; an errno (ELOOP for a
// link, EINVAL for what is not a regular file) otherwise.
int name_identity(const char* path, file_identity* id);
// Gives the open file the permission bits of the regular file final_name, and its owner and group
// where this process may set them; nothing where final_name is not a regular file.
void file_take_attributes(int fd, const char* final_name);
int file_write(int fd, const void* data, size_t n, size_t* put);
int file_reserve(int fd, uint64_t size);  // room ahead of the writes, where there is a way
int file_truncate(int fd, uint64_t size);
int file_close(int fd);
// Gives the entry existing (never followed, were it a link) a second name, new_name.
int file_link(const char* existing, const char* new_name);
// Renames temp over final_name in one step; a link bearing final_name is replaced, never followed.
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

// A worker thread. Its stack is small (the work lives on the heap) and goes back to the system
// when the thread is joined: a run that falls back to one pair after another, short of memory,
// gets back what the workers' stacks held.
struct worker_thread {
    void* system = nullptr;
};

// Starts body(argument) on a thread of its own. Returns 0, or -1 when the system gives no thread.
int start_worker(void (*body)(void*), void* argument, worker_thread* worker);

// Waits for the worker's end and frees what it held.
void join_worker(worker_thread* worker);
