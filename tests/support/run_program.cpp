#include "run_program.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "map_writer.h"

scratch_folder::scratch_folder()
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        std::filesystem::path candidate =
            std::filesystem::temp_directory_path() / ("mapconv-test-" + std::to_string(random() % 1000000000));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path = candidate.string();
            return;
        }
        if (error)
            abort();
    }
}

scratch_folder::~scratch_folder()
{
    std::error_code ignored;
    // Tests may take the write bit away; give it back so everything can go.
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::string native_path(const std::string& path)
{
#if defined(_WIN32)
    // Under Wine the build's paths are Unix paths: drive Z: is the Unix root.
    return !path.empty() && path[0] == '/' ? "Z:" + path : path;
#else
    return path;
#endif
}

int make_folder(const std::string& path)
{
    std::error_code error;
    return std::filesystem::create_directory(path, error) ? 0 : -1;
}

bool exists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found && !error;
}

std::vector<std::string> list_names(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    return names;
}

program_run run_mapconv(const std::string& folder, const std::vector<std::string>& args, long file_size_limit,
                        int timeout_seconds, int user)
{
    run_setup setup;
    setup.file_size_limit = file_size_limit;
    setup.timeout_seconds = timeout_seconds;
    setup.user = user;
    return run_mapconv(folder, args, setup);
}

#if defined(_WIN32)

namespace {

std::wstring wide(const std::string& text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

// An argument quoted as CommandLineToArgvW reads it back.
std::wstring quoted(const std::string& arg)
{
    std::wstring text = L"\"", w = wide(arg);
    size_t backslashes = 0;
    for (wchar_t c : w) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    text.append(2 * backslashes, L'\\');
    return text + L"\"";
}

HANDLE capture_file(const std::string& name)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(wide(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
}

}  // namespace

// Windows has no resource limits, other users, closed descriptors or POSIX signals to set up: the
// tests that need them skip there, so only the folder, the arguments and the time limit count.
program_run run_mapconv(const std::string& folder, const std::vector<std::string>& args, const run_setup& setup)
{
    program_run run;
    scratch_folder capture;
    std::string out_name = capture / "out", err_name = capture / "err";
    std::wstring command = quoted(native_path(MAPCONV_EXE));
    for (const std::string& a : args)
        command += L" " + quoted(a);
    HANDLE out = capture_file(out_name), err = capture_file(err_name);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE none =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = none;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, wide(folder).c_str(), &startup,
                        &process))
        abort();
    CloseHandle(out);
    CloseHandle(err);
    CloseHandle(none);
    if (WaitForSingleObject(process.hProcess, DWORD(setup.timeout_seconds) * 1000) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        run.timed_out = true;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    run.status = int(code);
    run.out = read_file(out_name);
    run.err = read_file(err_name);
    return run;
}

#else

program_run run_mapconv(const std::string& folder, const std::vector<std::string>& args, const run_setup& setup)
{
    program_run run;
    scratch_folder capture;
    std::string out_name = capture / "out", err_name = capture / "err";
    std::string exe = MAPCONV_EXE;
    if (setup.user >= 0) {
        // Another user may not reach the build folder: give it a copy it can run.
        exe = capture / "mapconv";
        std::filesystem::copy_file(MAPCONV_EXE, exe);
        std::filesystem::permissions(capture.path, std::filesystem::perms(0755));
    }
    int gone[2] = {-1, -1};
    if (setup.stdout_reader_gone && pipe(gone) != 0)
        abort();
    pid_t child = fork();
    if (child == 0) {
        int out = open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int none = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || none < 0)
            _exit(120);
        if (setup.user >= 0 && (setgid(gid_t(setup.user)) != 0 || setuid(uid_t(setup.user)) != 0))
            _exit(122);
        if (chdir(folder.c_str()) != 0)
            _exit(120);
        if (setup.stdout_reader_gone) {
            close(gone[0]);
            out = gone[1];
        }
        dup2(none, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd = 3; fd < 64; fd++)
            close(fd);
        for (int fd = 0; fd <= 2; fd++)
            if (setup.closed_streams & (1 << fd))
                close(fd);
        if (setup.file_size_limit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit = {rlim_t(setup.file_size_limit), rlim_t(setup.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (setup.open_files_limit > 0) {
            rlimit limit = {rlim_t(setup.open_files_limit), rlim_t(setup.open_files_limit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (setup.memory_limit > 0) {
            rlimit limit = {rlim_t(setup.memory_limit), rlim_t(setup.memory_limit)};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (setup.ignored_signal != 0)
            signal(setup.ignored_signal, SIG_IGN);
        for (const std::string& variable : setup.environment)
            putenv(const_cast<char*>(variable.c_str()));
#if defined(__linux__)
        if (setup.processor >= 0) {
            cpu_set_t only;
            CPU_ZERO(&only);
            CPU_SET(setup.processor, &only);
            sched_setaffinity(0, sizeof only, &only);
        }
#endif
        // A 32-bit build on a kernel that runs no 32-bit code starts mapconv through its emulator.
        const char* runner = getenv("MAPCONV_TEST_RUNNER");
        std::vector<char*> argv;
        if (runner && *runner)
            argv.push_back(const_cast<char*>(runner));
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (runner && *runner)
            execvp(runner, argv.data());
        else
            execv(exe.c_str(), argv.data());
        _exit(121);
    }
    if (setup.stdout_reader_gone) {
        close(gone[0]);
        close(gone[1]);
    }
    int wait_status = 0;
    bool signalled = false;
    // Time is read from the clock: on a loaded machine a sleep takes longer than it asks.
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        pid_t done = waitpid(child, &wait_status, WNOHANG);
        if (done == child)
            break;
        long waited_ms = long(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        if (setup.signal != 0 && !signalled && waited_ms >= setup.signal_after_ms) {
            kill(child, setup.signal);
            signalled = true;
        }
        if (waited_ms > setup.timeout_seconds * 1000) {
            kill(child, SIGKILL);
            waitpid(child, &wait_status, 0);
            run.timed_out = true;
            break;
        }
        usleep(5000);
    }
    if (WIFEXITED(wait_status)) {
        run.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        run.status = 128 + WTERMSIG(wait_status);
        run.signalled = true;
    }
    run.out = read_file(out_name);
    run.err = read_file(err_name);
    return run;
}

#endif
