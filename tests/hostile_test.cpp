// Folders that try to hurt: special files, links and folders named like outputs, a full disk,
// strange names, many files, huge files.
#if !defined(_WIN32)
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "map_writer.h"
#include "readers.h"
#include "run_program.h"

namespace {

std::string small_mesh()
{
    written_mesh m = empty_mesh();
    written_polygon p = cell_quad(0, 0, 0);
    m.tex_tris.push_back(p);
    m.untex_tris.push_back(p);
    return write_map_mesh(m);
}

int noisy(int x, int y, void* seed)
{
    uint32_t s = seed ? uint32_t(*static_cast<int*>(seed)) : 0;
    return int((uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u ^ s * 97u) >> 7) & 15;
}

std::string plain_sheet()
{
    return std::string(131072, '\x23');
}

bool is_regular(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

[[maybe_unused]] bool is_link(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
}

[[maybe_unused]] std::vector<std::string> sorted_names(const std::string& folder)
{
    std::vector<std::string> names = list_names(folder);
    std::sort(names.begin(), names.end());
    return names;
}

[[maybe_unused]] std::string error_text_of(int error)
{
    return strerror(error);
}

size_t count_temporaries(const std::string& folder)
{
    std::vector<std::string> names = list_names(folder);
    return size_t(
        std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind(".mapconv-", 0) == 0; }));
}

}  // namespace

TEST(HostileFolder, SpecialFilesAreRefusedWithoutWaiting)
{
#if defined(_WIN32)
    GTEST_SKIP() << "a Windows folder holds no named pipes or sockets, and Wine makes no symbolic links";
#else
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "m0", small_mesh()), 0);
    ASSERT_EQ(mkfifo((folder / "mpipe").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((folder / "mdir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", (folder / "mdangling").c_str()), 0);
    ASSERT_EQ(symlink("mloop", (folder / "mloop").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string socket_path = folder / "msocket";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    program_run run = run_mapconv(folder.path, {"m"}, 0, 20);
    close(sock);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    for (const char* name : {"mpipe", "mdir", "mdangling", "mloop", "msocket"}) {
        std::string error = std::string("Error opening ") + name + "\n";
        // Once in the scan, once when its pair is converted.
        size_t first = run.out.find(error);
        ASSERT_NE(first, std::string::npos) << name;
        EXPECT_NE(run.out.find(error, first + 1), std::string::npos) << name;
    }
    EXPECT_NE(run.out.find("1 meshes found\n5 possible textures\n"), std::string::npos);
    EXPECT_NE(run.err.find("mapconv: mloop: Too many levels of symbolic links\n"), std::string::npos);
    EXPECT_NE(run.err.find("mapconv: mdangling: No such file or directory\n"), std::string::npos);
    EXPECT_EQ(list_names(folder.path).size(), 6u);
#endif
}

TEST(HostileFolder, LinksNamedLikeOutputsAreReplacedNeverFollowed)
{
#if defined(_WIN32)
    GTEST_SKIP() << "symbolic links need privileges on Windows and do not exist under Wine";
#else
    scratch_folder folder, elsewhere;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", plain_sheet()), 0);
    for (const char* name : {"mt_tex_0.png", "mA_mt.obj", "mA_mt.mtl"}) {
        ASSERT_EQ(write_file(elsewhere / name, "keep me"), 0);
        ASSERT_EQ(symlink((elsewhere / name).c_str(), (folder / name).c_str()), 0);
    }
    ASSERT_EQ(run_mapconv(folder.path, {"m"}).status, 0);
    for (const char* name : {"mt_tex_0.png", "mA_mt.obj", "mA_mt.mtl"}) {
        EXPECT_EQ(read_file(elsewhere / name), "keep me") << name;
        EXPECT_TRUE(is_regular(folder / name)) << name;
    }
    // Input links are followed: they are read, never written.
    scratch_folder linked;
    ASSERT_EQ(symlink((folder / "mA").c_str(), (linked / "mA").c_str()), 0);
    ASSERT_EQ(symlink((folder / "mt").c_str(), (linked / "mt").c_str()), 0);
    ASSERT_EQ(run_mapconv(linked.path, {"m"}).status, 0);
    EXPECT_TRUE(is_link(linked / "mA"));
    EXPECT_EQ(read_file(linked / "mA_mt.obj"), read_file(folder / "mA_mt.obj"));
#endif
}

TEST(HostileFolder, FoldersNamedLikeWavefrontOutputsFailTheirPair)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", plain_sheet()), 0);
    ASSERT_EQ(write_file(folder / "mu", plain_sheet()), 0);
    ASSERT_EQ(make_folder(folder / "mA_mt.obj"), 0);
    ASSERT_EQ(make_folder(folder / "mA_mu.mtl"), 0);
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("mapconv: mA_mt.obj: Is a directory\n"), std::string::npos);
    EXPECT_NE(run.err.find("mapconv: mA_mu.mtl: Is a directory\n"), std::string::npos);
    // Each pair is put in place whole or not at all: nothing of either is written.
    EXPECT_EQ(list_names(folder.path).size(), 5u);
    EXPECT_EQ(count_temporaries(folder.path), 0u);
}

TEST(HostileFolder, AFullDiskAtThePngEndsTheRunAndKeepsTheEarlierFile)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no file-size limit (RLIMIT_FSIZE) to simulate a full disk with";
#else
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", write_texture(noisy, nullptr)), 0);
    ASSERT_EQ(write_file(folder / "mt_tex_0.png", "earlier"), 0);
    program_run run = run_mapconv(folder.path, {"m"}, 4096);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "mapconv: mt_tex_0.png: File too large\n");
    EXPECT_EQ(read_file(folder / "mt_tex_0.png"), "earlier");
    EXPECT_EQ(list_names(folder.path).size(), 3u);
