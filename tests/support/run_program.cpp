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
    program_run run;
    scratch_folder capture;
    std::string out_name = capture / "out", err_name = capture / "err";
    std::string exe = MAPCONV_EXE;
    if (user >= 0) {
        // Another user may not reach the build folder: give it a copy it can run.
        exe = capture / "mapconv";
        std::filesystem::copy_file(MAPCONV_EXE, exe);
        std::filesystem::permissions(capture.path, std::filesystem::perms(0755));
    }
    pid_t child = fork();
    if (child == 0) {
        int out = open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int none = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || none < 0)
            _exit(120);
        if (user >= 0 && (setgid(gid_t(user)) != 0 || setuid(uid_t(user)) != 0))
            _exit(122);
        if (chdir(folder.c_str()) != 0)
            _exit(120);
        dup2(none, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (file_size_limit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit = {rlim_t(file_size_limit), rlim_t(file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(121);
    }
    int wait_status = 0;
    for (int waited_ms = 0;; waited_ms += 5) {
        pid_t done = waitpid(child, &wait_status, WNOHANG);
        if (done == child)
            break;
        if (waited_ms > timeout_seconds * 1000) {
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
