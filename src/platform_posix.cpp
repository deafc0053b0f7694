#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool (*ending_hook)() = nullptr;

constexpr size_t worker_stack_size = size_t(512) << 10;
volatile sig_atomic_t ending_signal = 0;

// On SIGINT, SIGTERM or SIGHUP: let the program clean up, then end as the signal would have ended
// the process, now or when the program says it may.
void end_by_signal(int signal_number)
{
    ending_signal = signal_number;
    if (ending_hook())
        end_as_signalled();
}

}  // namespace

void end_as_signalled()
{
    int signal_number = ending_signal;
    signal(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
    // Still here: process 1 of a container, whose default actions the kernel ignores.
    _exit(128 + signal_number);
}

uint32_t random_token()
{
    uint32_t token = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, &token, sizeof token) != ssize_t(sizeof token))
            token = 0;
        close(fd);
    }
    // Without /dev/urandom, the clock and where the system placed the stack still differ.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uintptr_t place = reinterpret_cast<uintptr_t>(&now);
    return token ^ uint32_t(now.tv_nsec) ^ uint32_t(now.tv_sec * 2654435761u) ^ uint32_t(place >> 4);
}

int prepare_process(bool (*on_ending)())
{
    ending_hook = on_ending;
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
#if defined(__GLIBC__)
    // One malloc arena for every thread: the C library keeps a thread's own arena, with the address
    // space it reserved (a mebibyte on 32-bit systems), after the thread ends, and a run that fell
    // back to one pair after another, short of memory, would lack it. The workers allocate their
    // large buffers outside any arena, so sharing one costs them nothing measurable.
    mallopt(M_ARENA_MAX, 1);
#endif
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = end_by_signal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        // Started under nohup or as a background job that ignores SIGINT: the signal stays ignored.
        struct sigaction before;
        if (sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(s, &action, nullptr);
    }
    return closed;
}

int change_folder(const char* folder, int* error)
{
    if (chdir(folder) == 0)
        return 0;
    *error = errno;
    return -1;
}

int folder_path_fits(const char* path, size_t longest)
{
    size_t component = 0;
    for (const char* p = path; *p; p++) {
        component = *p == '/' ? 0 : component + 1;
        if (component > NAME_MAX)
            return ENAMETOOLONG;
    }
    size_t length = strlen(path);
    if (path[0] != '/') {
        char here[PATH_MAX];
        if (!getcwd(here, sizeof here))
            return errno == ERANGE ? ENAMETOOLONG : 0;
        length += strlen(here) + 1;
    }
    return length + 64 <= longest && length + 64 < PATH_MAX ? 0 : ENAMETOOLONG;
}

int make_folder(const char* path)
{
    return mkdir(path, 0777) == 0 || errno == EEXIST ? 0 : errno;
}