#endif
}

TEST(HostileFolder, UnwritableFolder)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX permission bits and another user; Windows folders use access lists";
#else
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", plain_sheet()), 0);
    ASSERT_EQ(chmod(folder.path.c_str(), 0555), 0);
    // Root writes anywhere: run as nobody then.
    int user = geteuid() == 0 ? 65534 : -1;
    program_run run = run_mapconv(folder.path, {"m"}, 0, 60, user);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, "1 meshes found\n1 possible textures\nmA > mt\nConverting mA with mt\n"
                       "0\nTriangles in Map: 1\nQuads in Map: 0\nUntextured Triangles in Map: 1\n"
                       "Untextured Quads in Map: 0\nConverting mA with mt\n");
    EXPECT_EQ(run.err, "mapconv: mt_tex_0.png: Permission denied\n");
    EXPECT_EQ(list_names(folder.path).size(), 2u);
#endif
}

TEST(HostileFolder, NamesAreUsedExactlyAsListed)
{
    scratch_folder folder;
#if defined(_WIN32)
    const std::string mesh = "m %s %n";  // Windows names are UTF-16: every byte sequence is not a name
#else
    const std::string mesh = "m %s %n \xff\xfe";
#endif
    const std::string sheet = "m 100%";
    ASSERT_EQ(write_file(folder / mesh, small_mesh()), 0);
    ASSERT_EQ(write_file(folder / sheet, plain_sheet()), 0);
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(mesh + " > " + sheet + "\nConverting " + mesh + " with " + sheet + "\n"), std::string::npos);
    EXPECT_TRUE(is_regular(folder / (mesh + "_" + sheet + ".obj")));
    EXPECT_EQ(read_file(folder / (mesh + "_" + sheet + ".obj")).substr(0, 8 + mesh.size() + sheet.size() + 5),
              "mtllib " + mesh + "_" + sheet + ".mtl\n");
}

TEST(HostileFolder, ANameTooLongForItsOutputsFailsOnlyItsPair)
{
#if defined(_WIN32)
    GTEST_SKIP() << "names of 250 bytes and more pass MAX_PATH with the test folder before mapconv sees them";
#else
    // A 255-byte mesh name makes an OBJ name longer than the system allows, and a 250-byte sheet
    // name a PNG name: those pairs fail alone, with nothing of them written; the good pair is.
    scratch_folder folder;
    std::string long_mesh = "m" + std::string(254, 'x'), long_sheet = "m" + std::string(249, 'y');
    ASSERT_EQ(write_file(folder / long_mesh, small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "m", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", plain_sheet()), 0);
    ASSERT_EQ(write_file(folder / long_sheet, plain_sheet()), 0);
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("mapconv: " + long_mesh + "_mt.obj: File name too long\n"), std::string::npos);
    EXPECT_NE(run.err.find("mapconv: " + long_sheet + "_tex_0.png: File name too long\n"), std::string::npos);
    EXPECT_TRUE(is_regular(folder / "m_mt.obj"));
    EXPECT_TRUE(is_regular(folder / "mt_tex_0.png"));
    EXPECT_EQ(list_names(folder.path).size(), 4u + 3);
    // Alone, so that no other pair writes its sheet: the pair whose OBJ name is too long leaves
    // nothing at all, its PNG included.
    scratch_folder alone;
    ASSERT_EQ(write_file(alone / long_mesh, small_mesh()), 0);
    ASSERT_EQ(write_file(alone / "mt", plain_sheet()), 0);
    EXPECT_EQ(run_mapconv(alone.path, {"m"}).status, 1);
    EXPECT_EQ(list_names(alone.path).size(), 2u);
#endif
}

TEST(HostileFolder, NamesWithControlBytesAreRefused)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows file names cannot hold control bytes";
#else
    // A line break in a name would put lines of its own into the OBJ and MTL files.
    scratch_folder folder;
    const std::string mesh = "m\nmtllib evil.mtl\nf 1 2 3", sheet = "mt\x7f";
    ASSERT_EQ(write_file(folder / mesh, small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "m", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / sheet, plain_sheet()), 0);
    ASSERT_EQ(write_file(folder / "mu", plain_sheet()), 0);
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.status, 1);
    // Standard error shows the names escaped; standard output into a file keeps their bytes.
    EXPECT_NE(run.err.find("mapconv: m\\nmtllib evil.mtl\\nf 1 2 3: a control character"), std::string::npos);
    EXPECT_NE(run.err.find("mapconv: mt\\x7f: a control character"), std::string::npos);
    EXPECT_NE(run.out.find(mesh + " > mu\n"), std::string::npos);
    EXPECT_EQ(run.out.find("Converting " + mesh), std::string::npos);
    EXPECT_EQ(sorted_names(folder.path),
              (std::vector<std::string>{"m", mesh, "m_mu.mtl", "m_mu.obj", "mt\x7f", "mu", "mu_tex_0.png"}));
#endif
}

