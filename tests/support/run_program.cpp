#include "run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "map_writer.h"

scratch_folder::scratch_folder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "mapconv-test-XXXXXX").string();
    if (!mkdtemp(&pattern[0]))
        abort();
    path = pattern;
}

scratch_folder::~scratch_folder()
{
    std::error_code ignored;
    // Tests may take the write bit away; give it back so everything can go.
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> list_names(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
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
    std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(121);
    }
    if (setup.stdout_reader_gone) {
        close(gone[0]);
        close(gone[1]);
    }
    int wait_status = 0;
    bool signalled = false;
    for (int waited_ms = 0;; waited_ms += 5) {
        pid_t done = waitpid(child, &wait_status, WNOHANG);
        if (done == child)
            break;
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
    if (WIFEXITED(wait_status))
        run.status = WEXITSTATUS(wait_status);
    else if (WIFSIGNALED(wait_status))
        run.status = 128 + WTERMSIG(wait_status);
    run.out = read_file(out_name);
    run.err = read_file(err_name);
    return run;
}
