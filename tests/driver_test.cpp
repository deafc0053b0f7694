// Runs the built mapconv in scratch folders and checks everything it prints and writes.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include <gtest/gtest.h>
#include <png.h>
#include <tiny_obj_loader.h>

#include "map_writer.h"
#include "readers.h"
#include "run_program.h"

namespace {

// A small valid mesh whose palette 0 is tinted by `tint`.
std::string small_mesh(int tint, int textured_quads = 2, int untextured_tris = 1)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 16; i++)
        m.palette_words[i] = colour_word(i * 2, (tint * 5) & 31, 31 - i);
    for (int q = 0; q < textured_quads; q++) {
        written_polygon p = cell_quad(q, tint, 0);
        p.page_byte = uint8_t(q & 3);
        m.tex_quads.push_back(p);
    }
    for (int t = 0; t < untextured_tris; t++) {
        written_polygon p = {};
        p.position[1] = {100, 0, 0};
        p.position[2] = {0, 100, 0};
        m.untex_tris.push_back(p);
    }
    return write_map_mesh(m);
}

int sheet_stripes(int x, int y, void* context)
{
    return (x / 16 + y / 64 + *static_cast<int*>(context)) & 15;
}

std::string small_sheet(int seed)
{
    return write_texture(sheet_stripes, &seed);
}

std::string stats_lines(int textured_quads = 2, int untextured_tris = 1)
{
    return "0\nTriangles in Map: 0\nQuads in Map: " + std::to_string(textured_quads) +
           "\nUntextured Triangles in Map: " + std::to_string(untextured_tris) + "\nUntextured Quads in Map: 0\n";
}

std::string converted_lines(const std::string& mesh, const std::string& texture)
{
    std::string converting = "Converting " + mesh + " with " + texture + "\n";
    return mesh + " > " + texture + "\n" + converting + stats_lines() + converting;
}

std::vector<std::string> sorted_names(const std::string& folder)
{
    std::vector<std::string> names = list_names(folder);
    std::sort(names.begin(), names.end());
    return names;
}

// The colour of the bottom-left pixel: the first file row's first pixel through palette 0.
std::vector<uint8_t> bottom_left(const std::vector<uint8_t>& rgb)
{
    size_t at = size_t(1023) * 768;
    return std::vector<uint8_t>(rgb.begin() + long(at), rgb.begin() + long(at) + 3);
}

}  // namespace

TEST(CommandLine, UsageHelpAndVersion)
{
    scratch_folder folder;
    const std::string usage =
        "usage: mapconv [-h] [--version] [-j N] [-C DIR] [-o DIR] [-q] [--all-palettes] [--glb] [--face-up]\n"
        "               [--preview] [--preview-size N] [--indexed-sheets] [--] [DIR/]PREFIX | DIR/FILE...\n"
        "       mapconv [-q] [-C DIR] [--keep-normals] --write-back MESH EDITED NEW\n"
        "       mapconv [-q] [-C DIR] [--palette P] [--exact-colours] --write-back SHEET PICTURE NEW --mesh MESH\n";
    program_run none = run_mapconv(folder.path, {});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "mapconv: a prefix is missing: the start of the names of the maps to convert\n" + usage);

    for (const char* asked : {"--help", "-h"}) {
        program_run help = run_mapconv(folder.path, {"map01", asked});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: mapconv [OPTIONS] [--] [DIR/]PREFIX\n", 0), 0u) << asked;
    }
    program_run version = run_mapconv(folder.path, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("mapconv ") + MAPCONV_VERSION + "\n");

    // Nothing is dropped in silence: a mistyped option, a second prefix, a bad job count.
    const struct {
        std::vector<std::string> args;
        std::string message;
    } refused[] = {
        {{"--all-palete", "map01"}, "mapconv: unknown option: --all-palete\n"},
        {{"map01", "-x"}, "mapconv: unknown option: -x\n"},
        {{"map01", "map02"}, "mapconv: one prefix only; a second was given: map02\n"},
        {{"-j", "0", "map01"}, "mapconv: -j takes a number of pairs from 1 to 1024\n"},
        {{"-j1025", "map01"}, "mapconv: -j takes a number of pairs from 1 to 1024\n"},
        {{"--jobs=x", "map01"}, "mapconv: -j takes a number of pairs from 1 to 1024\n"},
        {{"map01", "-o"}, "mapconv: -o takes a folder\n"},
    };
    for (const auto& r : refused) {
        program_run run = run_mapconv(folder.path, r.args);
        EXPECT_EQ(run.status, 2) << r.message;
        EXPECT_EQ(run.err, r.message + usage);
        EXPECT_EQ(run.out, "");
    }

    // "--" ends the options, so a prefix may look like one.
    ASSERT_EQ(write_file(folder / "--help.tex", small_sheet(0)), 0);
    ASSERT_EQ(write_file(folder / "-x.tex", small_sheet(0)), 0);
    EXPECT_EQ(run_mapconv(folder.path, {"--", "--help"}).out, "0 meshes found\n1 possible textures\n");
    EXPECT_EQ(run_mapconv(folder.path, {"-q", "--", "-x"}).status, 0);
}