TEST(HostileFolder, NewFilesTakePermissionsFromTheUmask)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no umask";
#else
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", plain_sheet()), 0);
    mode_t old = umask(027);
    program_run run = run_mapconv(folder.path, {"m"});
    umask(old);
    ASSERT_EQ(run.status, 0);
    for (const char* name : {"mt_tex_0.png", "mA_mt.obj", "mA_mt.mtl"}) {
        struct stat st;
        ASSERT_EQ(stat((folder / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << name;
    }
#endif
}

TEST(HostileFolder, ManySmallFilesAndHugeOnes)
{
    scratch_folder folder;
#if defined(_WIN32)
    const int files = 2000;  // each file costs Wine far more than Linux
#else
    const int files = 20000;
#endif
    for (int i = 0; i < files; i++)
        ASSERT_EQ(write_file(folder / ("f" + std::to_string(i)), "x"), 0);
    auto start = std::chrono::steady_clock::now();
    program_run run = run_mapconv(folder.path, {"f"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.out, "0 meshes found\n" + std::to_string(files) + " possible textures\n");
    EXPECT_EQ(run.status, 0);
    RecordProperty("scan_seconds", std::to_string(seconds));

    // 2 GiB files (sparse) cost what small ones cost: only what the format needs is read.
    scratch_folder huge;
    std::string mesh = small_mesh();
    ASSERT_EQ(write_file(huge / "hmesh", mesh), 0);
    std::filesystem::resize_file(huge / "hmesh", 2ull << 30);
    ASSERT_EQ(write_file(huge / "hsheet", plain_sheet()), 0);
    std::filesystem::resize_file(huge / "hsheet", 2ull << 30);
    program_run big = run_mapconv(huge.path, {"h"}, 0, 30);
    ASSERT_FALSE(big.timed_out);
    EXPECT_EQ(big.status, 0);
    EXPECT_TRUE(is_regular(huge / "hmesh_hsheet.obj"));
}

// What surrounds a run can hurt it too: closed standard streams, a reader that went away,
// signals, too little memory or too few descriptors, names two pairs share, files of other users.
namespace {

[[maybe_unused]] int stripes(int x, int y, void* seed)
{
    return (x / 8 + y / 32 + *static_cast<int*>(seed)) & 15;
}

// Meshes pm0.. of `quads` quads and sheets pt0.., and a sheet that is too
// short, so that pairs also print errors.
[[maybe_unused]] void fill_folder(const scratch_folder& folder, int meshes, int sheets, int quads,
                                  bool noisy_sheets = false)
{
    for (int i = 0; i < meshes; i++) {
        written_mesh m = empty_mesh();
        m.palette_words[0] = colour_word(i, 2 * i, 3 * i);  // each mesh colours the sheets its own way
        for (int q = 0; q < quads; q++) {
            written_polygon p = cell_quad(q % 64, i * 10 + q % 7, q / 64);
            p.palette_byte = uint8_t(q % 3);
            m.tex_quads.push_back(p);
        }
        m.untex_tris.push_back(cell_quad(0, -50, 0));
        ASSERT_EQ(write_file(folder / ("pm" + std::to_string(i)), write_map_mesh(m)), 0);
    }
    for (int i = 0; i < sheets; i++)
        ASSERT_EQ(write_file(folder / ("pt" + std::to_string(i)), write_texture(noisy_sheets ? noisy : stripes, &i)),
                  0);
    ASSERT_EQ(write_file(folder / "ptshort", "short"), 0);
}

// Every output in the folder (everything but the inputs), name to content.
[[maybe_unused]] std::map<std::string, std::string> outputs_of(const scratch_folder& folder)
{
    std::map<std::string, std::string> files;
    for (const std::string& name : list_names(folder.path))
        if (name.find('_') != std::string::npos || name.rfind(".mapconv-", 0) == 0)
            files[name] = read_file(folder / name);
    return files;
}

[[maybe_unused]] void remove_outputs(const scratch_folder& folder)
{
    for (const auto& file : outputs_of(folder))
        unlink((folder / file.first).c_str());
}

}  // namespace

TEST(HostileRun, ClosedStandardStreamsNeverReachAnOutput)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the test closes POSIX descriptors before exec";
#else
    scratch_folder folder;
    fill_folder(folder, 2, 3, 40);
    program_run reference = run_mapconv(folder.path, {"-j", "1", "p"});
    ASSERT_EQ(reference.status, 1);  // the short sheet's pairs fail
    std::map<std::string, std::string> expected = outputs_of(folder);
    // A worker's temporary once took descriptor 1 or 2, and console text went into it.
    for (int stream : {1, 2}) {
        for (int i = 0; i < 30; i++) {
            remove_outputs(folder);
            run_setup closed;
            closed.closed_streams = 1 << stream;
            program_run run = run_mapconv(folder.path, {"-j", "2", "p"}, closed);
            ASSERT_EQ(run.status, 1) << stream;
            ASSERT_TRUE(outputs_of(folder) == expected) << "descriptor " << stream << ", run " << i;
            if (stream == 1) {
                ASSERT_EQ(run.err, reference.err + "mapconv: standard output: write failed\n");
            }
        }
    }
#endif
}

TEST(HostileRun, AReaderThatWentAwayLosesOnlyTheText)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the test needs a POSIX pipe whose reader is gone (SIGPIPE)";
#else
    // mapconv p | head -1: every pair is still converted and put in place, and the run says that
    // its standard output was lost.
    scratch_folder folder;
    fill_folder(folder, 3, 3, 20);
    program_run reference = run_mapconv(folder.path, {"p"});
    std::map<std::string, std::string> expected = outputs_of(folder);
    remove_outputs(folder);
    run_setup gone;
    gone.stdout_reader_gone = true;
    program_run run = run_mapconv(folder.path, {"-j", "2", "p"}, gone);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, reference.err + "mapconv: standard output: write failed\n");
    EXPECT_TRUE(outputs_of(folder) == expected);
#endif
}

