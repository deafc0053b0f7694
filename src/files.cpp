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
char temporary_folder[4096] = "";  // "" or the output folder with a trailing separator

// Names hold a token of this process besides its number: two processes of the same number (in
// containers or on hosts that share a folder) never take each other's temporaries for their own.
uint32_t process_token = 0;

// Numbers whose name another file already had: never this process's to remove.
constexpr int foreign_room = 64;
std::atomic<unsigned> foreign_numbers[foreign_room];
std::atomic<int> foreign_count{0};

// How a signal ends the process while workers create temporaries: the handler notes the signal,
// and whoever finishes the last creation under way, the handler or a worker, removes every
// temporary and ends the process. So no temporary is made after the clean-up has passed its number.
std::atomic<int> process_ending{0};
std::atomic<int> creations_under_way{0};

void append_number(char** p, unsigned long value, unsigned base)
{
    char digits[24];
    int k = 0;
    do {
        digits[k++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value > 0);
    while (k > 0)
        *(*p)++ = digits[--k];
}

// "FOLDER.mapconv-PID-TOKEN-N.tmp", formatted without the C library: a signal handler may use it.
void temporary_name(char* out, unsigned n)
{
    char* p = out;
    for (const char* f = temporary_folder; *f; f++)
        *p++ = *f;
    for (const char* h = ".mapconv-"; *h; h++)
        *p++ = *h;
    append_number(&p, process_number(), 10);
    *p++ = '-';
    append_number(&p, process_token, 16);
    *p++ = '-';
    append_number(&p, n, 10);
    for (const char* t = ".tmp"; *t; t++)
        *p++ = *t;
    *p = '\0';
}

constexpr size_t temporary_name_room = sizeof temporary_folder + 64;

bool is_foreign(unsigned n)
{
    int count = foreign_count.load();
    for (int i = 0; i < count && i < foreign_room; i++)
        if (foreign_numbers[i].load() == n)
            return true;
    return false;
}

// Removes every temporary this process made. Safe in a signal handler.
void remove_temporaries()
{
    unsigned count = temporary_counter.load();
    for (unsigned n = 0; n < count; n++) {
        if (is_foreign(n))
            continue;
        char name[temporary_name_room];
        temporary_name(name, n);
        file_remove(name);
    }
}

}  // namespace

void choose_temporary_token(uint32_t token)
{
    process_token = token;
}

size_t folder_part_length(const char* path)
{
    size_t end = 0;
    for (size_t i = 0; path[i]; i++)
        if (path[i] == '/' || (path_separator_backslash && path[i] == '\\'))
            end = i + 1;
    return end;
}