TEST(CommandLine, OptionsBeforeOrAfterThePrefixInEveryForm)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "map01.msh", small_mesh(3)), 0);
    ASSERT_EQ(write_file(folder / "map01.tex", small_sheet(5)), 0);
    program_run plain = run_mapconv(folder.path, {"map01"});
    // Every short option with a value takes it attached too; -j at both ends of its range.
    for (std::vector<std::string> args : {std::vector<std::string>{"-j2", "map01", "--glb"},
                                          {"map01", "--jobs", "2", "--glb"},
                                          {"--jobs=2", "--glb", "map01"},
                                          {"-j", "1", "--glb", "map01"},
                                          {"-j1024", "--glb", "map01"},
                                          {"-C.", "--glb", "map01"},
                                          {"-o.", "--glb", "map01"}}) {
        unlink((folder / "map01.msh_map01.tex.glb").c_str());
        program_run run = run_mapconv(folder.path, args);
        EXPECT_EQ(run.status, 0) << args[0];
        EXPECT_EQ(run.out, plain.out) << args[0];
        EXPECT_TRUE(exists(folder / "map01.msh_map01.tex.glb")) << args[0];
    }
    // -o is found from where the command was typed, before -C moves the run.
    ASSERT_EQ(make_folder(folder / "in"), 0);
    ASSERT_EQ(rename((folder / "map01.msh").c_str(), (folder / "in/map01.msh").c_str()), 0);
    ASSERT_EQ(rename((folder / "map01.tex").c_str(), (folder / "in/map01.tex").c_str()), 0);
    EXPECT_EQ(run_mapconv(folder.path, {"-C", "in", "-o", "out", "map01"}).status, 0);
    EXPECT_TRUE(exists(folder / "out/map01.msh_map01.tex.obj"));
    EXPECT_FALSE(exists(folder / "in/out"));
}

