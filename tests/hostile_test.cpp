// Folders that try to hurt: special files, links and folders named like outputs, a full disk,
// strange names, many files, huge files.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>

#include <gtest/gtest.h>

#include "map_writer.h"
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

int noisy(int x, int y, void*)
{
    return int((uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u) >> 7) & 15;
}

std::string plain_sheet()
{
    return std::string(131072, '\x23');
}

bool is_regular(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_link(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

size_t count_temporaries(const std::string& folder)
{
    std::vector<std::string> names = list_names(folder);
    return size_t(std::count_if(names.begin(), names.end(),
                                [](const std::string& n) { return n.rfind(".mapconv-", 0) == 0; }));
}

}  // namespace

TEST(HostileFolder, SpecialFilesAreRefusedWithoutWaiting)
{
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
}

TEST(HostileFolder, LinksNamedLikeOutputsAreReplacedNeverFollowed)
{
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
}

TEST(HostileFolder, FoldersNamedLikeWavefrontOutputsFailTheirPair)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", plain_sheet()), 0);
    ASSERT_EQ(write_file(folder / "mu", plain_sheet()), 0);
    ASSERT_EQ(mkdir((folder / "mA_mt.obj").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((folder / "mA_mu.mtl").c_str(), 0755), 0);
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("mapconv: mA_mt.obj: Is a directory\n"), std::string::npos);
    EXPECT_NE(run.err.find("mapconv: mA_mu.mtl: Is a directory\n"), std::string::npos);
    // The OBJ failed, so its MTL is not written; the other pair's OBJ stands.
    EXPECT_FALSE(is_regular(folder / "mA_mt.mtl"));
    EXPECT_TRUE(is_regular(folder / "mA_mu.obj"));
    EXPECT_TRUE(is_regular(folder / "mt_tex_0.png"));
    EXPECT_EQ(count_temporaries(folder.path), 0u);
}

TEST(HostileFolder, AFullDiskAtThePngEndsTheRunAndKeepsTheEarlierFile)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh()), 0);
    ASSERT_EQ(write_file(folder / "mt", write_texture(noisy, nullptr)), 0);
    ASSERT_EQ(write_file(folder / "mt_tex_0.png", "earlier"), 0);
    program_run run = run_mapconv(folder.path, {"m"}, 4096);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "mapconv: mt_tex_0.png: File too large\n");
    EXPECT_EQ(read_file(folder / "mt_tex_0.png"), "earlier");
    EXPECT_EQ(list_names(folder.path).size(), 3u);
}

TEST(HostileFolder, UnwritableFolder)
{
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
}

TEST(HostileFolder, NamesAreUsedExactlyAsListed)
{
    scratch_folder folder;
    const std::string mesh = "m %s %n\nnext\xff\xfe";
    const std::string sheet = "m 100%";
    ASSERT_EQ(write_file(folder / mesh, small_mesh()), 0);
    ASSERT_EQ(write_file(folder / sheet, plain_sheet()), 0);
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(mesh + " > " + sheet + "\nConverting " + mesh + " with " + sheet + "\n"),
              std::string::npos);
    EXPECT_TRUE(is_regular(folder / (mesh + "_" + sheet + ".obj")));
    EXPECT_EQ(read_file(folder / (mesh + "_" + sheet + ".obj")).substr(0, 8 + mesh.size() + sheet.size() + 5),
              "mtllib " + mesh + "_" + sheet + ".mtl\n");

    // A 255-byte mesh name makes output names longer than the system allows: that pair fails alone.
    scratch_folder longest;
    std::string long_name = "m" + std::string(254, 'x');
    ASSERT_EQ(write_file(longest / long_name, small_mesh()), 0);
    ASSERT_EQ(write_file(longest / "m", plain_sheet()), 0);
    program_run long_run = run_mapconv(longest.path, {"m"});
    EXPECT_EQ(long_run.status, 1);
    EXPECT_EQ(long_run.err, "mapconv: " + long_name + "_m.obj: File name too long\n");
    EXPECT_TRUE(is_regular(longest / "m_tex_0.png"));
    EXPECT_EQ(count_temporaries(longest.path), 0u);
}

TEST(HostileFolder, NewFilesTakePermissionsFromTheUmask)
{
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
}

TEST(HostileFolder, ManySmallFilesAndHugeOnes)
{
    scratch_folder folder;
    for (int i = 0; i < 20000; i++)
        ASSERT_EQ(write_file(folder / ("f" + std::to_string(i)), "x"), 0);
    auto start = std::chrono::steady_clock::now();
    program_run run = run_mapconv(folder.path, {"f"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.out, "0 meshes found\n20000 possible textures\n");
    EXPECT_EQ(run.status, 0);
    RecordProperty("scan_seconds", std::to_string(seconds));

    // 2 GiB files (sparse) cost what small ones cost: only what the format needs is read.
    scratch_folder huge;
    std::string mesh = small_mesh();
    ASSERT_EQ(write_file(huge / "hmesh", mesh), 0);
    ASSERT_EQ(truncate((huge / "hmesh").c_str(), 2LL << 30), 0);
    ASSERT_EQ(write_file(huge / "hsheet", plain_sheet()), 0);
    ASSERT_EQ(truncate((huge / "hsheet").c_str(), 2LL << 30), 0);
    program_run big = run_mapconv(huge.path, {"h"}, 0, 30);
    ASSERT_FALSE(big.timed_out);
    EXPECT_EQ(big.status, 0);
    EXPECT_TRUE(is_regular(huge / "hmesh_hsheet.obj"));
}