int use_output_folder(const char* folder, std::string* absolute, int* error)
{
    // A folder whose path is too long for the system is refused before any folder of it is made.
    if ((*error = folder_path_fits(folder, sizeof temporary_folder - 1)) != 0)
        return -1;
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

bool remove_own_temporaries()
{
    process_ending = 1;
    if (creations_under_way.load() != 0)
        return false;  // the creation under way ends the process when it is done
    remove_temporaries();
    return true;
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

bool read_exactly(const byte_source* source, uint64_t offset, void* buffer, size_t n, std::string* problem)
{
    long got = read_source(source, offset, buffer, n);
    if (got < 0)
        return *problem = error_text(errno), false;
    if (size_t(got) != n)
        return *problem = "it changed while it was read", false;
    return true;
}

namespace {

// Makes a new entry under a fresh temporary name with make(name), which returns 0 or an errno.
// Returns 0 with *name set, or an errno. A signal that comes meanwhile waits for the entry, so the
// clean-up always covers its name.
template <typename maker>
int make_temporary(std::string* name_out, maker make)
{
    // Short names that never depend on the output's name, which may be at the length limit.
    for (int attempt = 0; attempt < 100; attempt++) {
        creations_under_way++;
        if (process_ending) {
            if (--creations_under_way == 0 && remove_own_temporaries())
                end_as_signalled();
            return EINTR;
        }
        unsigned n = temporary_counter.fetch_add(1);
        char name[temporary_name_room];
        temporary_name(name, n);
        try {
            *name_out = name;  // before the entry exists: memory can run out here, never with an entry unnamed
        } catch (...) {
            --creations_under_way;
            throw;
        }
        int error = make(name);
        if (error == EEXIST) {
            // Another file has this name: not ours, now or at the clean-up.
            int slot = foreign_count++;
            if (slot < foreign_room)
                foreign_numbers[slot] = n;
        }
        if (--creations_under_way == 0 && process_ending && remove_own_temporaries())
            end_as_signalled();
        if (error == 0)
            return 0;
        name_out->clear();
        if (error != EEXIST || foreign_count > foreign_room)
            return error;
    }
    return EEXIST;
}

}  // namespace

int output_create(output_file* f)
{
    int fd = -1;
    int error = make_temporary(&f->temp_name, [&](const char* name) { return file_create_new(name, &fd, &f->id); });
    f->fd = fd;
    f->error = error;
    f->written = 0;
    f->reserved = 0;
    return error == 0 ? 0 : -1;
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

int output_finish(output_file* f, const char* final_name)
{
    if (f->fd >= 0 && f->error == 0 && f->reserved > f->written) {
        int error = file_truncate(f->fd, f->written);
        if (error != 0)
            f->error = error;
    }
    if (f->fd >= 0) {
        // Set on the open file, never through a name another program could swap meanwhile.
        if (f->error == 0)
            file_take_attributes(f->fd, final_name);
        int error = file_close(f->fd);
        if (error != 0 && f->error == 0)
            f->error = error;
        f->fd = -1;
    }
    return f->error == 0 ? 0 : -1;
}

int output_commit(output_file* f, const char* final_name, replaced_file* replaced)
{
    if (output_finish(f, final_name) != 0) {
        output_discard(f);
        return -1;
    }
    // The temporary waited closed in a folder others may write: only the file this run wrote is
    // put in place. What bears its name now is not this run's to remove either.
    file_identity now;
    int error = name_identity(f->temp_name.c_str(), &now);
    bool gone = error == ENOENT || error == ELOOP || error == EINVAL;
    if (gone || (error == 0 && (now.device != f->id.device || now.number != f->id.number))) {
        f->error = error_temporary_replaced;
        f->temp_name.clear();
        return -1;
    }
    if (error != 0) {
        f->error = error;
        output_discard(f);
        return -1;
    }
    if (replaced) {
        // A second name for what final_name holds, so it can be put back.
        replaced->kept_name.clear();
        error = make_temporary(&replaced->kept_name, [&](const char* name) { return file_link(final_name, name); });
        replaced->state = error == 0 ? replaced_kept : error == ENOENT ? replaced_nothing : replaced_lost;
    }
    error = file_replace(f->temp_name.c_str(), final_name);
    if (error != 0) {
        if (replaced)
            drop_replaced(replaced);
        f->error = error;
        output_discard(f);
        return -1;
    }
    f->temp_name.clear();
    // Swapped between the check and the rename, the temporary's name brought another program's
    // link into place: a link the run did not make never stands for its output.
    error = name_identity(final_name, &now);
    if (error == ELOOP || (error == 0 && (now.device != f->id.device || now.number != f->id.number))) {
        if (error == ELOOP)
            file_remove(final_name);
        f->error = error_temporary_replaced;
        return -1;
    }
    return 0;
}

void restore_replaced(replaced_file* replaced, const char* final_name)
{
    if (replaced->state == replaced_kept && file_replace(replaced->kept_name.c_str(), final_name) == 0)
        replaced->kept_name.clear();
    else if (replaced->state == replaced_nothing)
        file_remove(final_name);
    drop_replaced(replaced);
}

void drop_replaced(replaced_file* replaced)
{
    if (!replaced->kept_name.empty())
        file_remove(replaced->kept_name.c_str());
    replaced->kept_name.clear();
    replaced->state = replaced_lost;
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

int write_whole_output(const char* name, const void* data, size_t size, int* error)
{
    output_file out;
    replaced_file replaced;
    *error = 0;
    bool created = output_target_usable(name, error) == 0 && output_create(&out) == 0;
    if (created)
        output_reserve(&out, size);  // as a pair's outputs are: nothing left to allocate at the rename
    if (!created || output_write(&out, data, size) != 0 || output_commit(&out, name, &replaced) != 0) {
        // A temporary swapped between its check and its rename put another file in place: what the
        // name held before comes back.
        restore_replaced(&replaced, name);
        output_discard(&out);
        if (*error == 0)
            *error = out.error;
        return -1;
    }
    drop_replaced(&replaced);
    return 0;
}