TEST(CommandLine, APrefixWithAFolderAndMinusCRunThere)
{
    scratch_folder top;
    ASSERT_EQ(make_folder(top / "maps"), 0);
    ASSERT_EQ(write_file(top / "maps/map01.msh", small_mesh(3)), 0);
    ASSERT_EQ(write_file(top / "maps/map01.tex", small_sheet(5)), 0);
    program_run inside = run_mapconv(top / "maps", {"map01"});
    std::string obj = read_file(top / "maps/map01.msh_map01.tex.obj");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"maps/map01"}, {"./maps/map01"}, {top / "maps/map01"}, {"-C", "maps", "map01"}}) {
        unlink((top / "maps/map01.msh_map01.tex.obj").c_str());
        program_run run = run_mapconv(top.path, args);
        EXPECT_EQ(run.status, 0) << args[0];
        EXPECT_EQ(run.out, inside.out) << args[0];
        EXPECT_EQ(read_file(top / "maps/map01.msh_map01.tex.obj"), obj) << args[0];
    }
    EXPECT_EQ(sorted_names(top.path), (std::vector<std::string>{"maps"}));
    program_run missing = run_mapconv(top.path, {"-C", "nowhere", "map01"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "mapconv: nowhere: No such file or directory\n");

    // Files dragged onto the program (full paths): a mesh pairs with the candidates that begin
    // with its stem, a sheet with the meshes whose stem begins its name; several at once, each
    // pair once.
    ASSERT_EQ(write_file(top / "maps/map01b.tex", small_sheet(6)), 0);
    ASSERT_EQ(write_file(top / "maps/map02.msh", small_mesh(4)), 0);
    ASSERT_EQ(write_file(top / "maps/other.tex", small_sheet(7)), 0);
    auto outputs = [&] {
        std::vector<std::string> made;
        for (const std::string& name : sorted_names(top / "maps"))
            if (name.find('_') != std::string::npos) {
                made.push_back(name);
                unlink((top / ("maps/" + name)).c_str());
            }
        return made;
    };
    outputs();
    std::string mesh = top / "maps/map01.msh", sheet = top / "maps/map01.tex";
    program_run dropped_mesh = run_mapconv(top.path, {mesh});
    EXPECT_EQ(dropped_mesh.status, 0) << dropped_mesh.err;
    EXPECT_EQ(dropped_mesh.out.substr(0, 35), "1 meshes found\n2 possible textures\n");
    EXPECT_EQ(outputs(), (std::vector<std::string>{"map01.msh_map01.tex.mtl", "map01.msh_map01.tex.obj",
                                                   "map01.msh_map01b.tex.mtl", "map01.msh_map01b.tex.obj",
                                                   "map01.tex_tex_0.png", "map01b.tex_tex_0.png"}));
    program_run dropped_sheet = run_mapconv(top.path, {"-C", "/", sheet});
    EXPECT_EQ(dropped_sheet.out, inside.out);
    EXPECT_EQ(outputs(),
              (std::vector<std::string>{"map01.msh_map01.tex.mtl", "map01.msh_map01.tex.obj", "map01.tex_tex_0.png"}));
    // A mesh and a sheet dropped together make exactly their pair, once.
    program_run both = run_mapconv(top.path, {sheet, mesh, sheet});
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(both.out.find("map01.msh > map01.tex\n"), both.out.rfind("map01.msh > map01.tex\n"));
    EXPECT_EQ(outputs(),
              (std::vector<std::string>{"map01.msh_map01.tex.mtl", "map01.msh_map01.tex.obj", "map01.tex_tex_0.png"}));
    // A dropped sheet pairs with the meshes whose stem begins its name, as the prefix map01 would.
    program_run longer_sheet = run_mapconv(top.path, {top / "maps/map01b.tex"});
    EXPECT_EQ(longer_sheet.status, 0) << longer_sheet.err;
    EXPECT_EQ(outputs(), (std::vector<std::string>{"map01.msh_map01b.tex.mtl", "map01.msh_map01b.tex.obj",
                                                   "map01b.tex_tex_0.png"}));
    // Several bare names of files are files too, dropped in the current folder; one bare name
    // stays a prefix, and a second that is no file is a usage error.
    program_run named = run_mapconv(top / "maps", {"map01.msh", "map01b.tex"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(outputs(), (std::vector<std::string>{"map01.msh_map01b.tex.mtl", "map01.msh_map01b.tex.obj",
                                                   "map01b.tex_tex_0.png"}));
    EXPECT_EQ(run_mapconv(top / "maps", {"map01.msh"}).out, "1 meshes found\n0 possible textures\n");
    EXPECT_EQ(run_mapconv(top.path, {mesh, "map01"}).status, 2);
    // A dragged path that names no file is a missing file.
    program_run gone = run_mapconv(top.path, {top / "maps/gone.msh"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "mapconv: " + (top / "maps/gone.msh") + ": No such file or directory\n");
    EXPECT_TRUE(outputs().empty());
}

TEST(CommandLine, ANoteWhenThePrefixFindsNoPair)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "map01.msh", small_mesh(3)), 0);
    ASSERT_EQ(write_file(folder / "map01.tex", small_sheet(5)), 0);
    program_run typo = run_mapconv(folder.path, {"map10"});
    EXPECT_EQ(typo.status, 0);
    EXPECT_EQ(typo.out, "0 meshes found\n0 possible textures\n");
    EXPECT_EQ(typo.err, "mapconv: map10: no map mesh's name begins with this prefix\n");
    // A prefix that names a file of its own: how to convert that file.
    program_run whole = run_mapconv(folder.path, {"map01.msh"});
    EXPECT_EQ(whole.status, 0);
    EXPECT_EQ(whole.out, "1 meshes found\n0 possible textures\n");
    EXPECT_EQ(whole.err, "mapconv: map01.msh: no texture sheet candidate's name begins with this prefix, so no mesh "
                         "has one; to convert this mesh with its sheets, give it with its folder (./map01.msh), or "
                         "the prefix map01\n");
    program_run sheet = run_mapconv(folder.path, {"map01.tex"});
    EXPECT_EQ(sheet.status, 0);
    EXPECT_EQ(sheet.out, "0 meshes found\n1 possible textures\n");
    EXPECT_EQ(sheet.err, "mapconv: map01.tex: no map mesh's name begins with this prefix; to convert this sheet with "
                         "its meshes, give it with its folder (./map01.tex), or the prefix map01\n");
}

