// Reading inputs and making outputs, the same on every system, built on the few file operations
// each platform file provides.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "files.h"

namespace {

// Temporaries are numbered in order of creation; the number is taken before the file is made, so
// every temporary that exists has a number below the counter.
std::atomic<unsigned> temporary_counter{0};
std::atomic<int> process_ending{0};
char temporary_folder[4096] = "";  // "" or the output folder with a trailing separator

// "FOLDER.mapconv-PID-N.tmp", formatted without the C library: a signal handler may use it.
void temporary_name(char* out, unsigned long pid, unsigned n)
{
    char* p = out;
    for (const char* f = temporary_folder; *f; f++)
        *p++ = *f;
    for (const char* h = ".mapconv-"; *h; h++)
        *p++ = *h;
    char digits[24];
    int k = 0;
    do {
        digits[k++] = char('0' + pid % 10);
        pid /= 10;
    } while (pid > 0);
    while (k > 0)
        *p++ = digits[--k];
    *p++ = '-';
    do {
        digits[k++] = char('0' + n % 10);
        n /= 10;
    } while (n > 0);
    while (k > 0)
        *p++ = digits[--k];
    for (const char* t = ".tmp"; *t; t++)
        *p++ = *t;
    *p = '\0';
}

constexpr size_t temporary_name_room = sizeof temporary_folder + 64;

}  // namespace

int use_output_folder(const char* folder, std::string* absolute, int* error)
{
    // Make each missing folder on the way, as mkdir -p does.
    std::string path = folder;
    for (size_t at = 1; at <= path.size(); at++) {
        bool separator = at < path.size() && (path[at] == '/' || (path_separator_backslash && path[at] == '\\'));
        if (at < path.size() && !separator)
            continue;
        std::string part = path.substr(0, at);
        if (path_separator_backslash && part.size() == 2 && part[1] == ':')
            continue;  // a drive
        if ((*error = make_folder(part.c_str())) != 0)
            return -1;
    }
    if ((*error = absolute_folder(folder, absolute)) != 0)
        return -1;
    char last = absolute->back();
    if (last != '/' && !(path_separator_backslash && last == '\\'))
        *absolute += '/';
    if (absolute->size() >= sizeof temporary_folder) {
        *error = ENAMETOOLONG;
        return -1;
    }
    memcpy(temporary_folder, absolute->c_str(), absolute->size() + 1);
    return 0;
}

void remove_own_temporaries()
{
    process_ending = 1;
    unsigned long pid = process_number();
    unsigned done = 0;
    // Workers may still name one while this runs: go round until no new one has been named.
    for (unsigned count = temporary_counter.load(); done != count; count = temporary_counter.load()) {
        for (; done < count; done++) {
            char name[temporary_name_room];
            temporary_name(name, pid, done);
            file_remove(name);
        }
    }
}

bool is_temporary_name(const char* name)
{
    size_t n = strlen(name);
    return strncmp(name, ".mapconv-", 9) == 0 && n >= 13 && strcmp(name + n - 4, ".tmp") == 0;
}

long long source_size(const byte_source* source)
{
    if (source->fd < 0)
        return (long long)source->size;
    return file_size(source->fd);
}

long read_source(const byte_source* source, uint64_t offset, void* buffer, size_t n)
{
    if (source->fd < 0) {
        if (offset >= source->size)
            return 0;
        size_t available = source->size - size_t(offset);
        size_t take = n < available ? n : available;
        memcpy(buffer, source->data + offset, take);
        return long(take);
    }
    size_t done = 0;
    while (done < n) {
        size_t got = 0;
        int error = file_read_at(source->fd, offset + done, static_cast<char*>(buffer) + done, n - done, &got);
        if (error != 0) {
            errno = error;
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return long(done);
}

int output_create(output_file* f)
{
    // Short names that never depend on the output's name, which may be at the length limit.
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[temporary_name_room];
        temporary_name(name, process_number(), temporary_counter.fetch_add(1));
        int fd = -1;
        int error = file_create_new(name, &fd);
        if (error == 0 && process_ending) {
            // A signal is ending the process and its handler may have passed this name already.
            file_close(fd);
            file_remove(name);
            error = EINTR;
        }
        if (error == 0) {
            f->fd = fd;
            f->temp_name = name;
            f->error = 0;
            f->written = 0;
            f->reserved = 0;
            return 0;
        }
        if (error != EEXIST) {
            f->error = error;
            return -1;
        }
    }
    f->error = EEXIST;
    return -1;
}

void output_reserve(output_file* f, uint64_t size)
{
    // The file's size stays what was written; the room past it is given back at the finish.
    if (f->fd >= 0 && size > 0 && file_reserve(f->fd, size) == 0)
        f->reserved = size;
}

int output_write(output_file* f, const void* data, size_t n)
{
    if (f->error != 0 || f->fd < 0)
        return -1;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        size_t put = 0;
        int error = file_write(f->fd, p, n, &put);
        if (error != 0) {
            f->error = error;
            return -1;
        }
        p += put;
        n -= put;
        f->written += put;
    }
    return 0;
}

int output_finish(output_file* f)
{
    if (f->fd >= 0 && f->error == 0 && f->reserved > f->written) {
        int error = file_truncate(f->fd, f->written);
        if (error != 0)
            f->error = error;
    }
    if (f->fd >= 0) {
        int error = file_close(f->fd);
        if (error != 0 && f->error == 0)
            f->error = error;
        f->fd = -1;
    }
    return f->error == 0 ? 0 : -1;
}

int output_commit(output_file* f, const char* final_name)
{
    if (output_finish(f) != 0) {
        output_discard(f);
        return -1;
    }
    int error = file_replace(f->temp_name.c_str(), final_name);
    if (error != 0) {
        f->error = error;
        output_discard(f);
        return -1;
    }
    f->temp_name.clear();
    return 0;
}

void output_discard(output_file* f)
{
    if (f->fd >= 0) {
        file_close(f->fd);
        f->fd = -1;
    }
    if (!f->temp_name.empty()) {
        file_remove(f->temp_name.c_str());
        f->temp_name.clear();
    }
}