TEST(HostileRun, SignalsLeaveNoTemporariesAndTemporariesAreNeverInputs)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX signals; a console Ctrl-C cannot be sent to a process under test here";
#else
    scratch_folder folder;
    fill_folder(folder, 4, 6, 3000, true);  // 24 pairs of about 20 ms each
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        for (const char* jobs : {"1", "2"}) {
            run_setup interrupted;
            interrupted.signal = signal_number;
            interrupted.signal_after_ms = 60;
            program_run run = run_mapconv(folder.path, {"-j", jobs, "p"}, interrupted);
            ASSERT_EQ(run.status, 128 + signal_number) << "the run ended before the signal came";
            EXPECT_TRUE(run.signalled) << "the run must end by the signal, not by an exit status of 128 + N";
            EXPECT_EQ(count_temporaries(folder.path), 0u) << signal_number << " -j " << jobs;
            // A leftover is reported once, by the run that left it.
            for (const std::string& name : list_names(folder.path))
                if (name.rfind(".mapconv-", 0) == 0)
                    unlink((folder / name).c_str());
        }
    }
    // Many workers creating temporaries while the signal comes: none outlives the run (one run in
    // about a hundred left one, when a worker created a file after the clean-up passed its number).
    for (int run_number = 0; run_number < 30; run_number++) {
        run_setup interrupted;
        interrupted.signal = SIGTERM;
        interrupted.signal_after_ms = 15 + run_number * 3;
        program_run run = run_mapconv(folder.path, {"-j", "8", "p"}, interrupted);
        ASSERT_TRUE(run.signalled || run.status == 1) << run.status;
        ASSERT_EQ(count_temporaries(folder.path), 0u) << "run " << run_number;
    }
    // A signal ignored from the start (nohup, a script's background job) stays ignored.
    for (int signal_number : {SIGHUP, SIGINT}) {
        run_setup ignoring;
        ignoring.ignored_signal = signal_number;
        ignoring.signal = signal_number;
        ignoring.signal_after_ms = 60;
        program_run run = run_mapconv(folder.path, {"-j", "2", "p"}, ignoring);
        EXPECT_EQ(run.status, 1) << signal_number;  // the short sheet's pairs fail, every other pair is done
        EXPECT_FALSE(run.signalled) << signal_number;
        EXPECT_EQ(run.err.find("interrupted"), std::string::npos);
    }
    // What SIGKILL leaves is never taken for a mesh or a sheet, whatever the prefix.
    scratch_folder left;
    ASSERT_EQ(write_file(left / ".mapconv-12345-7.tmp", small_mesh()), 0);
    ASSERT_EQ(write_file(left / ".mapconv-12345-8.tmp", plain_sheet()), 0);
    for (const char* prefix : {"", ".", ".m"}) {
        program_run run = run_mapconv(left.path, {prefix});
        EXPECT_EQ(run.out.find(".mapconv-"), std::string::npos) << prefix;
        EXPECT_NE(run.out.find("0 meshes found\n"), std::string::npos) << prefix;
    }
#endif
}

#if defined(__linux__)
// mapconv as process 1 of a PID namespace of its own, as in a container, started in folder.
struct contained_run {
    pid_t waiter = -1;   // in this namespace: exits with mapconv's status, or 200 + the signal that ended it
    pid_t mapconv = -1;  // mapconv, as this namespace numbers it
};

contained_run start_contained(const std::string& folder, const std::vector<std::string>& args)
{
    contained_run run;
    int report[2];
    if (pipe(report) != 0)
        return run;
    run.waiter = fork();
    if (run.waiter == 0) {
        close(report[0]);
        if (unshare(CLONE_NEWPID) != 0)
            _exit(199);
        pid_t child = fork();
        if (child == 0) {
            int none = open("/dev/null", O_RDWR);
            if (none < 0 || chdir(folder.c_str()) != 0)
                _exit(198);
            dup2(none, 0);
            dup2(none, 1);
            dup2(none, 2);
            std::vector<char*> argv = {const_cast<char*>(MAPCONV_EXE)};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(MAPCONV_EXE, argv.data());
            _exit(197);
        }
        if (write(report[1], &child, sizeof child) != ssize_t(sizeof child))
            _exit(196);
        int status = 0;
        waitpid(child, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status));
    }
    close(report[1]);
    if (read(report[0], &run.mapconv, sizeof run.mapconv) != ssize_t(sizeof run.mapconv))
        run.mapconv = -1;
    close(report[0]);
    return run;
}

