// Preloaded into mapconv by tests: makes the creation of temporary outputs fail, as a full disk
// (ENOSPC) or a process out of descriptors (EMFILE) would. FAULT_SHIM="SKIP:FAIL:ERRNO" lets SKIP
// temporaries be created, fails the next FAIL with ERRNO, and lets every later one be created.
// With SHIM_THREADS=FILE it also writes into FILE, at the end, how many threads were started.
// With SWAP_AT_RENAME set, the first temporary renamed over an output's name is swapped, just
// before, for another file: what another user of the folder could do between check and rename.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<int> creations{0};  // temporaries asked for so far
std::atomic<int> threads{0};    // threads started so far

// Writes the thread count where SHIM_THREADS says, when the program ends.
struct thread_report {
    ~thread_report()
    {
        if (const char* path = getenv("SHIM_THREADS"))
            if (FILE* f = fopen(path, "w")) {
                fprintf(f, "%d\n", threads.load());
                fclose(f);
            }
    }
} report;

bool should_fail(const char* path, int flags)
{
    const char* plan = getenv("FAULT_SHIM");
    int skip = 0, fail = 0, error = 0;
    if (!plan || !(flags & O_CREAT) || !strstr(path, ".mapconv-") ||
        sscanf(plan, "%d:%d:%d", &skip, &fail, &error) != 3)
        return false;
    int n = creations++;
    if (n < skip || n >= skip + fail)
        return false;
    errno = error;
    return true;
}

int real_open(const char* name, const char* path, int flags, mode_t mode)
{
    auto next = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, name));
    return next(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & O_CREAT) ? mode_t(va_arg(args, int)) : 0;
    va_end(args);
    return should_fail(path, flags) ? -1 : real_open("open", path, flags, mode);
}

// The same function under the large-file name, which some builds call instead.
extern "C" int open64(const char* path, int flags, ...) __attribute__((alias("open")));

extern "C" int rename(const char* from, const char* to)
{
    static std::atomic<int> swaps{0};
    auto next = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
    if (getenv("SWAP_AT_RENAME") && strstr(from, ".mapconv-") && !strstr(to, ".mapconv-") && swaps++ == 0) {
        std::string other = std::string(from) + ".other";
        if (FILE* f = fopen(other.c_str(), "w")) {
            fputs("another user's file", f);
            fclose(f);
            next(other.c_str(), from);
        }
    }
    return next(from, to);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* argument)
{
    using create_fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    auto next = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    threads++;
    return next(thread, attr, start, argument);
}
