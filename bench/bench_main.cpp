// Times whole conversions against the floor a converter cannot beat: a separate process that reads
// each pair's inputs, decodes the sheet, encodes the PNG with libpng's defaults and writes every
// output's bytes once, the OBJ text given. Runs both alternating, so a noisy machine shifts both
// alike; prints medians, spread and ratios, and as references the same floor in this process with
// the inputs decoded beforehand.
//
// usage: mapconv_bench [--reps N] [--mapconv PATH] [--make-only FOLDER]
// --make-only writes the benchmark's folders A and B into FOLDER and stops, for profiling.
// (--floor FOLDER SCRATCH MESHES SHEETS PREALLOCATE is the floor's own process, which the
// benchmark starts.)
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "map_writer.h"
#include "mesh/read_map_mesh.h"
#include "preview/draw_preview.h"
#include "preview/encode_preview.h"
#include "texture/export_texture.h"
#include "wavefront/wavefront.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

uint32_t hash(uint32_t x, uint32_t y, uint32_t seed)
{
    uint32_t h = x * 374761393u + y * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Terrain-like sheets: each page a different mix of tiles, noise and bands.
int structured_sheet(int x, int y, void* context)
{
    uint32_t seed = *static_cast<uint32_t*>(context);
    int page = y / 256, v = y % 256;
    switch ((page + seed) % 4) {
    case 0:
        return 2 + int(hash(x, y, seed) % 3) + ((x + v / 3) % 11 == 0 ? 3 : 0);
    case 1:
        return (v % 32 < 2 || (x + (v / 32 % 2) * 16) % 32 < 2) ? 1 : 8 + int(hash(x / 4, v / 4, seed) % 3);
    case 2:
        return 11 + int(2.0 + 1.9 * std::sin(x * 0.12 + std::sin(v * 0.05) * 3.0));
    default:
        return ((x / 32 + v / 32) % 2 ? 6 : 7) + (hash(x, y, seed) % 9 == 0 ? 1 : 0);
    }
}

// A hilly grid: `quads` textured quads and `tris` textured triangles, plus untextured walls.
std::string terrain_mesh(int quads, int tris, int untextured_quads, int palette_seed)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 256; i++)
        m.palette_words[i] = colour_word(i * 3 + palette_seed, i * 5 + palette_seed * 7, i * 7 + 3);
    int side = int(std::sqrt(double(quads + tris))) + 1;
    auto corner = [&](int i, int j) {
        double h = 3.0 * std::sin(i * 0.21 + palette_seed) * std::cos(j * 0.17);
        return corner_vector{int16_t((i - side / 2) * 150), int16_t(-h * 100), int16_t((j - side / 2) * 150)};
    };
    for (int k = 0; k < quads + tris; k++) {
        int i = k % side, j = k / side;
        written_polygon p = {};
        // Corners in the order that turns counter-clockwise around the upward normals.
        int at[4][2] = {{i, j}, {i, j + 1}, {i + 1, j}, {i + 1, j + 1}};
        for (int c = 0; c < 4; c++) {
            p.position[c] = corner(at[c][0], at[c][1]);
            p.normal[c] = corner_vector{int16_t(c * 7 - 10), -98, int16_t(c * 5 - 8)};
            p.uv[c] = corner_uv{uint8_t((i % 4) * 64 + (c & 1) * 63), uint8_t((j % 4) * 64 + (c >> 1) * 63)};
        }
        p.page_byte = uint8_t((i / 8 + j / 8) & 3);
        p.palette_byte = uint8_t(k % 3);
        (k < quads ? m.tex_quads : m.tex_tris).push_back(p);
    }
    for (int k = 0; k < untextured_quads; k++) {
        written_polygon w = {};
        w.position[0] = corner(k, 0);
        w.position[1] = corner(k + 1, 0);
        w.position[2] = corner_vector{w.position[0].x, 500, w.position[0].z};
        w.position[3] = corner_vector{w.position[1].x, 500, w.position[1].z};
        m.untex_quads.push_back(w);
    }
    return write_map_mesh(m);
}

struct folder_spec {
    std::string name;
    std::string path;
    std::vector<std::string> meshes, sheets;
};

