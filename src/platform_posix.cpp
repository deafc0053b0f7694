#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void prepare_process()
{
    signal(SIGXFSZ, SIG_IGN);
}

int list_directory(std::vector<std::string>* names)
{
    DIR* dir = opendir(".");
    if (!dir) {
        perror("opendir");
        return -1;
    }
    // The entry record is reused by the next readdir, so each name is copied.
    while (dirent* entry = readdir(dir))
        names->emplace_back(entry->d_name);
    closedir(dir);
    return 0;
}

int open_input(const char* name, int* fd, std::string* reason)
{
    int f = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (f < 0) {
        *reason = error_text(errno);
        return -1;
    }
    struct stat st;
    if (fstat(f, &st) != 0) {
        *reason = error_text(errno);
        close(f);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = S_ISDIR(st.st_mode) ? "Is a directory" : "Not a regular file";
        close(f);
        return -1;
    }
    *fd = f;
    return 0;
}

void close_input(int fd)
{
    if (fd >= 0)
        close(fd);
}

long long source_size(const byte_source* source)
{
    if (source->fd < 0)
        return (long long)source->size;
    struct stat st;
    if (fstat(source->fd, &st) != 0)
        return -1;
    return (long long)st.st_size;
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
        ssize_t got = pread(source->fd, static_cast<char*>(buffer) + done, n - done, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += size_t(got);
    }
    return long(done);
}

int output_create(output_file* f)
{
    static std::atomic<unsigned> counter{0};
    // Short names that never depend on the output's name, which may be at the length limit.
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[64];
        snprintf(name, sizeof name, ".mapconv-%ld-%u.tmp", long(getpid()), counter.fetch_add(1));
        // 0666 less the umask, as a plain fopen(name, "w") would create it.
        int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            f->fd = fd;
            f->temp_name = name;
            f->error = 0;
            f->written = 0;
            f->reserved = 0;
            return 0;
        }
        if (errno != EEXIST) {
            f->error = errno;
            return -1;
        }
    }
    f->error = EEXIST;
    return -1;
}

void output_reserve(output_file* f, uint64_t size)
{
#if defined(__linux__)
    // The file's size stays what was written; the room past it is given back at the finish.
    if (f->fd >= 0 && size > 0 && fallocate(f->fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0)
        f->reserved = size;
#else
    (void)f;
    (void)size;
#endif
}

int output_write(output_file* f, const void* data, size_t n)
{
    if (f->error != 0 || f->fd < 0)
        return -1;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t put = write(f->fd, p, n);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            f->error = errno;
            return -1;
        }
        p += put;
        n -= size_t(put);
        f->written += uint64_t(put);
    }
    return 0;
}

int output_finish(output_file* f)
{
    if (f->fd >= 0 && f->error == 0 && f->reserved > f->written && ftruncate(f->fd, off_t(f->written)) != 0)
        f->error = errno;
    if (f->fd >= 0) {
        if (close(f->fd) != 0 && f->error == 0)
            f->error = errno;
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
    // rename replaces a symbolic link of that name instead of writing through it.
    if (rename(f->temp_name.c_str(), final_name) != 0) {
        f->error = errno;
        output_discard(f);
        return -1;
    }
    f->temp_name.clear();
    return 0;
}

void output_discard(output_file* f)
{
    if (f->fd >= 0) {
        close(f->fd);
        f->fd = -1;
    }
    if (!f->temp_name.empty()) {
        unlink(f->temp_name.c_str());
        f->temp_name.clear();
    }
}

namespace {

// strerror_r returns the text (GNU) or 0 with the text in the buffer (POSIX), by the C library.
[[maybe_unused]] const char* strerror_text(const char* returned, const char*)
{
    return returned;
}

[[maybe_unused]] const char* strerror_text(int returned, const char* buffer)
{
    return returned == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string error_text(int error)
{
    char buffer[256];
    // strerror_r is safe from several threads at once; strerror is not.
    return strerror_text(strerror_r(error, buffer, sizeof buffer), buffer);
}

int processor_count()
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
}