TEST(CommandLine, OutputFolderAndQuiet)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "map01.msh", small_mesh(3)), 0);
    ASSERT_EQ(write_file(folder / "map01.tex", small_sheet(5)), 0);
    ASSERT_EQ(write_file(folder / "map01.bad", "short"), 0);
    program_run here = run_mapconv(folder.path, {"map01"});
    std::vector<std::string> outputs = {"map01.msh_map01.tex.mtl", "map01.msh_map01.tex.obj", "map01.tex_tex_0.png"};
    std::map<std::string, std::string> written;
    for (const std::string& name : outputs) {
        written[name] = read_file(folder / name);
        unlink((folder / name).c_str());
    }
    // The outputs go to the folder named, made with the folders above it; the inputs' folder is
    // only read; the names inside the files stay bare, as the files stay together.
    for (const char* out : {"out/a/b", "--output-dir=out2"}) {
        std::vector<std::string> args = {"map01"};
        std::string target = out;
        if (target.rfind("--", 0) == 0) {
            args.push_back(target);
            target = "out2";
        } else {
            args.insert(args.begin(), {"-o", target});
        }
        program_run run = run_mapconv(folder.path, args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, here.out);
        EXPECT_EQ(sorted_names(folder / target), outputs);
        for (const std::string& name : outputs)
            EXPECT_EQ(read_file(folder / (target + "/" + name)), written[name]) << name;
    }
    EXPECT_EQ(sorted_names(folder.path),
              (std::vector<std::string>{"map01.bad", "map01.msh", "map01.tex", "out", "out2"}));

    // A run never takes its own output folder, nor "." and "..", for an input: a folder whose
    // pairs all convert reports success, with a prefix or without.
    scratch_folder whole;
    ASSERT_EQ(write_file(whole / "map01.msh", small_mesh(3)), 0);
    ASSERT_EQ(write_file(whole / "map01.tex", small_sheet(5)), 0);
    for (std::vector<std::string> args :
         {std::vector<std::string>{""}, std::vector<std::string>{whole.path + "/"},
          std::vector<std::string>{"-o", "map01_out", "map01"}, std::vector<std::string>{"-o", "map01_out", ""}}) {
        program_run run = run_mapconv(whole.path, args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out.substr(0, 34), "1 meshes found\n1 possible textures") << run.out;
    }

    // Quiet: no progress lines; the errors, and how many pairs failed.
    program_run quiet = run_mapconv(folder.path, {"-q", "map01"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, here.err + "mapconv: 1 of 2 pairs failed\n");
}

TEST(Scan, PrefixAndExtensionRules)
{
    scratch_folder folder;
    const char* texture_like[] = {"map01.bin", "map",     "map.OBJ", "map.objx", "Map01.bin", "ma",
                                  "mapobj",    "map.png", "map.mtl", "map.gns",  "map_x.obj"};
    for (const char* name : texture_like)
        ASSERT_EQ(write_file(folder / name, "short"), 0);
    program_run run = run_mapconv(folder.path, {"map"});
    // map01.bin, map, map.OBJ and map.objx pass; the rest fail the prefix or end in an output's letters.
    EXPECT_EQ(run.out, "0 meshes found\n4 possible textures\n");
    EXPECT_EQ(run.status, 0);

    scratch_folder whole;
    ASSERT_EQ(write_file(whole / "png", "short"), 0);
    EXPECT_EQ(run_mapconv(whole.path, {"p"}).out, "0 meshes found\n0 possible textures\n");
}

TEST(Scan, OnlyTheByteAtOffset64MakesAMesh)
{
    scratch_folder folder;
    std::string header(65, '\0');
    header[64] = '\xC4';
    ASSERT_EQ(write_file(folder / "m65", header), 0);                   // 65 bytes: a mesh here
    ASSERT_EQ(write_file(folder / "m64", std::string(64, '\xC4')), 0);  // no byte at 64
    std::string other = header + "\x01\x02\x03";
    ASSERT_EQ(write_file(folder / "m68", other), 0);  // upper bytes ignored
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.out.substr(0, 35), "2 meshes found\n1 possible textures\n");
}

TEST(Pairing, MeshOuterTextureInnerInListingOrder)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh(1)), 0);
    ASSERT_EQ(write_file(folder / "mB", small_mesh(2)), 0);
    for (const char* t : {"mx", "my", "mz"})
        ASSERT_EQ(write_file(folder / t, small_sheet(t[1])), 0);
    std::vector<std::string> meshes, textures;
    for (const std::string& name : list_names(folder.path))
        (name == "mA" || name == "mB" ? meshes : textures).push_back(name);

    program_run run = run_mapconv(folder.path, {"m"});
    std::string expected = "2 meshes found\n3 possible textures\n";
    for (const std::string& mesh : meshes)
        for (const std::string& texture : textures)
            expected += converted_lines(mesh, texture);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(list_names(folder.path).size(), 5u + 3 + 6 + 6);
}