int wait_contained(const contained_run& run)
{
    int status = 0;
    waitpid(run.waiter, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void sleep_ms(int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until)
        usleep(1000);
}
#endif

TEST(HostileRun, AsProcessOneOfAContainer)
{
#if !defined(__linux__)
    GTEST_SKIP() << "PID namespaces are Linux's";
#else
    if (geteuid() != 0)
        GTEST_SKIP() << "a PID namespace of its own needs a run as root";
    scratch_folder folder;
    fill_folder(folder, 4, 6, 3000, true);
    // Process 1 cannot be ended by its own signal: the run ends with 128 + N, its temporaries gone.
    contained_run stopped = start_contained(folder.path, {"-j", "2", "p"});
    ASSERT_GT(stopped.mapconv, 0);
    sleep_ms(60);
    kill(stopped.mapconv, SIGTERM);
    EXPECT_EQ(wait_contained(stopped), 128 + SIGTERM);
    EXPECT_EQ(count_temporaries(folder.path), 0u);

    // Two runs numbered 1 in one folder (two containers sharing it): one's clean-up leaves the
    // other's temporaries alone, and the other converts every pair.
    scratch_folder shared;
    fill_folder(shared, 4, 6, 3000, true);
    std::vector<std::string> inputs = list_names(shared.path);
    for (const std::string& name : inputs)
        ASSERT_EQ(link((shared / name).c_str(), (shared / ("q" + name.substr(1))).c_str()), 0);
    ASSERT_EQ(unlink((shared / "qtshort").c_str()), 0);
    contained_run ended = start_contained(shared.path, {"-j", "2", "p"});
    contained_run other = start_contained(shared.path, {"-j", "2", "q"});
    ASSERT_GT(ended.mapconv, 0);
    ASSERT_GT(other.mapconv, 0);
    sleep_ms(150);
    kill(ended.mapconv, SIGTERM);
    EXPECT_EQ(wait_contained(ended), 128 + SIGTERM);
    EXPECT_EQ(wait_contained(other), 0);
    EXPECT_EQ(count_temporaries(shared.path), 0u);
#endif
}

TEST(HostileRun, ShortOfMemoryOrDescriptorsAParallelRunDoesWhatOneAtATimeDoes)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no RLIMIT_NOFILE or RLIMIT_AS to set";
#else
#if defined(MAPCONV_SANITIZED)
    GTEST_SKIP() << "the sanitizers' runtime reserves terabytes of address space and needs descriptors of its own";
#endif
    scratch_folder folder;
    fill_folder(folder, 2, 2, 2000);
    // With descriptors 0-2 and one more, pairs can only be converted one after another: a run of
    // -j 2 falls back to that instead of failing. (A preview is asked for: with a processor idle,
    // it is drawn on a thread of its own, whose shortage of memory must reach its pair too.)
    auto run_with_default_jobs = [&](const run_setup& setup) {
        remove_outputs(folder);
        return run_mapconv(folder.path, {"--glb", "--preview", "p"}, setup).out;
    };
    auto run_with = [&](const char* jobs, const run_setup& setup) {
        remove_outputs(folder);
        program_run run = run_mapconv(folder.path, {"-j", jobs, "--glb", "--preview", "p"}, setup);
        return std::make_pair(run, outputs_of(folder));
    };
    run_setup few;
    few.open_files_limit = 4;
    auto one = run_with("1", few);
    ASSERT_EQ(one.first.status, 1);
    ASSERT_EQ(one.first.err.find("Too many open files"), std::string::npos) << one.first.err;
    for (const char* jobs : {"2", "4"}) {
        auto many = run_with(jobs, few);
        EXPECT_EQ(many.first.out, one.first.out) << jobs;
        EXPECT_EQ(many.first.err, one.first.err) << jobs;
        EXPECT_EQ(many.first.status, one.first.status) << jobs;
        EXPECT_TRUE(many.second == one.second) << jobs;
    }
#if defined(FAULT_SHIM_LIBRARY)
    // A full disk or a process out of descriptors just while an output is being created, in a
    // worker converting ahead: the run goes on one pair after another and ends as -j 1 would
    // have ended without the shortage. (One creation fails: a second could fall to the pair the
    // fall-back converts again, which one pair after another must then report.)
    run_setup clean;
    auto expected = run_with("1", clean);
    for (int error : {ENOSPC, EMFILE}) {
        run_setup faulty;
        faulty.environment = {std::string("LD_PRELOAD=") + FAULT_SHIM_LIBRARY,
                              "FAULT_SHIM=5:1:" + std::to_string(error), "ASAN_OPTIONS=verify_asan_link_order=0"};
        for (const char* jobs : {"2", "4"}) {
            auto faulted = run_with(jobs, faulty);
            EXPECT_EQ(faulted.first.out, expected.first.out) << error << " -j " << jobs;
            EXPECT_EQ(faulted.first.err, expected.first.err) << error << " -j " << jobs;
            EXPECT_EQ(faulted.first.status, expected.first.status) << error << " -j " << jobs;
            EXPECT_TRUE(faulted.second == expected.second) << error << " -j " << jobs;
        }
        // One pair after another has no pairs ahead to blame: the pair fails with the reason (a
        // sheet that cannot be written ends the run).
        auto alone = run_with("1", faulty);
        EXPECT_TRUE(alone.first.status == 1 || alone.first.status == 255) << error;
        EXPECT_NE(alone.first.err.find(error_text_of(error)), std::string::npos) << alone.first.err;
    }
    // Without -j, a run takes as many workers as the processors it may use: one processor (taskset,
    // a container's share) is one pair after another, with no thread at all.
    scratch_folder counts;
    for (int processor : {0, -1}) {
        run_setup counted;
        counted.environment = {std::string("LD_PRELOAD=") + FAULT_SHIM_LIBRARY, "SHIM_THREADS=" + (counts / "threads"),
                               "ASAN_OPTIONS=verify_asan_link_order=0"};
        counted.processor = processor;
        EXPECT_EQ(run_with_default_jobs(counted), expected.first.out);
        int started = atoi(read_file(counts / "threads").c_str());
        if (processor >= 0) {
            EXPECT_EQ(started, 0) << "threads started with one processor";
        } else if (std::thread::hardware_concurrency() >= 2) {
            EXPECT_GE(started, 2) << "threads started with every processor";
        }
    }
#endif
    // Too little memory: never an abort, never a temporary left, never a sheet's failure (255: the
    // shortage is libpng's as much as anyone's); what is put in place is whole; and where one pair
    // after another converts everything, so does a parallel run, after its fall-back.
    run_setup plenty;
    auto whole = run_with("1", plenty);
    for (long mib : {12, 16, 20, 24, 30, 60, 90}) {
        run_setup tight;
        tight.memory_limit = mib << 20;
        auto alone = run_with("1", tight);
        for (const char* jobs : {"2", "4"}) {
            auto tight_run = run_with(jobs, tight);
            ASSERT_FALSE(tight_run.first.timed_out) << mib;
            EXPECT_TRUE(tight_run.first.status == 0 || tight_run.first.status == 1)
                << mib << " MiB, -j " << jobs << ": " << tight_run.first.status << "\n"
                << tight_run.first.err;
            for (const auto& file : tight_run.second) {
                EXPECT_NE(file.first.rfind(".mapconv-", 0), 0u) << mib << " MiB: " << file.first;
                // A sheet shared by meshes keeps the colours of the last pair that wrote it: when a
                // later pair failed, an earlier pair's whole sheet stays.
                bool shared_sheet = tight_run.first.status != 0 && file.first.find("_tex_") != std::string::npos;
                if (shared_sheet) {
                    EXPECT_TRUE(read_png(file.second).ok) << mib << " MiB: " << file.first;
                } else {
                    EXPECT_EQ(file.second, whole.second[file.first]) << mib << " MiB: " << file.first;
                }
            }
            if (mib >= 20 && alone.second == whole.second) {
                EXPECT_TRUE(tight_run.second == whole.second) << mib << " MiB, -j " << jobs << "\n"
                                                              << tight_run.first.err;
            }
        }
    }
    // Just above the least memory one pair after another needs: the workers' stacks, gone with
    // them, leave the fall-back what it needs (the C library keeps the stacks it maps itself).
    long least = 8 << 10, most = 96 << 10;  // KiB: -j 1 fails at least, converts all at most
    while (most - least > 256) {
        run_setup tight;
        tight.memory_limit = (least + most) / 2 * 1024;
        auto alone = run_with("1", tight);
        bool converted = alone.first.status == whole.first.status && alone.second == whole.second;
        (converted ? most : least) = (least + most) / 2;
    }
    run_setup just_enough;
    just_enough.memory_limit = (most + 1024) * 1024;
    for (const char* jobs : {"2", "4"}) {
        auto many = run_with(jobs, just_enough);
        EXPECT_EQ(many.first.status, whole.first.status) << most + 1024 << " KiB, -j " << jobs << "\n"
                                                         << many.first.err;
        EXPECT_TRUE(many.second == whole.second) << most + 1024 << " KiB, -j " << jobs;
    }
#endif
}