int absolute_folder(const char* path, std::string* absolute)
{
    char* real = realpath(path, nullptr);
    if (!real)
        return errno;
    *absolute = real;
    free(real);
    struct stat st;
    if (stat(absolute->c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

void platform_arguments(int*, char***) {}

void wait_before_own_console_closes()
{
    // A terminal outlives the program: there is nothing to keep open.
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

int name_refused(const char*)
{
    return 0;  // every name is opened as itself
}

void close_input(int fd)
{
    if (fd >= 0)
        close(fd);
}

long long file_size(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? (long long)st.st_size : -1;
}

int file_read_at(int fd, uint64_t offset, void* buffer, size_t n, size_t* got)
{
    for (;;) {
        ssize_t r = pread(fd, buffer, n, off_t(offset));
        if (r >= 0) {
            *got = size_t(r);
            return 0;
        }
        if (errno != EINTR)
            return errno;
    }
}

namespace {

file_identity identity_of(const struct stat& st)
{
    return file_identity{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

}  // namespace

int file_create_new(const char* path, int* fd, file_identity* id)
{
    // 0666 less the umask, as a plain fopen(name, "w") would create it.
    *fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (*fd < 0)
        return errno;
    struct stat st;
    if (fstat(*fd, &st) != 0) {
        int error = errno;
        close(*fd);
        unlink(path);
        return error;
    }
    *id = identity_of(st);
    return 0;
}

int path_identity(const char* path, file_identity* id)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return errno;
    *id = identity_of(st);
    return 0;
}

int name_identity(const char* path, file_identity* id)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
    *id = identity_of(st);
    return 0;
}

void file_take_attributes(int fd, const char* final_name)
{
    // Replacing a file keeps what its owner set: owner and group first (where this process may),
    // then the permission bits, which a change of owner may have cleared. Only what differs from
    // the new file is set.
    struct stat old, made;
    if (lstat(final_name, &old) != 0 || !S_ISREG(old.st_mode) || fstat(fd, &made) != 0)
        return;
    if (old.st_uid != made.st_uid || old.st_gid != made.st_gid) {
        // Another user's file, where this process may not give it away, becomes this user's.
        int owned = fchown(fd, old.st_uid, old.st_gid);
        (void)owned;
        made.st_mode = 0;  // the change may have cleared bits
    }
    if ((old.st_mode & 07777) != (made.st_mode & 07777))
        fchmod(fd, old.st_mode & 07777);
}

int file_write(int fd, const void* data, size_t n, size_t* put)
{
    for (;;) {
        ssize_t w = write(fd, data, n);
        if (w >= 0) {
            *put = size_t(w);
            return 0;
        }
        if (errno != EINTR)
            return errno;
    }
}

int file_reserve(int fd, uint64_t size)
{
#if defined(__linux__)
    // A file whose blocks are allocated is cheap to rename over an earlier one; ext4 would
    // otherwise write a late-allocated file out at the rename.
    return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0 ? 0 : errno;
#else
    (void)fd;
    (void)size;
    return ENOTSUP;
#endif
}

int file_truncate(int fd, uint64_t size)
{
    return ftruncate(fd, off_t(size)) == 0 ? 0 : errno;
}

int file_close(int fd)
{
    return close(fd) == 0 ? 0 : errno;
}

int file_link(const char* existing, const char* new_name)
{
    return linkat(AT_FDCWD, existing, AT_FDCWD, new_name, 0) == 0 ? 0 : errno;
}

int file_replace(const char* temp, const char* final_name)
{
    // rename replaces a symbolic link of that name instead of writing through it.
    return rename(temp, final_name) == 0 ? 0 : errno;
}

void file_remove(const char* path)
{
    unlink(path);
}

unsigned long process_number()
{
    return (unsigned long)getpid();
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

bool is_shortage(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EMFILE || error == ENFILE || error == ENOMEM;
}

std::string output_name_key(const std::string& name)
{
    return name;
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
    if (error == error_temporary_replaced)
        return "another program replaced the temporary file; not put in place";
    char buffer[256];
    // strerror_r is safe from several threads at once; strerror is not.
    return strerror_text(strerror_r(error, buffer, sizeof buffer), buffer);
}

int processor_count()
{
#if defined(__linux__)
    // The processors this process may run on (taskset, a container's share), not all the machine's.
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return CPU_COUNT(&allowed);
#endif
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
}

namespace {

// A worker's thread and the stack mapped for it. The C library keeps the stacks it maps itself
// after their threads end, for threads to come, which would leave a run that fell back to one
// pair after another short of address space; a stack the program maps is the program's to unmap.
struct posix_worker {
    pthread_t thread;
    void* stack;
    size_t stack_size;
    void (*body)(void*);
    void* argument;
};

void* run_worker(void* record)
{
    posix_worker* w = static_cast<posix_worker*>(record);
    w->body(w->argument);
    return nullptr;
}

}  // namespace

int start_worker(void (*body)(void*), void* argument, worker_thread* worker)
{
    posix_worker* w = new (std::nothrow) posix_worker{pthread_t(), nullptr, 0, body, argument};
    if (!w)
        return -1;
    // A page below the stack, unmapped for reading and writing, stops an overflow.
    size_t guard = size_t(sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096);
    w->stack_size = worker_stack_size + guard;
    w->stack = mmap(nullptr, w->stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    pthread_attr_t attributes;
    bool started = false;
    if (w->stack != MAP_FAILED && mprotect(w->stack, guard, PROT_NONE) == 0 && pthread_attr_init(&attributes) == 0) {
        if (pthread_attr_setstack(&attributes, static_cast<char*>(w->stack) + guard, worker_stack_size) == 0)
            started = pthread_create(&w->thread, &attributes, run_worker, w) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        if (w->stack != MAP_FAILED)
            munmap(w->stack, w->stack_size);
        delete w;
        return -1;
    }
    worker->system = w;
    return 0;
}

void join_worker(worker_thread* worker)
{
    posix_worker* w = static_cast<posix_worker*>(worker->system);
    if (!w)
        return;
    pthread_join(w->thread, nullptr);
    munmap(w->stack, w->stack_size);
    delete w;
    worker->system = nullptr;
}