TEST(Pairing, LastMeshPaintsASharedSheet)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh(1)), 0);
    ASSERT_EQ(write_file(folder / "mB", small_mesh(6)), 0);
    ASSERT_EQ(write_file(folder / "mt", small_sheet(0)), 0);
    std::string last_mesh;
    for (const std::string& name : list_names(folder.path))
        if (name != "mt")
            last_mesh = name;
    ASSERT_EQ(run_mapconv(folder.path, {"m"}).status, 0);
    // Colour 0 of palette 0 is (0, tint * 5, 31) scaled to 8 bits.
    int tint = last_mesh == "mA" ? 1 : 6;
    std::vector<uint8_t> expected = {0, uint8_t((tint * 5) * 255 / 32), 247};
    EXPECT_EQ(bottom_left(png_pixels(folder / "mt_tex_0.png")), expected);
    EXPECT_EQ(read_file(folder / "mA_mt.mtl"), read_file(folder / "mB_mt.mtl"));
}

TEST(Pairing, WritesTheThreeFilesOfAPair)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "map01.msh", small_mesh(3)), 0);
    ASSERT_EQ(write_file(folder / "map01.tex", small_sheet(5)), 0);
    program_run run = run_mapconv(folder.path, {"map01"});
    EXPECT_EQ(run.out, "1 meshes found\n1 possible textures\n" + converted_lines("map01.msh", "map01.tex"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(sorted_names(folder.path),
              (std::vector<std::string>{"map01.msh", "map01.msh_map01.tex.mtl", "map01.msh_map01.tex.obj", "map01.tex",
                                        "map01.tex_tex_0.png"}));
    std::string obj = read_file(folder / "map01.msh_map01.tex.obj");
    EXPECT_EQ(obj.rfind("mtllib map01.msh_map01.tex.mtl\no terrain\nv ", 0), 0u);
    EXPECT_EQ(std::count(obj.begin(), obj.end(), '\n'), 5 + 10 * 4 + 4 * 1);
    std::string mtl = read_file(folder / "map01.msh_map01.tex.mtl");
    EXPECT_EQ(mtl.substr(mtl.size() - 27), "map_Kd map01.tex_tex_0.png\n");
    EXPECT_EQ(png_pixels(folder / "map01.tex_tex_0.png").size(), 256u * 1024 * 3);

    // A second run ignores the outputs of the first and writes the same files again.
    std::string png = read_file(folder / "map01.tex_tex_0.png");
    EXPECT_EQ(run_mapconv(folder.path, {"map01"}).out, run.out);
    EXPECT_EQ(read_file(folder / "map01.tex_tex_0.png"), png);
    EXPECT_EQ(read_file(folder / "map01.msh_map01.tex.obj"), obj);
}

TEST(Pairing, RejectedMeshesWriteNothingAndFailTheRun)
{
    scratch_folder folder;
    written_mesh wrong_offset = empty_mesh();
    wrong_offset.untex_tris.push_back(written_polygon{});
    wrong_offset.block_offset = 0x1C4;
    ASSERT_EQ(write_file(folder / "mbad", write_map_mesh(wrong_offset)), 0);
    ASSERT_EQ(write_file(folder / "mzero", write_map_mesh(empty_mesh())), 0);
    ASSERT_EQ(write_file(folder / "mt", small_sheet(1)), 0);
    program_run run = run_mapconv(folder.path, {"m"});
    std::string expected = "2 meshes found\n1 possible textures\n";
    for (const std::string& name : list_names(folder.path)) {
        if (name == "mbad")
            expected += "mbad > mt\nConverting mbad with mt\nNot a mesh file.\n";
        if (name == "mzero")
            expected += "mzero > mt\nConverting mzero with mt\n0\nNot a mesh file.\n";
    }
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(list_names(folder.path).size(), 3u);
}

TEST(Pairing, SheetsThatCannotBeReadFailTheirPairOnly)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "m1", small_mesh(1)), 0);
    ASSERT_EQ(write_file(folder / "m2short", std::string(131071, '\x11')), 0);
    ASSERT_EQ(make_folder(folder / "m3dir"), 0);