TEST(HostileRun, APairIsPutInPlaceWholeOrNotAtAll)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no file-size limit (RLIMIT_FSIZE) to make one output fail with";
#else
    // The .glb cannot be written (a file-size limit below its size, above the others'): the pair
    // fails and its earlier PNG, OBJ, MTL and .glb all stay as they were.
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", write_texture(noisy, nullptr)), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"m"}).status, 0);
    long png_size = long(read_file(folder / "mt_tex_0.png").size());
    for (const char* name : {"mt_tex_0.png", "mA_mt.obj", "mA_mt.mtl", "mA_mt.glb"})
        ASSERT_EQ(write_file(folder / name, "earlier"), 0);
    program_run run = run_mapconv(folder.path, {"--glb", "m"}, png_size + 64);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mapconv: mA_mt.glb: File too large\n");
    for (const char* name : {"mt_tex_0.png", "mA_mt.obj", "mA_mt.mtl", "mA_mt.glb"})
        EXPECT_EQ(read_file(folder / name), "earlier") << name;
    EXPECT_EQ(count_temporaries(folder.path), 0u);

    // A rename that fails after the first succeeded (the MTL is immutable): the sheet and the OBJ
    // already put in place are put back, and an output whose name held nothing is removed again.
    unlink((folder / "mA_mt.obj").c_str());
    int fd = open((folder / "mA_mt.mtl").c_str(), O_RDONLY);
    int flags = 0;
    bool immutable = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                     (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (immutable) {
        program_run blocked = run_mapconv(folder.path, {"m"});
        EXPECT_EQ(blocked.status, 1);
        EXPECT_EQ(blocked.err, "mapconv: mA_mt.mtl: Operation not permitted\n");
        EXPECT_EQ(read_file(folder / "mt_tex_0.png"), "earlier");
        EXPECT_FALSE(exists(folder / "mA_mt.obj"));
        EXPECT_EQ(count_temporaries(folder.path), 0u);
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        close(fd);
    if (!immutable)
        printf("  a failed later rename not tried: making a file immutable needs root on a file system that has it\n");
#endif
}

TEST(HostileRun, TwoPairsNamingOneOutputKeepTheFirst)
{
    // (p, px_pt) and (p_px, pt) both name p_px_pt.obj and p_px_pt.mtl.
    scratch_folder folder;
    written_mesh a = empty_mesh(), b = empty_mesh();
    a.tex_quads.push_back(cell_quad(0, 0, 0));
    b.tex_quads.push_back(cell_quad(5, 5, 5));
    ASSERT_EQ(write_file(folder / "p", write_map_mesh(a)), 0);
    ASSERT_EQ(write_file(folder / "p_px", write_map_mesh(b)), 0);
    ASSERT_EQ(write_file(folder / "px_pt", plain_sheet()), 0);
    ASSERT_EQ(write_file(folder / "pt", plain_sheet()), 0);
    std::string first_mesh;
    for (const std::string& name : list_names(folder.path))
        if (first_mesh.empty() && (name == "p" || name == "p_px"))
            first_mesh = name;
    bool p_first = first_mesh == "p";
    program_run run = run_mapconv(folder.path, {"p"});
    EXPECT_EQ(run.status, 1);
    std::string first = p_first ? "p and px_pt" : "p_px and pt", second = p_first ? "p_px and pt" : "p and px_pt";
    EXPECT_EQ(run.err, "mapconv: p_px_pt.obj: already written for " + first + " in this run; not replaced with " +
                           second + "\n");
    // The first pair's files are the ones a run of that pair alone writes.
    std::string kept = read_file(folder / "p_px_pt.obj");
    scratch_folder alone;
    ASSERT_EQ(write_file(alone / first_mesh, write_map_mesh(p_first ? a : b)), 0);
    ASSERT_EQ(write_file(alone / (p_first ? "px_pt" : "pt"), plain_sheet()), 0);
    ASSERT_EQ(run_mapconv(alone.path, {"p"}).status, 0);
    EXPECT_EQ(kept, read_file(alone / "p_px_pt.obj"));
}

TEST(HostileRun, ReplacingKeepsTheModeAndOwnerOfTheFileReplaced)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX permission bits and owners";
#else
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", plain_sheet()), 0);
    ASSERT_EQ(write_file(folder / "mA_mt.obj", "earlier"), 0);
    ASSERT_EQ(chmod((folder / "mA_mt.obj").c_str(), 0600), 0);
    ASSERT_EQ(write_file(folder / "mA_mt.mtl", "earlier"), 0);
    ASSERT_EQ(chmod((folder / "mA_mt.mtl").c_str(), 0640), 0);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown((folder / "mA_mt.mtl").c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(run_mapconv(folder.path, {"m"}).status, 0);
    struct stat obj, mtl;
    ASSERT_EQ(stat((folder / "mA_mt.obj").c_str(), &obj), 0);
    ASSERT_EQ(stat((folder / "mA_mt.mtl").c_str(), &mtl), 0);
    EXPECT_EQ(obj.st_mode & 0777, 0600u);
    EXPECT_EQ(mtl.st_mode & 0777, 0640u);
    if (root) {
        EXPECT_EQ(mtl.st_uid, 65534u);
        EXPECT_EQ(mtl.st_gid, 65534u);
    }
    EXPECT_NE(read_file(folder / "mA_mt.obj"), "earlier");
#endif
}

TEST(HostileRun, ASwappedTemporaryHandsOutNoFile)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX owners and symbolic links";
#else
    if (geteuid() != 0)
        GTEST_SKIP() << "a second user to swap the temporaries needs a run as root";
    // A file of the user's outside the folder, which a swapped temporary must never reach.
    scratch_folder outside;
    std::string secret = outside / "secret";
    ASSERT_EQ(write_file(secret, "private"), 0);
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    // A folder another user may write, without the sticky bit, whose outputs that user owns.
    scratch_folder folder;
    ASSERT_EQ(chmod(folder.path.c_str(), 0777), 0);
    fill_folder(folder, 1, 16, 200);
    for (int i = 0; i < 16; i++) {
        std::string pair = "pm0_pt" + std::to_string(i);
        for (std::string name : {pair + ".obj", pair + ".mtl", "pt" + std::to_string(i) + "_tex_0.png"}) {
            ASSERT_EQ(write_file(folder / name, "earlier"), 0);
            ASSERT_EQ(chmod((folder / name).c_str(), 0666), 0);
            ASSERT_EQ(chown((folder / name).c_str(), 65534, 65534), 0);
        }
    }
    // The other user puts a link to the secret in place of every temporary it sees.
    pid_t swapper = fork();
    if (swapper == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        for (int n = 0;; n++) {
            for (const std::string& name : list_names(folder.path)) {
                if (name.rfind(".mapconv-", 0) != 0 || is_link(folder / name))
                    continue;
                std::string link = folder / (".swap" + std::to_string(n));
                if (symlink(secret.c_str(), link.c_str()) == 0 && rename(link.c_str(), (folder / name).c_str()) != 0)
                    unlink(link.c_str());
            }
        }
    }
    ASSERT_GT(swapper, 0);
    size_t refused = 0;
    for (int run_number = 0; run_number < 5; run_number++) {
        program_run run = run_mapconv(folder.path, {"-j", "2", "p"});
        EXPECT_TRUE(run.status == 0 || run.status == 1) << run.err;
        size_t at = 0;
        while ((at = run.err.find("another program replaced the temporary file", at)) != std::string::npos)
            refused++, at++;
    }
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    struct stat st;
    ASSERT_EQ(lstat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(secret), "private");
    for (const std::string& name : list_names(folder.path)) {
        if (name.find('_') != std::string::npos) {
            EXPECT_FALSE(is_link(folder / name)) << name << " was put in place as the other user's link";
        }
    }
    printf("  %zu swapped temporaries refused\n", refused);
#endif
}