folder_spec make_folder(const std::string& root, const std::string& name, int maps, int quads, int tris,
                        int untextured_quads, int sheets)
{
    folder_spec f;
    f.name = name;
    f.path = root + "/" + name;
    std::filesystem::create_directories(f.path);
    for (int i = 0; i < maps; i++) {
        std::string mesh = "map" + std::to_string(i) + ".msh";
        write_file(f.path + "/" + mesh, terrain_mesh(quads, tris, untextured_quads, i + 1));
        f.meshes.push_back(mesh);
    }
    for (uint32_t i = 0; i < uint32_t(sheets); i++) {
        std::string sheet = "map_sheet" + std::to_string(i) + ".tex";
        write_file(f.path + "/" + sheet, write_texture(structured_sheet, &i));
        f.sheets.push_back(sheet);
    }
    return f;
}

// Runs mapconv with args in folder; returns wall seconds, and the peak resident size in KiB.
// posix_spawn starts it without copying this process's page tables, which a fork of the benchmark
// (holding every decoded sheet) would add to the time.
double run_program(const std::string& exe, const std::string& folder, const std::vector<std::string>& args,
                   long* peak_kib = nullptr)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<const char*> argv = {exe.c_str()};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    auto start = clock_type::now();
    pid_t child;
    int spawned = posix_spawn(&child, exe.c_str(), &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        fprintf(stderr, "mapconv_bench: cannot start %s\n", exe.c_str());
        exit(1);
    }
    int status = 0;
    rusage usage = {};
    wait4(child, &status, 0, &usage);
    double seconds = seconds_since(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "mapconv_bench: %s failed in %s\n", exe.c_str(), folder.c_str());
        exit(1);
    }
    if (peak_kib)
        *peak_kib = usage.ru_maxrss;
    return seconds;
}

double run_mapconv(const std::string& exe, const std::string& folder, const std::string& jobs, long* peak_kib = nullptr)
{
    return run_program(exe, folder, {"-j", jobs, "map"}, peak_kib);
}

// Opens an input as mapconv's pair conversion does, and hands read its bytes.
template <typename reader>
void read_input_file(const std::string& path, reader read)
{
    int fd, error;
    std::string reason;
    if (open_input(path.c_str(), &fd, &reason, &error) != 0)
        return;
    byte_source source = file_source(fd);
    read_problem problem;
    read(&source, &problem);
    close_input(fd);
}

void read_mesh_file(const std::string& path, map_mesh* mesh, std::vector<uint8_t>* block)
{
    read_input_file(path, [&](byte_source* in, read_problem* problem) { read_map_mesh(in, mesh, block, problem); });
}

void read_sheet_file(const std::string& path, texture_work* texture)
{
    read_input_file(path, [&](byte_source* in, read_problem* problem) { read_texture_sheet(in, texture, problem); });
}

// What the floor needs, prepared before timing: each pair's decoded sheet and the bytes of its
// OBJ and MTL as mapconv wrote them.
struct floor_pair {
    texture_image image;
    std::string obj, mtl;
};

// The given OBJ and MTL texts of pair i, in the scratch folder.
std::string given_name(const std::string& scratch, size_t i, const char* extension)
{
    return scratch + "/given-" + std::to_string(i) + extension;
}

std::vector<floor_pair> prepare_floor(const folder_spec& f, const std::string& scratch)
{
    std::vector<floor_pair> pairs;
    for (const std::string& mesh_name : f.meshes) {
        map_mesh mesh;
        std::vector<uint8_t> block;
        read_mesh_file(f.path + "/" + mesh_name, &mesh, &block);
        for (const std::string& sheet : f.sheets) {
            floor_pair p;
            std::string bytes = read_file(f.path + "/" + sheet);
            decode_texture(reinterpret_cast<const uint8_t*>(bytes.data()), mesh.palettes.colours, &p.image);
            p.obj = read_file(f.path + "/" + mesh_name + "_" + sheet + ".obj");
            p.mtl = read_file(f.path + "/" + mesh_name + "_" + sheet + ".mtl");
            write_file(given_name(scratch, pairs.size(), ".obj"), p.obj);
            write_file(given_name(scratch, pairs.size(), ".mtl"), p.mtl);
            pairs.push_back(std::move(p));
        }
    }
    return pairs;
}

// One write of the bytes. With preallocate, into blocks allocated ahead: the cheapest way this
// machine has, cheaper than a converter that must replace files safely can be.
void write_once(const std::string& name, const void* data, size_t size, bool preallocate)
{
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0 && preallocate)
        fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size));
    if (fd < 0 || write(fd, data, size) != ssize_t(size) || close(fd) != 0) {
        fprintf(stderr, "mapconv_bench: cannot write %s\n", name.c_str());
        exit(1);
    }
}