#if !defined(_WIN32)
    ASSERT_EQ(mkfifo((folder / "m4pipe").c_str(), 0644), 0);
#else
    ASSERT_EQ(make_folder(folder / "m4pipe"), 0);  // Windows has no named pipes in a folder
#endif
    program_run run = run_mapconv(folder.path, {"m"}, 0, 20);
    ASSERT_FALSE(run.timed_out);
    std::string converting;
    std::string expected_scan, expected_pairs;
    for (const std::string& name : list_names(folder.path)) {
        if (name == "m1")
            continue;
        std::string head = "m1 > " + name + "\nConverting m1 with " + name + "\n" + stats_lines() +
                           "Converting m1 with " + name + "\n";
        if (name == "m2short") {
            expected_pairs += head + "Not a texture file.\n";
        } else {
            expected_scan += "Error opening " + name + "\n";
            expected_pairs += head + "Error opening " + name + "\n";
        }
    }
    EXPECT_EQ(run.out, expected_scan + "1 meshes found\n3 possible textures\n" + expected_pairs);
    EXPECT_NE(run.err.find("mapconv: m2short: not a texture sheet (131071 bytes; a sheet has 131,072)\n"),
              std::string::npos);
    EXPECT_NE(run.err.find("mapconv: m3dir: Is a directory\n"), std::string::npos);
#if !defined(_WIN32)
    EXPECT_NE(run.err.find("mapconv: m4pipe: Not a regular file\n"), std::string::npos);
#endif
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(list_names(folder.path).size(), 4u);
}

TEST(Pairing, EmptyPrefixMeetsDotAndDotDot)
{
    scratch_folder folder;
    program_run run = run_mapconv(folder.path, {""});
    // The listing delivers "." and ".."; they are no entries of the user's, so never candidates.
    EXPECT_EQ(run.out, "0 meshes found\n0 possible textures\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Pairing, AnUnwritablePngEndsTheRun)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mA", small_mesh(1)), 0);
    ASSERT_EQ(write_file(folder / "mB", small_mesh(2)), 0);
    ASSERT_EQ(write_file(folder / "mt", small_sheet(1)), 0);
    ASSERT_EQ(make_folder(folder / "mt_tex_0.png"), 0);
    std::vector<std::string> meshes;
    for (const std::string& name : list_names(folder.path))
        if (name == "mA" || name == "mB")
            meshes.push_back(name);
    program_run run = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, "2 meshes found\n1 possible textures\n" + converted_lines(meshes[0], "mt"));
    EXPECT_EQ(run.err, "mapconv: mt_tex_0.png: Is a directory\n");
    EXPECT_EQ(sorted_names(folder.path), (std::vector<std::string>{"mA", "mB", "mt", "mt_tex_0.png"}));
    // Quiet, the count of failed pairs includes those the stop left unconverted.
    program_run quiet = run_mapconv(folder.path, {"-q", "m"});
    EXPECT_EQ(quiet.status, 255);
    EXPECT_EQ(quiet.err, "mapconv: mt_tex_0.png: Is a directory\nmapconv: 2 of 2 pairs failed\n");
}

TEST(Pairing, AFullDiskFailsThePairAndLeavesNoPartialFile)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no file-size limit (RLIMIT_FSIZE) to simulate a full disk with";
#else
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "mq", small_mesh(1, 2000)), 0);        // an OBJ of about 500 KB
    ASSERT_EQ(write_file(folder / "mt", std::string(131072, '\0')), 0);  // a PNG of about 1 KB
    ASSERT_EQ(write_file(folder / "mq_mt.obj", "earlier"), 0);
    program_run run = run_mapconv(folder.path, {"m"}, 200000);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mapconv: mq_mt.obj: File too large\n");
    EXPECT_EQ(read_file(folder / "mq_mt.obj"), "earlier");
    // All of a pair or none of it: its sheet is not put in place either.
    EXPECT_FALSE(exists(folder / "mq_mt.mtl"));
    EXPECT_FALSE(exists(folder / "mt_tex_0.png"));
    EXPECT_EQ(list_names(folder.path).size(), 3u);  // no temporary left behind
#endif
}

