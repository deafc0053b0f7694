// Files that other editors export again come back: a map edited in its own bytes is converted, the
// OBJ or .glb goes through assimp, three.js (its loaders and exporters, in Chromium) or
// gltf-transform, and --write-back into the original mesh must give the edited bytes exactly. Where
// a tool cannot be had the test skips and says why, except in CI.
#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "map_writer.h"
#include "run_program.h"
#include "test_maps.h"

namespace {

int stripes(int x, int y, void*)
{
    return (x / 8 + y / 8) % 16;
}

// The hill map, and a copy edited as a modder would: a quad's corner A moved up, a triangle's
// texture coordinate moved within its page, a skirt quad's corner D moved; with palettes, a
// triangle given another palette (a file with one material cannot tell palettes).
struct hill_edit {
    std::string original, edited;
};

hill_edit edit_of_hill(bool reverse_corners, bool new_palette)
{
    written_mesh m = hill_mesh(reverse_corners);
    // Palettes of colours of their own, as a real map's are (tools merge materials that look alike).
    for (int i = 0; i < 256; i++)
        m.palette_words[i] = colour_word(i * 7, i * 13 + 5, i * 3 + i / 16);
    hill_edit e;
    e.original = write_map_mesh(m);
    m.tex_quads[2].position[0].y = int16_t(m.tex_quads[2].position[0].y - 30);
    m.tex_tris[1].uv[2].u = uint8_t(m.tex_tris[1].uv[2].u ^ 5);
    m.untex_quads[1].position[3].x = int16_t(m.untex_quads[1].position[3].x + 20);
    if (new_palette)
        m.tex_tris[3].palette_byte = uint8_t((m.tex_tris[3].palette_byte + 5) % 16);
    e.edited = write_map_mesh(m);
    return e;
}

// Runs a command; returns its status and puts what it printed into *out.
int run_command(const std::string& command, std::string* out)
{
    out->clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out->append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool in_ci()
{
    const char* ci = getenv("CI");
    return ci && *ci;
}

const std::string render = std::string(MAPCONV_SOURCE_DIR) + "/tools/render";

// One way through an editor: a command that exports IN as OUT (the files' paths follow it).
struct export_run {
    const char* what;
    const char* input;  // "obj" or "glb"
    const char* output;
    std::string command;
    const char* refusal;  // "": comes back; else what the write-back must say
};

// Converts the edit of the hill with options, puts each file through its export, and writes each
// back into the original mesh.
void check_exports(const std::vector<std::string>& options, bool new_palette, const std::vector<export_run>& runs)
{
    for (bool reverse : {false, true}) {
        SCOPED_TRACE(std::string(reverse ? "clockwise" : "counter-clockwise") +
                     " hill, options:" + (options.empty() ? std::string(" none") : " " + options[0]));
        hill_edit e = edit_of_hill(reverse, new_palette);
        scratch_folder folder;
        ASSERT_EQ(write_file(folder / "original.msh", e.original), 0);
        std::string said;
        ASSERT_EQ(run_command("mkdir '" + folder.path + "/edit'", &said), 0);
        ASSERT_EQ(write_file(folder / "edit/m.msh", e.edited), 0);
        ASSERT_EQ(write_file(folder / "edit/m.tex", write_texture(stripes, nullptr)), 0);
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("m");
        ASSERT_EQ(run_mapconv(folder / "edit", args).status, 0);
        for (const export_run& r : runs) {
            SCOPED_TRACE(r.what);
            std::string in = folder / (std::string("edit/m.msh_m.tex.") + r.input), out = folder / r.output;
            ASSERT_EQ(run_command(r.command + " '" + in + "' '" + out + "'", &said), 0) << said;
            program_run back = run_mapconv(folder.path, {"-q", "--write-back", "original.msh", r.output, "new.msh"});
            if (*r.refusal) {
                EXPECT_EQ(back.status, 1);
                EXPECT_NE(back.err.find(r.refusal), std::string::npos) << back.err;
                continue;
            }
            EXPECT_EQ(back.status, 0) << back.err;
            EXPECT_TRUE(read_file(folder / "new.msh") == e.edited) << "not the edited map's bytes";
        }
    }
}

}  // namespace

TEST(Editors, AssimpExportsComeBack)
{
    std::string said;
    if (run_command("assimp version", &said) != 0) {
        ASSERT_FALSE(in_ci()) << "assimp is missing (Debian's assimp-utils)";
        GTEST_SKIP() << "assimp is missing: apt-get install assimp-utils";
    }
    // OBJ to OBJ (groups, no objects), OBJ to .glb, .glb to .glb and .glb to OBJ.
    std::string to_glb = "f() { assimp export \"$1\" \"$2\" -fglb2; }; f";
    std::vector<export_run> runs = {{"OBJ to OBJ", "obj", "a.obj", "assimp export", ""},
                                    {"OBJ to glTF binary", "obj", "a.glb", to_glb, ""},
                                    {"glTF binary to glTF binary", "glb", "b.glb", to_glb, ""},
                                    {"glTF binary to OBJ", "glb", "b.obj", "assimp export", ""}};
    check_exports({"--glb"}, false, runs);
    check_exports({"--glb", "--all-palettes"}, true, runs);
}

TEST(Editors, ThreeJsExportsComeBack)
{
    std::string said;
    bool ready = run_command("node --version", &said) == 0 && run_command("test -x /usr/bin/chromium", &said) == 0 &&
                 run_command("test -f '" + render + "/node_modules/three/package.json'", &said) == 0;
    if (!ready) {
        ASSERT_FALSE(in_ci()) << "Node.js, Chromium or three.js is missing";
        GTEST_SKIP() << "Node.js, Chromium or three.js (npm, tools/render) is missing: scripts/setup.sh tests";
    }
    std::string exporter = "node '" + render + "/export.js'";
    // three.js's OBJ exporter names the terrain after its group (tex) and drops the palettes'
    // materials; its glTF exporter makes the terrain a node of one child per palette.
    std::vector<export_run> runs = {{"OBJLoader and OBJExporter", "obj", "t.obj", exporter + " obj", ""},
                                    {"GLTFLoader and GLTFExporter", "glb", "t.glb", exporter + " glb", ""}};
    check_exports({"--glb"}, false, runs);
    check_exports({"--glb", "--all-palettes"}, false, runs);
}

TEST(Editors, GltfTransformKeepsTheMap)
{
    std::string tool = render + "/node_modules/.bin/gltf-transform", said;
    if (run_command("node --version", &said) != 0 || run_command("test -x '" + tool + "'", &said) != 0) {
        ASSERT_FALSE(in_ci()) << "Node.js or gltf-transform is missing";
        GTEST_SKIP() << "Node.js or gltf-transform (npm, tools/render) is missing: scripts/setup.sh tests";
    }
    auto op = [&](const char* what) { return "'" + tool + "' " + what; };
    auto last = [&](const char* what, const char* options) {
        return "f() { '" + tool + "' " + what + " \"$1\" \"$2\" " + options + "; }; f";
    };
    std::vector<export_run> runs = {
        {"weld", "glb", "w.glb", op("weld"), ""},
        {"dedup", "glb", "d.glb", op("dedup"), ""},
        {"join", "glb", "j.glb", op("join"), ""},
        {"flatten", "glb", "f.glb", op("flatten"), ""},
        {"optimize without simplifying or compressing", "glb", "o.glb",
         last("optimize", "--simplify false --compress false"), ""},
        {"optimize, compressed as it is by default", "glb", "c.glb", last("optimize", "--simplify false"),
         "compressed (EXT_meshopt_compression): export it again without compression"},
        {"quantize", "glb", "q.glb", op("quantize"), "quantized (KHR_mesh_quantization)"},
    };
    check_exports({"--glb", "--all-palettes"}, true, runs);
}

TEST(Editors, ImageMagickRepaintsComeBackAsTheirBytesAlone)
{
    // Debian's ImageMagick, by the name its package gives it first: a "convert" earlier on the PATH
    // may be something else.
    std::string convert, said;
    for (const char* name : {"convert-im6.q16", "/usr/bin/convert", "convert"})
        if (run_command(std::string(name) + " -version", &said) == 0 && said.find("ImageMagick") != std::string::npos) {
            convert = name;
            break;
        }
    if (convert.empty()) {
        ASSERT_FALSE(in_ci()) << "ImageMagick is missing (Debian's imagemagick)";
        GTEST_SKIP() << "ImageMagick is missing: apt-get install imagemagick";
    }
    scratch_folder folder;
    written_mesh m = hill_mesh(false);
    ASSERT_EQ(write_file(folder / "h.msh", write_map_mesh(m)), 0);
    ASSERT_EQ(write_file(folder / "h.tex",
                         write_texture([](int x, int y, void*) { return (x / 8 + y / 16 * 3) % 16; }, nullptr)),
              0);
    ASSERT_EQ(run_mapconv(folder.path, {"-q", "--all-palettes", "h"}).status, 0);
    std::string sheet = read_file(folder / "h.tex");
    // A rectangle of pixels x 10-30, y 20-40 (the picture's rows from the top) painted with the
    // palette's colour 5 and with a colour the palette lacks, saved as RGB and as a palette PNG.
    const int x0 = 10, x1 = 30, y0 = 20, y1 = 40;
    for (const char* form : {"PNG24", "PNG8"})
        for (const char* fill : {"palette", "other"}) {
            std::string picture = folder / "h.tex_tex_0.png";
            std::string colour = "#123456";
            if (std::string(fill) == "palette") {
                // The colour of index 5: the pixel at the sheet's first byte whose high nibble is 5.
                std::string pixel;
                std::string info;
                for (size_t i = 0; i < sheet.size() && pixel.empty(); i++)
                    if ((uint8_t(sheet[i]) >> 4) == 5)
                        pixel = std::to_string(i % 128 * 2) + "," + std::to_string(1023 - i / 128);
                ASSERT_FALSE(pixel.empty());
                ASSERT_EQ(run_command(convert + " " + picture + " -format '%[hex:p{" + pixel + "}]' info:", &info), 0)
                    << info;
                colour = "#" + info.substr(0, 6);
            }
            std::string command = convert + " " + picture + " -fill '" + colour + "' -draw 'rectangle " +
                                  std::to_string(x0) + "," + std::to_string(y0) + " " + std::to_string(x1) + "," +
                                  std::to_string(y1) + "' " + form + ":" + (folder / "edit_tex_0.png");
            ASSERT_EQ(run_command(command, &said), 0) << said;
            program_run back =
                run_mapconv(folder.path, {"--write-back", "h.tex", "edit_tex_0.png", "new.tex", "--mesh", "h.msh"});
            ASSERT_EQ(back.status, 0) << form << " " << fill << ": " << back.err;
            std::string repainted = read_file(folder / "new.tex");
            ASSERT_EQ(repainted.size(), sheet.size());
            size_t inside = 0;
            for (size_t i = 0; i < sheet.size(); i++) {
                int row = 1023 - int(i / 128), left = int(i % 128) * 2;
                bool in_rectangle = row >= y0 && row <= y1 && left + 1 >= x0 && left <= x1;
                if (!in_rectangle) {
                    ASSERT_EQ(repainted[i], sheet[i]) << form << " " << fill << ": byte " << i << " changed";
                }
                inside += in_rectangle && repainted[i] != sheet[i];
            }
            EXPECT_GT(inside, 0u) << form << " " << fill;
            // The palette's own colour is found in it; the other goes to its nearest.
            bool none_nearest = back.out.find(", 0 to the nearest") != std::string::npos;
            EXPECT_EQ(none_nearest, std::string(fill) == "palette") << back.out;
        }
}