TEST(HostileRun, RefusingANamedPipeLeavesItsWriterWaiting)
{
#if defined(_WIN32)
    GTEST_SKIP() << "a Windows folder holds no named pipes";
#else
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(mkfifo((folder / "mpipe").c_str(), 0644), 0);
    pid_t writer = fork();
    if (writer == 0) {
        int fd = open((folder / "mpipe").c_str(), O_WRONLY);  // waits for a reader
        _exit(fd >= 0 && write(fd, "x", 1) == 1 ? 0 : 1);
    }
    program_run run = run_mapconv(folder.path, {"m"}, 0, 20);
    ASSERT_FALSE(run.timed_out);
    EXPECT_NE(run.err.find("mapconv: mpipe: Not a regular file\n"), std::string::npos);
    usleep(100000);
    ASSERT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the refusal opened the pipe and let its writer go";
    // Release the writer and take what it meant for its reader.
    int reader = open((folder / "mpipe").c_str(), O_RDONLY);
    char byte = 0;
    EXPECT_EQ(read(reader, &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    close(reader);
    int status = -1;
    waitpid(writer, &status, 0);
    EXPECT_EQ(status, 0);
#endif
}

#if defined(_WIN32)
namespace {

// Writes a file under exactly the name given, in the \\?\ form that Windows does not rewrite: a
// name ending in a dot or a blank, or a device name, as volumes of other systems hold them.
std::wstring verbatim_name(const std::string& path)
{
    std::string full = std::filesystem::absolute(path).string();
    std::replace(full.begin(), full.end(), '/', '\\');
    std::wstring name(MultiByteToWideChar(CP_UTF8, 0, full.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, full.c_str(), -1, &name[0], int(name.size()));
    return L"\\\\?\\" + std::wstring(name.c_str());
}

// Such files can only be removed by that form too; the scratch folder could not remove them.
void remove_verbatim(const std::string& path)
{
    DeleteFileW(verbatim_name(path).c_str());
}

bool write_verbatim(const std::string& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(verbatim_name(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD put = 0;
    bool written = WriteFile(h, bytes.data(), DWORD(bytes.size()), &put, nullptr) && put == bytes.size();
    return CloseHandle(h) && written;
}

}  // namespace
#endif

TEST(HostileFolder, NamesWindowsCannotOpenAsThemselvesAreRefused)
{
#if !defined(_WIN32)
    GTEST_SKIP() << "only Windows opens another file, or a device, for such names";
#else
    // Windows drops a final dot or blank, so "x." and "x " would open the sheet "x": refused, each
    // once, and the run fails; the pair of x.msh and x is converted.
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "x.msh", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "x", plain_sheet()), 0);
    ASSERT_TRUE(write_verbatim(folder / "x.", std::string(131072, '\x45')));
    ASSERT_TRUE(write_verbatim(folder / "x ", std::string(131072, '\x67')));
    program_run run = run_mapconv(folder.path, {"x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.substr(0, 35), "1 meshes found\n1 possible textures\n") << run.out;
    for (const char* name : {"x.", "x "}) {
        std::string refusal =
            std::string("mapconv: ") + name + ": Windows opens another file for a name ending in a dot or a blank";
        EXPECT_NE(run.err.find(refusal), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(refusal), run.err.rfind(refusal)) << "said twice: " << run.err;
    }
    EXPECT_TRUE(exists(folder / "x_tex_0.png"));
    EXPECT_FALSE(exists(folder / "x._tex_0.png"));
    // A device name is no mesh and no sheet: the run whose only mesh it was fails.
    ASSERT_TRUE(write_verbatim(folder / "con.msh", small_mesh()));
    ASSERT_TRUE(write_verbatim(folder / "cont", plain_sheet()));
    program_run device = run_mapconv(folder.path, {"con"});
    EXPECT_EQ(device.status, 1);
    EXPECT_EQ(device.out, "0 meshes found\n1 possible textures\n");
    EXPECT_NE(device.err.find("mapconv: con.msh: Windows keeps this name for a device"), std::string::npos);
    // A read-only output is replaced and stays read-only.
    std::string png = folder / "x_tex_0.png";
    ASSERT_EQ(write_file(png, "earlier"), 0);
    ASSERT_TRUE(SetFileAttributesA(png.c_str(), FILE_ATTRIBUTE_READONLY));
    run_mapconv(folder.path, {"x"});
    EXPECT_NE(read_file(png), "earlier");
    EXPECT_TRUE(GetFileAttributesA(png.c_str()) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(png.c_str(), FILE_ATTRIBUTE_NORMAL);
    // An output folder too long for the system is refused before any of its folders is made.
    std::string deep = "o";
    while (deep.size() < 300)
        deep += "/deeper";
    program_run too_long = run_mapconv(folder.path, {"-o", deep, "x"});
    EXPECT_EQ(too_long.status, 1);
    EXPECT_NE(too_long.err.find("File name too long"), std::string::npos) << too_long.err;
    EXPECT_FALSE(exists(folder / "o"));
    for (const char* name : {"x.", "x ", "con.msh"})
        remove_verbatim(folder / name);
#endif
}