TEST(Importers, TinyObjLoaderReadsTheFilesCleanly)
{
    // Names with blanks are written unchanged, but OBJ readers split "mtllib" at blanks: keep them out.
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "map_1.msh", small_mesh(2, 5, 3)), 0);
    ASSERT_EQ(write_file(folder / "map_1.tex", small_sheet(2)), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"map"}).status, 0);

    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warning, error;
    ASSERT_TRUE(tinyobj::LoadObj(&attrib, &shapes, &materials, &warning, &error,
                                 (folder / "map_1.msh_map_1.tex.obj").c_str(), (folder.path + "/").c_str()));
    EXPECT_EQ(warning, "");
    EXPECT_EQ(error, "");
    ASSERT_EQ(materials.size(), 1u);
    EXPECT_EQ(materials[0].name, "blah");
    EXPECT_EQ(materials[0].diffuse_texname, "map_1.tex_tex_0.png");
    EXPECT_TRUE(exists(folder / materials[0].diffuse_texname));
    size_t faces = 0;
    for (const tinyobj::shape_t& shape : shapes) {
        faces += shape.mesh.num_face_vertices.size();
        for (const tinyobj::index_t& i : shape.mesh.indices) {
            EXPECT_GE(i.vertex_index, 0);
            EXPECT_LT(size_t(i.vertex_index) * 3, attrib.vertices.size());
            EXPECT_LT(size_t(i.normal_index + 1) * 3, attrib.normals.size() + 3);
            EXPECT_LT(size_t(i.texcoord_index + 1) * 2, attrib.texcoords.size() + 2);
        }
    }
    EXPECT_EQ(faces, 10u + 3u);
}

