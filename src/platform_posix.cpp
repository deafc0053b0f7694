#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Temporaries are numbered in order of creation; the number is taken before the file is made, so
// every temporary that exists has a number below the counter.
std::atomic<unsigned> temporary_counter{0};
std::atomic<int> process_ending{0};
pid_t process_id;
char temporary_folder[4096] = "";  // "" or the output folder with a trailing '/'

// "FOLDER/.mapconv-PID-N.tmp", formatted without the C library: a signal handler may use it.
void temporary_name(char* out, long pid, unsigned n)
{
    const char head[] = ".mapconv-";
    char* p = out;
    for (const char* f = temporary_folder; *f; f++)
        *p++ = *f;
    for (const char* h = head; *h; h++)
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

// On SIGINT, SIGTERM or SIGHUP: remove every temporary this process may have made, then end as the
// signal would have ended it. A worker that creates one meanwhile sees process_ending and removes
// its own.
void remove_temporaries_and_end(int signal_number)
{
    process_ending = 1;
    unsigned done = 0;
    for (unsigned count = temporary_counter.load(); done != count; count = temporary_counter.load()) {
        for (; done < count; done++) {
            char name[sizeof temporary_folder + 64];
            temporary_name(name, long(process_id), done);
            unlink(name);
        }
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

int prepare_process()
{
    // A descriptor left closed would be the next file opened: an output would then receive what
    // is printed to that stream.
    int closed = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        closed |= 1 << fd;
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            _exit(125);  // the lowest free descriptor is fd: anything else leaves it unsafe
    }
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    process_id = getpid();
    struct sigaction action = {};
    action.sa_handler = remove_temporaries_and_end;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);
    return closed;
}

int change_folder(const char* folder, int* error)
{
    if (chdir(folder) == 0)
        return 0;
    *error = errno;
    return -1;
}

int use_output_folder(const char* folder, std::string* absolute, int* error)
{
    // Make each missing folder on the way, as mkdir -p does.
    std::string path = folder;
    for (size_t at = 1; at <= path.size(); at++) {
        if (at < path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = errno;
            return -1;
        }
    }
    char* real = realpath(folder, nullptr);
    if (!real) {
        *error = errno;
        return -1;
    }
    struct stat st;
    int checked = stat(real, &st);
    *absolute = real;
    free(real);
    if (checked != 0 || !S_ISDIR(st.st_mode)) {
        *error = checked != 0 ? errno : ENOTDIR;
        return -1;
    }
    if (absolute->back() != '/')
        *absolute += '/';
    if (absolute->size() >= sizeof temporary_folder) {
        *error = ENAMETOOLONG;
        return -1;
    }
    memcpy(temporary_folder, absolute->c_str(), absolute->size() + 1);
    return 0;
}

void platform_arguments(int*, char***)
{
}

bool stdout_is_terminal()
{
    return isatty(1) == 1;
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

namespace {

int refuse_input(int error, std::string* reason, int* error_out)
{
    *error_out = error;
    *reason = error_text(error);
    return -1;
}

int refuse_type(const struct stat& st, std::string* reason, int* error)
{
    *error = 0;
    *reason = S_ISDIR(st.st_mode) ? "Is a directory" : "Not a regular file";
    return -1;
}

}  // namespace

int open_input(const char* name, int* fd, std::string* reason, int* error)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return refuse_input(errno, reason, error);
    if (!S_ISREG(st.st_mode))
        return refuse_type(st, reason, error);
    int f = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (f < 0)
        return refuse_input(errno, reason, error);
    if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode)) {
        int result = S_ISREG(st.st_mode) ? refuse_input(errno, reason, error) : refuse_type(st, reason, error);
        close(f);
        return result;
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
    // Short names that never depend on the output's name, which may be at the length limit.
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[sizeof temporary_folder + 64];
        temporary_name(name, long(getpid()), temporary_counter.fetch_add(1));
        // 0666 less the umask, as a plain fopen(name, "w") would create it.
        int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 && process_ending) {
            // A signal is ending the process and its handler may have passed this name already.
            close(fd);
            unlink(name);
            f->error = EINTR;
            return -1;
        }
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

int output_target_usable(const char* final_name, int* error)
{
    struct stat st;
    if (lstat(final_name, &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            return 0;
        *error = EISDIR;
        return -1;
    }
    if (errno == ENAMETOOLONG) {
        *error = errno;
        return -1;
    }
    return 0;
}

int output_commit(output_file* f, const char* final_name)
{
    if (output_finish(f) != 0) {
        output_discard(f);
        return -1;
    }
    // Replacing a file keeps what its owner set: owner and group first (where this process may),
    // then the permission bits, which a change of owner may have cleared.
    struct stat st;
    if (lstat(final_name, &st) == 0 && S_ISREG(st.st_mode)) {
        // Another user's file, where this process may not give it away, becomes this user's.
        int owned = chown(f->temp_name.c_str(), st.st_uid, st.st_gid);
        (void)owned;
        chmod(f->temp_name.c_str(), st.st_mode & 07777);
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

bool is_temporary_name(const char* name)
{
    size_t n = strlen(name);
    return strncmp(name, ".mapconv-", 9) == 0 && n >= 13 && strcmp(name + n - 4, ".tmp") == 0;
}

bool is_shortage(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EMFILE || error == ENFILE || error == ENOMEM;
}

std::string output_name_key(const std::string& name)
{
    return name;
}

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