// The names of a list, joined by '/', which no name in a folder holds; and split again.
std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const std::string& n : names)
        out += (out.empty() ? "" : "/") + n;
    return out;
}

std::vector<std::string> split(const std::string& list)
{
    std::vector<std::string> names;
    for (size_t at = 0; at <= list.size();) {
        size_t end = std::min(list.find('/', at), list.size());
        names.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

// Writes the bytes of the file given into name with one write, from the file's pages mapped: the
// given text costs the floor no read into memory of its own.
void write_given(const std::string& given, const std::string& name, bool preallocate)
{
    int in = open(given.c_str(), O_RDONLY);
    off_t size = in >= 0 ? lseek(in, 0, SEEK_END) : -1;
    void* text = size > 0 ? mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, in, 0) : MAP_FAILED;
    if (text == MAP_FAILED) {
        fprintf(stderr, "mapconv_bench: cannot map %s\n", given.c_str());
        exit(1);
    }
    write_once(name, text, size_t(size), preallocate);
    munmap(text, size_t(size));
    close(in);
}

// The floor's own process: for each mesh and sheet of the folder, in mapconv's order, reads the
// mesh's bytes and takes its palettes, reads and decodes the sheet, encodes the PNG and writes the
// PNG, the given OBJ and the MTL, each with one write (with preallocate, into blocks allocated
// ahead: the cheapest writes this machine has).
int floor_process(const std::string& folder, const std::string& scratch, const std::string& meshes,
                  const std::string& sheets, bool preallocate)
{
    std::vector<uint8_t> png;
    std::string error;
    size_t i = 0;
    for (const std::string& mesh : split(meshes)) {
        std::string mesh_bytes = read_file(folder + "/" + mesh);
        byte_source source = memory_source(reinterpret_cast<const uint8_t*>(mesh_bytes.data()), mesh_bytes.size());
        palette_table palettes;
        read_problem problem;
        if (read_mesh_palettes(&source, &palettes, &problem) != 0)
            return 1;
        for (const std::string& sheet : split(sheets)) {
            std::string sheet_bytes = read_file(folder + "/" + sheet);
            texture_image image;
            decode_texture(reinterpret_cast<const uint8_t*>(sheet_bytes.data()), palettes.colours, &image);
            png.clear();
            byte_sink sink = memory_sink(&png);
            if (encode_png(&image, &sink, &error) != 0)
                return 1;
            write_once(scratch + "/floor.png", png.data(), png.size(), preallocate);
            write_given(given_name(scratch, i, ".obj"), scratch + "/floor.obj", preallocate);
            write_given(given_name(scratch, i, ".mtl"), scratch + "/floor.mtl", preallocate);
            i++;
        }
    }
    return 0;
}

double run_floor(const std::vector<floor_pair>& pairs, const std::string& scratch)
{
    auto start = clock_type::now();
    std::vector<uint8_t> png;
    std::string error;
    for (const floor_pair& p : pairs) {
        png.clear();
        byte_sink sink = memory_sink(&png);
        encode_png(&p.image, &sink, &error);
        write_once(scratch + "/floor.png", png.data(), png.size(), false);
        write_once(scratch + "/floor.obj", p.obj.data(), p.obj.size(), false);
        write_once(scratch + "/floor.mtl", p.mtl.data(), p.mtl.size(), false);
    }
    return seconds_since(start);
}

struct sample_set {
    std::vector<double> values;
    double median() const
    {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double low() const { return *std::min_element(values.begin(), values.end()); }
    double high() const { return *std::max_element(values.begin(), values.end()); }
};

// The largest map the format holds, every count 65,535, each field at random over its range.
std::string random_largest_mesh()
{
    uint32_t state = 2463534242u;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    auto polygon = [&] {
        written_polygon p = {};
        for (int c = 0; c < 4; c++) {
            p.position[c] = corner_vector{int16_t(next()), int16_t(next()), int16_t(next())};
            p.normal[c] = corner_vector{int16_t(next() % 201), int16_t(next() % 201), int16_t(next() % 201)};
            p.uv[c] = corner_uv{uint8_t(next()), uint8_t(next())};
        }
        p.palette_byte = uint8_t(next());
        p.page_byte = uint8_t(next());
        return p;
    };
    written_mesh m = empty_mesh();
    for (std::vector<written_polygon>* list : {&m.tex_tris, &m.tex_quads, &m.untex_tris, &m.untex_quads})
        for (int i = 0; i < 65535; i++)
            list->push_back(polygon());
    for (uint16_t& word : m.palette_words)
        word = uint16_t(next() & 0x7fff);
    return write_map_mesh(m);
}

// The largest random map's run with each costly option, at -j 1, against the goals: --preview adds
// at most the sheet's encode plus 0.1 s (four times that at 4096 pixels), --glb costs at most 1.5
// times the run without it and --glb --all-palettes twice --all-palettes alone, and every option
// together stays in 64 MiB (-j 2 in twice that).
void scale_figures(const std::string& exe, const std::string& folder, int reps)
{
    struct run_case {
        const char* label;
        std::vector<std::string> args;
        sample_set times;
        long peak = 0;
    };
    std::vector<run_case> cases = {
        {"plain", {"-q", "-j", "1", "map"}, {}, 0},
        {"--preview", {"-q", "-j", "1", "--preview", "map"}, {}, 0},
        {"--preview-size 4096", {"-q", "-j", "1", "--preview", "--preview-size", "4096", "map"}, {}, 0},
        {"--glb", {"-q", "-j", "1", "--glb", "map"}, {}, 0},
        {"--all-palettes", {"-q", "-j", "1", "--all-palettes", "map"}, {}, 0},
        {"--glb --all-palettes", {"-q", "-j", "1", "--glb", "--all-palettes", "map"}, {}, 0},
        {"every option", {"-q", "-j", "1", "--glb", "--all-palettes", "--preview", "map"}, {}, 0},
        {"every option, -j 2", {"-q", "-j", "2", "--glb", "--all-palettes", "--preview", "map"}, {}, 0},
    };
    for (int r = 0; r < reps; r++)
        for (run_case& c : cases) {
            long kib = 0;
            c.times.values.push_back(run_program(exe, folder, c.args, &kib));
            c.peak = std::max(c.peak, kib);
        }
    map_mesh mesh;
    std::vector<uint8_t> block;
    texture_work sheet;
    read_mesh_file(folder + "/map.msh", &mesh, &block);
    read_sheet_file(folder + "/map.tex", &sheet);
    sample_set encode;
    for (int r = 0; r < reps; r++) {
        auto t = clock_type::now();
        decode_texture(sheet.sheet.data(), mesh.palettes.colours, &sheet.image);
        std::vector<uint8_t> png;
        byte_sink sink = memory_sink(&png);
        std::string error;
        encode_png(&sheet.image, &sink, &error);
        encode.values.push_back(seconds_since(t));
    }
    printf("\nthe largest map (every count 65,535, fields at random), -j 1, medians of %d:\n", reps);
    for (const run_case& c : cases)
        printf("  %-22s %7.3f s   peak %6.1f MiB\n", c.label, c.times.median(), c.peak / 1024.0);
    double plain = cases[0].times.median();
    double allowed = encode.median() + 0.1;
    printf("  the sheet's decode and PNG encode: %.3f s\n", encode.median());
    printf("  --preview adds %.3f s (goal %.3f s); at 4096 pixels %.3f s (goal %.3f s)\n",
           cases[1].times.median() - plain, allowed, cases[2].times.median() - plain, 4 * allowed);
    printf("  --glb: %.2f x the run without it (goal 1.5); --glb --all-palettes: %.2f x --all-palettes (goal 2)\n",
           cases[3].times.median() / plain, cases[5].times.median() / cases[4].times.median());
    printf("  every option: %.1f MiB (goal 64); with -j 2: %.1f MiB (goal %.1f, twice -j 1)\n", cases[6].peak / 1024.0,
           cases[7].peak / 1024.0, 2 * cases[6].peak / 1024.0);
}

// Writing back the largest map from its unedited OBJ and .glb (converted with --glb
// --all-palettes), against the goals: the .glb at or under 0.15 s, the OBJ at or under 0.5 s, and
// each in at most 1.5 times the edited file's size plus what the mesh takes.
void write_back_figures(const std::string& exe, const std::string& root, int reps)
{
    std::string folder = root + "/W";
    std::filesystem::create_directories(folder);
    pid_t writer = fork();
    if (writer == 0) {
        write_file(folder + "/map.msh", random_largest_mesh());
        uint32_t seed = 3;
        write_file(folder + "/map.tex", write_texture(structured_sheet, &seed));
        _exit(0);
    }
    waitpid(writer, nullptr, 0);
    scale_figures(exe, folder, std::max(3, reps / 2));
    run_program(exe, folder, {"-q", "--glb", "--all-palettes", "map"});
    printf("\nwriting back the largest map (every count 65,535, fields at random), medians of %d:\n", reps);
    for (const char* format : {"obj", "glb"}) {
        std::string edited = std::string("map.msh_map.tex.") + format;
        sample_set times;
        long peak = 0;
        for (int r = 0; r < reps; r++) {
            long kib = 0;
            times.values.push_back(
                run_program(exe, folder, {"-q", "--write-back", "map.msh", edited, "new.msh"}, &kib));
            peak = std::max(peak, kib);
        }
        double file_mib = std::filesystem::file_size(folder + "/" + edited) / 1048576.0;
        double mesh_mib = std::filesystem::file_size(folder + "/map.msh") / 1048576.0;
        printf("  from its %s (%.1f MiB): %.3f s (goal %.2f s), peak memory %.0f MiB = 1.5 x the file + %.0f MiB "
               "(the mesh file: %.1f MiB)\n",
               format, file_mib, times.median(), format[0] == 'g' ? 0.15 : 0.5, peak / 1024.0,
               peak / 1024.0 - 1.5 * file_mib, mesh_mib);
    }
}

void print_times(const char* label, const sample_set& s)
{
    printf("  %-26s median %8.2f ms   (min %.2f, max %.2f, n=%zu)\n", label, s.median() * 1e3, s.low() * 1e3,
           s.high() * 1e3, s.values.size());
}

// A repainted sheet put back (folder A's first sheet and mesh, a picture through palette 0 with one
// pixel in ten repainted), as a whole run, against the goal: at most the sheet's PNG encode, timed in
// this process, as the floor times it.
void sheet_write_back_figures(const std::string& exe, const folder_spec& f, int reps)
{
    std::string mesh_name = f.meshes[0], sheet_name = f.sheets[0];
    map_mesh mesh;
    std::vector<uint8_t> block;
    read_mesh_file(f.path + "/" + mesh_name, &mesh, &block);
    std::string sheet = read_file(f.path + "/" + sheet_name);
    texture_image image;
    decode_texture(reinterpret_cast<const uint8_t*>(sheet.data()), mesh.palettes.colours, &image);
    for (size_t i = 0; i < image.pixels.size(); i += 30)
        image.pixels[i] = uint8_t(image.pixels[i] ^ 0x40);
    std::vector<uint8_t> png;
    byte_sink sink = memory_sink(&png);
    std::string error;
    encode_png(&image, &sink, &error);
    write_file(f.path + "/repainted_tex_0.png", std::string(png.begin(), png.end()));
    sample_set encode, back;
    for (int r = 0; r < reps; r++) {
        auto t = clock_type::now();
        decode_texture(reinterpret_cast<const uint8_t*>(sheet.data()), mesh.palettes.colours, &image);
        png.clear();
        encode_png(&image, &sink, &error);
        encode.values.push_back(seconds_since(t));
        back.values.push_back(run_program(
            exe, f.path, {"-q", "--write-back", sheet_name, "repainted_tex_0.png", "new.tex", "--mesh", mesh_name}));
    }
    printf("\na repainted sheet written back (%s through %s), medians of %d:\n", sheet_name.c_str(), mesh_name.c_str(),
           reps);
    print_times("mapconv --write-back", back);
    print_times("the sheet's PNG encode", encode);
    printf("  ratio: %.2f (goal 1)\n", back.median() / encode.median());
}

// One stage's time per pair, measured in this process over every pair of the folder.
void stage_breakdown(const folder_spec& f, int reps, const std::string& scratch)
{
    sample_set read, decode, png, obj, obj_text, mtl, preview;
    preview_image picture;
    std::vector<uint8_t> preview_bytes;
    map_mesh mesh;
    std::vector<uint8_t> block, png_bytes, obj_bytes;
    std::vector<char> obj_block;
    texture_work texture;
    std::string error;
    char previous[4096];
    if (!getcwd(previous, sizeof previous) || chdir(scratch.c_str()) != 0)
        return;
    for (int r = 0; r < reps; r++)
        for (const std::string& mesh_name : f.meshes)
            for (const std::string& sheet : f.sheets) {
                auto t = clock_type::now();
                read_mesh_file(f.path + "/" + mesh_name, &mesh, &block);
                read.values.push_back(seconds_since(t));
                read_sheet_file(f.path + "/" + sheet, &texture);
                t = clock_type::now();
                decode_texture(texture.sheet.data(), mesh.palettes.colours, &texture.image);
                decode.values.push_back(seconds_since(t));
                t = clock_type::now();
                png_bytes.clear();
                byte_sink png_sink = memory_sink(&png_bytes);
                encode_png(&texture.image, &png_sink, &error);
                png.values.push_back(seconds_since(t));
                // The preview at its default size: drawn and encoded, against the sheet's encode.
                t = clock_type::now();
                draw_preview(&mesh, texture.sheet.data(), preview_default_size, &picture);
                preview_bytes.clear();
                byte_sink preview_sink = memory_sink(&preview_bytes);
                encode_preview(picture, &preview_sink, &error);
                preview.values.push_back(seconds_since(t));
                // The OBJ's text, made once per mesh, into memory that already has room.
                std::vector<int> palettes = {0};
                obj_materials materials = {&palettes, 0};
                obj_bytes.clear();
                byte_sink text_sink = memory_sink(&obj_bytes);
                write_obj_body(&mesh, materials, nullptr, &obj_block, &text_sink);
                obj_bytes.clear();
                t = clock_type::now();
                write_obj_body(&mesh, materials, nullptr, &obj_block, &text_sink);
                obj_text.values.push_back(seconds_since(t));
                // The OBJ file of each pair: its mtllib line and the mesh's text, written and renamed.
                t = clock_type::now();
                output_file out;
                output_create(&out);
                byte_sink obj_sink = file_sink(&out);
                std::string mtllib = obj_mtllib_line("m.mtl");
                sink_reserve(&obj_sink, mtllib.size() + obj_bytes.size());
                sink_write(&obj_sink, mtllib.data(), mtllib.size());
                sink_write(&obj_sink, obj_bytes.data(), obj_bytes.size());
                output_commit(&out, "m.obj");
                obj.values.push_back(seconds_since(t));
                t = clock_type::now();
                output_file m;
                output_create(&m);
                byte_sink mtl_sink = file_sink(&m);
                write_mtl(materials, {"t.png"}, &mtl_sink);
                output_commit(&m, "m.mtl");
                mtl.values.push_back(seconds_since(t));
            }
    if (chdir(previous) != 0)
        return;
    double pair = read.median() + decode.median() + png.median() + obj.median() + mtl.median();
    printf("  stages per pair (medians):   mesh read %.3f ms, sheet decode %.3f ms, PNG %.2f ms,\n",
           read.median() * 1e3, decode.median() * 1e3, png.median() * 1e3);
    printf(
        "                               OBJ file %.3f ms (%.1f %% of the pair; the mesh's text, made once per mesh,\n"
        "                               %.3f ms, %.1f %%),\n",
        obj.median() * 1e3, 100 * obj.median() / pair, obj_text.median() * 1e3, 100 * obj_text.median() / pair);
    printf("                               MTL %.3f ms; --preview %.2f ms (%.2f x the sheet's PNG)\n",
           mtl.median() * 1e3, preview.median() * 1e3, preview.median() / png.median());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && strcmp(argv[1], "--floor") == 0)
        return floor_process(argv[2], argv[3], argv[4], argv[5], strcmp(argv[6], "1") == 0);
    int reps = 9;
    std::string make_only;
    std::string exe = std::filesystem::path(argv[0]).parent_path().string() + "/mapconv";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--reps") == 0)
            reps = std::max(1, atoi(argv[i + 1]));
        else if (strcmp(argv[i], "--mapconv") == 0)
            exe = argv[i + 1];
        else if (strcmp(argv[i], "--make-only") == 0)
            make_only = argv[i + 1];
    }
    if (!make_only.empty()) {
        make_folder(make_only, "A", 4, 1950, 100, 250, 4);
        make_folder(make_only, "B", 1, 10922, 1, 0, 1);
        return 0;
    }
    exe = std::filesystem::absolute(exe).string();
    std::string self = std::filesystem::canonical("/proc/self/exe").string();

    std::string pattern = (std::filesystem::temp_directory_path() / "mapconv-bench-XXXXXX").string();
    if (!mkdtemp(&pattern[0]))
        return 1;
    std::string root = pattern;
    std::string scratch = root + "/scratch";
    std::filesystem::create_directories(scratch);

    printf("mapconv_bench: %s, %d repetitions, alternating\n\n", exe.c_str(), reps);

    // Memory first, while this process is small: the kernel counts the peak of the process a child
    // was started from into the child's peak, so the big mesh is written by a child of its own.
    // The largest mesh the format can hold: every count 65,535.
    std::string big = root + "/C";
    std::filesystem::create_directories(big);
    pid_t writer = fork();
    if (writer == 0) {
        written_mesh m = empty_mesh();
        written_polygon p = {};
        m.tex_tris.assign(65535, p);
        m.tex_quads.assign(65535, p);
        m.untex_tris.assign(65535, p);
        m.untex_quads.assign(65535, p);
        write_file(big + "/map.msh", write_map_mesh(m));
        uint32_t seed = 0;
        write_file(big + "/map.tex", write_texture(structured_sheet, &seed));
        _exit(0);
    }
    waitpid(writer, nullptr, 0);
    long peak_kib = 0;
    double seconds = run_mapconv(exe, big, "2", &peak_kib);
    printf("largest mesh (all four counts 65535, 196,605 textured + 196,605 untextured triangles):\n"
           "  %.0f ms, peak memory %.1f MiB\n",
           seconds * 1e3, peak_kib / 1024.0);
    write_back_figures(exe, root, reps);
    {
        // The preview of the largest mesh, drawn and encoded in this process.
        map_mesh largest;
        std::vector<uint8_t> block, bytes;
        texture_work sheet;
        read_mesh_file(big + "/map.msh", &largest, &block);
        read_sheet_file(big + "/map.tex", &sheet);
        preview_image picture;
        std::string error;
        sample_set drawn;
        for (int r = 0; r < 3; r++) {
            auto t = clock_type::now();
            draw_preview(&largest, sheet.sheet.data(), preview_default_size, &picture);
            bytes.clear();
            byte_sink sink = memory_sink(&bytes);
            encode_preview(picture, &sink, &error);
            drawn.values.push_back(seconds_since(t));
        }
        printf("preview of the largest mesh at %d pixels: %.2f ms\n", preview_default_size, drawn.median() * 1e3);
    }

    // A: 4 maps of 4,000 textured and 500 untextured triangles with 4 sheets, 16 pairs.
    // B: one map of 21,845 textured triangles with one sheet.
    folder_spec a = make_folder(root, "A", 4, 1950, 100, 250, 4);
    folder_spec b = make_folder(root, "B", 1, 10922, 1, 0, 1);

    for (folder_spec* f : {&a, &b}) {
        run_mapconv(exe, f->path, "1");  // warm the caches and leave the outputs for the floor
        std::vector<floor_pair> floor = prepare_floor(*f, scratch);
        std::vector<std::string> floor_args = {"--floor", f->path, scratch, joined(f->meshes), joined(f->sheets), "0"};
        std::vector<std::string> strict_args = floor_args;
        strict_args.back() = "1";
        sample_set whole1, whole2, process, strict, base;
        for (int r = 0; r < reps; r++) {
            whole1.values.push_back(run_mapconv(exe, f->path, "1"));
            process.values.push_back(run_program(self, f->path, floor_args));
            strict.values.push_back(run_program(self, f->path, strict_args));
            base.values.push_back(run_floor(floor, scratch));
            if (f == &a)
                whole2.values.push_back(run_mapconv(exe, f->path, "2"));
        }
        printf("\nfolder %s: %zu maps x %zu sheets\n", f->name.c_str(), f->meshes.size(), f->sheets.size());
        print_times("mapconv -j 1", whole1);
        if (f == &a)
            print_times("mapconv -j 2", whole2);
        print_times("floor (its own process)", process);
        print_times("  with preallocated writes", strict);
        print_times("floor in this process", base);
        printf("  ratio -j 1 / floor: %.3f   (to the floor with preallocated writes: %.3f; to the floor in this "
               "process, inputs decoded beforehand: %.3f)\n",
               whole1.median() / process.median(), whole1.median() / strict.median(), whole1.median() / base.median());
        if (f == &a)
            printf("  ratio -j 2 / -j 1:  %.3f\n", whole2.median() / whole1.median());
        stage_breakdown(*f, std::max(1, reps / 3), scratch);
    }
    sheet_write_back_figures(exe, a, reps);

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