TEST(EndToEnd, TwoMeshesTwoSheetsEveryByte)
{
    scratch_folder folder;
    // Mesh e1: one textured triangle on page 1 and one untextured triangle. Mesh e2: one textured
    // quad on page 0, nothing untextured. Their palettes 0 differ.
    written_mesh one = empty_mesh(), two = empty_mesh();
    written_polygon tri = {};
    tri.position[0] = {100, 200, 300};
    tri.position[1] = {-5, 0, 7};
    tri.position[2] = {0, -1, 0};
    tri.normal[0] = {0, -100, 0};
    tri.normal[1] = {100, 0, 0};
    tri.normal[2] = {0, 0, 100};
    tri.uv[0] = {0, 0};
    tri.uv[1] = {128, 255};
    tri.uv[2] = {255, 8};
    tri.page_byte = 1;
    one.tex_tris.push_back(tri);
    written_polygon wall = {};
    wall.position[0] = {1, 2, 3};
    wall.position[1] = {4, 5, 6};
    wall.position[2] = {7, 8, 9};
    one.untex_tris.push_back(wall);
    written_polygon quad = tri;
    quad.position[3] = {50, 50, 50};
    quad.normal[3] = {0, -100, 0};
    quad.uv[3] = {64, 64};
    quad.page_byte = 0;
    two.tex_quads.push_back(quad);
    for (int c = 0; c < 16; c++) {
        one.palette_words[c] = colour_word(c, 0, 31 - c);
        two.palette_words[c] = colour_word(0, c * 2, 1);
    }
    ASSERT_EQ(write_file(folder / "e1", write_map_mesh(one)), 0);
    ASSERT_EQ(write_file(folder / "e2", write_map_mesh(two)), 0);
    std::string sheet_a(131072, '\0'), sheet_b(131072, '\0');
    for (int i = 0; i < 131072; i++) {
        sheet_a[size_t(i)] = char(i % 251);
        sheet_b[size_t(i)] = char((i / 128) * 17);
    }
    ASSERT_EQ(write_file(folder / "ea", sheet_a), 0);
    ASSERT_EQ(write_file(folder / "eb", sheet_b), 0);

    std::vector<std::string> meshes, sheets;
    for (const std::string& name : list_names(folder.path))
        (name[1] == 'a' || name[1] == 'b' ? sheets : meshes).push_back(name);
    program_run run = run_mapconv(folder.path, {"e"});

    std::string expected_out = "2 meshes found\n2 possible textures\n";
    for (const std::string& m : meshes)
        for (const std::string& t : sheets) {
            std::string converting = "Converting " + m + " with " + t + "\n";
            std::string stats = m == "e1" ? "0\nTriangles in Map: 1\nQuads in Map: 0\nUntextured Triangles in Map: 1\n"
                                            "Untextured Quads in Map: 0\n"
                                          : "0\nTriangles in Map: 0\nQuads in Map: 1\nUntextured Triangles in Map: 0\n"
                                            "Untextured Quads in Map: 0\n";
            expected_out += m + " > " + t + "\n" + converting + stats + converting;
        }
    EXPECT_EQ(run.out, expected_out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(
        sorted_names(folder.path),
        (std::vector<std::string>{"e1", "e1_ea.mtl", "e1_ea.obj", "e1_eb.mtl", "e1_eb.obj", "e2", "e2_ea.mtl",
                                  "e2_ea.obj", "e2_eb.mtl", "e2_eb.obj", "ea", "ea_tex_0.png", "eb", "eb_tex_0.png"}));

    const std::string obj_one = "o terrain\n"
                                "v 1.000000 -2.000000 3.000000\n"
                                "v -0.050000 0.000000 0.070000\n"
                                "v 0.000000 0.010000 0.000000\n"
                                "vn 0.000000 1.000000 0.000000\n"
                                "vn 1.000000 0.000000 0.000000\n"
                                "vn 0.000000 0.000000 1.000000\n"
                                "vt 0.000000 0.250000 \n"
                                "vt 0.500000 0.499023 \n"
                                "vt 0.996094 0.257812 \n"
                                "g tex\n"
                                "usemtl blah\n"
                                "f 1/1/1 2/2/2 3/3/3 \n"
                                "o skirt\n"
                                "v 0.010000 -0.020000 0.030000\n"
                                "v 0.040000 -0.050000 0.060000\n"
                                "v 0.070000 -0.080000 0.090000\n"
                                "f 4 5 6 \n";
    // The quad A B C D becomes (A, B, C) and (B, D, C).
    const std::string obj_two = "o terrain\n"
                                "v 1.000000 -2.000000 3.000000\n"
                                "v -0.050000 0.000000 0.070000\n"
                                "v 0.000000 0.010000 0.000000\n"
                                "v -0.050000 0.000000 0.070000\n"
                                "v 0.500000 -0.500000 0.500000\n"
                                "v 0.000000 0.010000 0.000000\n"
                                "vn 0.000000 1.000000 0.000000\n"
                                "vn 1.000000 0.000000 0.000000\n"
                                "vn 0.000000 0.000000 1.000000\n"
                                "vn 1.000000 0.000000 0.000000\n"
                                "vn 0.000000 1.000000 0.000000\n"
                                "vn 0.000000 0.000000 1.000000\n"
                                "vt 0.000000 0.000000 \n"
                                "vt 0.500000 0.249023 \n"
                                "vt 0.996094 0.007812 \n"
                                "vt 0.500000 0.249023 \n"
                                "vt 0.250000 0.062500 \n"
                                "vt 0.996094 0.007812 \n"
                                "g tex\n"
                                "usemtl blah\n"
                                "f 1/1/1 2/2/2 3/3/3 \n"
                                "f 4/4/4 5/5/5 6/6/6 \n"
                                "o skirt\n";
    const std::string material =
        "newmtl blah\nNs 100.000\nd 1.00000\nillum 2\nKd 1.00000 1.00000 1.00000\nKa 1.00000 1.00000 1.00000\n"
        "Ks 1.00000 1.00000 1.00000\nKe 0.00000 0.00000 0.00000\nmap_Kd ";
    for (const char* m : {"e1", "e2"})
        for (const char* t : {"ea", "eb"}) {
            std::string pair = std::string(m) + "_" + t;
            EXPECT_EQ(read_file(folder / (pair + ".obj")),
                      "mtllib " + pair + ".mtl\n" + (m[1] == '1' ? obj_one : obj_two))
                << pair;
            EXPECT_EQ(read_file(folder / (pair + ".mtl")), material + t + "_tex_0.png\n") << pair;
        }

    // Each sheet holds the last mesh's palette 0: high nibble left, file row k at image row 1023 - k.
    const written_mesh& last = meshes.back() == "e1" ? one : two;
    for (const char* t : {"ea", "eb"}) {
        const std::string& bytes = t[1] == 'a' ? sheet_a : sheet_b;
        std::vector<uint8_t> expected(size_t(256) * 1024 * 3);
        for (int k = 0; k < 1024; k++)
            for (int x = 0; x < 256; x++) {
                uint8_t b = uint8_t(bytes[size_t(k) * 128 + size_t(x / 2)]);
                uint16_t w = last.palette_words[x % 2 == 0 ? b >> 4 : b & 15];
                uint8_t* px = &expected[(size_t(1023 - k) * 256 + size_t(x)) * 3];
                px[0] = uint8_t((w & 31) * 255 / 32);
                px[1] = uint8_t((w >> 5 & 31) * 255 / 32);
                px[2] = uint8_t((w >> 10 & 31) * 255 / 32);
            }
        EXPECT_TRUE(png_pixels(folder / (std::string(t) + "_tex_0.png")) == expected) << t;
    }
}
