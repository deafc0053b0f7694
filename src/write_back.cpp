#include "write_back.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "beside.h"
#include "console.h"
#include "exit_status.h"
#include "files.h"
#include "gltf/read_glb.h"
#include "mesh/match_edit.h"
#include "mesh/read_map_mesh.h"
#include "mesh/write_map_mesh.h"
#include "texture/match_sheet.h"
#include "texture/read_png.h"
#include "texture/texture_image.h"
#include "wavefront/read_obj.h"

namespace {

// A map mesh and a .glb are read whole; an OBJ a block at a time. None of a map is this large.
constexpr long long largest_input = 1ll << 30;

// An allocator whose vectors leave what they grow by unset: for bytes a read fills at once, which
// zeroing first would write twice (the largest map's .glb and mesh: 43 MB, 7 % of its write-back).
template <typename T>
struct unset_allocator {
    using value_type = T;
    unset_allocator() = default;
    template <typename U>
    unset_allocator(const unset_allocator<U>&)
    {
    }
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) { std::allocator<T>().deallocate(p, n); }
    template <typename U>
    void construct(U* p)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U* p, A&&... a)
    {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
    bool operator==(const unset_allocator&) const { return true; }
    bool operator!=(const unset_allocator&) const { return false; }
};

// A file's bytes, read whole.
using file_bytes = std::vector<uint8_t, unset_allocator<uint8_t>>;

// An input of the write-back, open while it is read.
struct input_file {
    int fd = -1;
    byte_source source = file_source(-1);
    ~input_file() { close_input(fd); }
};

// Opens an input. Returns 0, or -1 with the reason in *problem.
int open_file(const char* name, input_file* in, std::string* problem)
{
    int error;
    if (open_input(name, &in->fd, problem, &error) != 0)
        return -1;
    in->source = file_source(in->fd);
    return 0;
}

// Reads the whole input. Returns 0, or -1 with the reason in *problem.
template <typename byte_vector>
int read_whole(const byte_source* source, byte_vector* bytes, std::string* problem)
{
    long long size = source_size(source);
    if (size < 0)
        return *problem = "its size cannot be told", -1;
    if (size > largest_input)
        return *problem = "larger than 1 GiB", -1;
    bytes->resize(size_t(size));
    return read_exactly(source, 0, bytes->data(), bytes->size(), problem) ? 0 : -1;
}

// Reads and decodes the original map mesh. Returns 0, or -1 after a message.
int read_mesh_file(const char* name, file_bytes* file, map_mesh* mesh)
{
    input_file in;
    read_problem problem;
    if (open_file(name, &in, &problem.reason) == 0 && read_whole(&in.source, file, &problem.reason) == 0) {
        byte_source source = memory_source(file->data(), file->size());
        if (check_mesh(&source) != 0)
            problem.reason = "not a map mesh (no 0xC4 at offset 64)";
        else if (read_map_mesh(&source, mesh, nullptr, &problem) == 0)
            return 0;
    }
    print_error(name, problem.reason);
    return -1;
}

// Reads the palettes of a map mesh, which colour its sheets; nothing else of it is needed. Returns
// 0, or -1 after a message, as read_mesh_file.
int read_palettes_file(const char* name, palette_table* palettes)
{
    input_file in;
    read_problem problem;
    if (open_file(name, &in, &problem.reason) == 0) {
        if (check_mesh(&in.source) != 0)
            problem.reason = "not a map mesh (no 0xC4 at offset 64)";
        else if (read_mesh_palettes(&in.source, palettes, &problem) == 0)
            return 0;
    }
    print_error(name, problem.reason);
    return -1;
}

// Reads the edited file, open in *in: a .glb (told by its first bytes) but its arrays' bytes, which
// read_glb_arrays then reads; or an OBJ a block at a time. Returns 0, or -1 with the reason in *error.
int read_edited(const char* name, input_file* in, edited_model* model, std::string* error)
{
    if (open_file(name, in, error) != 0)
        return -1;
    uint8_t magic[4];
    long got = read_source(&in->source, 0, magic, sizeof magic);
    if (got < 0)
        return *error = error_text(errno), -1;
    if (got == 4 && memcmp(magic, "\x89PNG", 4) == 0)
        return *error = "a PNG, not an OBJ or glTF binary: a repainted sheet goes back with "
                        "--write-back SHEET PICTURE NEW --mesh MESH",
               -1;
    if (got == 4 && memcmp(magic, "glTF", 4) == 0) {
        if (source_size(&in->source) > largest_input)
            return *error = "larger than 1 GiB", -1;
        return read_glb_model(&in->source, model, error, false);
    }
    return read_obj_model(&in->source, model, error);
}

// Opens NEW where there is a file by that name. Returns 1 when it is open, 0 when there is none,
// or -1 after a message when it cannot be read (and so cannot be told to be what, which is replaced).
int open_existing(const char* new_name, const char* what, input_file* in)
{
    file_identity id;
    if (path_identity(new_name, &id) != 0)
        return 0;  // nothing there yet, or nothing a file could be read from
    std::string problem;
    if (open_file(new_name, in, &problem) != 0) {
        print_error(new_name, "exists and cannot be read (" + problem + "), so it cannot be told to be " + what +
                                  ": name another file");
        return -1;
    }
    return 1;
}

bool same_file(const char* a, const char* b)
{
    file_identity x, y;
    return path_identity(a, &x) == 0 && path_identity(b, &y) == 0 && x.device == y.device && x.number == y.number;
}

// NEW never takes what the user has: never the edited file, by any name, and never an existing
// file that is not a map mesh (a sheet, an OBJ, a picture). Returns 0, or -1 after a message.
int check_new(const char* edited_name, const char* new_name)
{
    if (same_file(edited_name, new_name)) {
        print_error(new_name, std::string("is the edited file ") + name_for_stderr(edited_name) +
                                  ", which the new map mesh would replace: name another file");
        return -1;
    }
    input_file in;
    int found = open_existing(new_name, "a map mesh", &in);
    if (found <= 0)
        return found;
    if (check_mesh(&in.source) != 0) {
        print_error(new_name, "exists and is not a map mesh (no 0xC4 at offset 64): only a map mesh is replaced; "
                              "name another file");
        return -1;
    }
    return 0;
}

// Writes the new file under a temporary name in its own folder (made where missing), renamed into
// place only when whole. Returns 0, or -1 after a message.
int write_new(const char* new_name, const uint8_t* bytes, size_t size)
{
    int error;
    size_t folder_length = folder_part_length(new_name);
    std::string folder(new_name, folder_length), absolute;
    if (folder_length > 0 && use_output_folder(folder.c_str(), &absolute, &error) != 0) {
        print_error(folder.c_str(), error_text(error));
        return -1;
    }
    if (write_whole_output(new_name, bytes, size, &error) != 0) {
        print_error(new_name, error_text(error));
        return -1;
    }
    return 0;
}

void release_corners(map_mesh* mesh)
{
    std::vector<tri_vectors>().swap(mesh->tex_positions);
    std::vector<tri_vectors>().swap(mesh->tex_normals);
    std::vector<tri_vectors>().swap(mesh->untex_positions);
    std::vector<tri_uvs>().swap(mesh->tex_uvs);
}

// Matching reads the mesh's records from its file: of the decoded mesh it needs only the order its
// triangles were written in and their palettes. The order is worked out on a thread of its own
// while the edited file is read, and the decoded corners go once it is known.
struct orders_job {
    map_mesh* mesh;
    face_orders orders;
};

void choose_orders(void* argument)
{
    orders_job* o = static_cast<orders_job*>(argument);
    o->orders = choose_face_orders(o->mesh);
    release_corners(o->mesh);
}

std::string records(size_t n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

int write_back(const char* mesh_name, const char* edited_name, const char* new_name, int keep_normals, int quiet)
{
    file_bytes file;
    map_mesh mesh;
    if (read_mesh_file(mesh_name, &file, &mesh) != 0 || check_new(edited_name, new_name) != 0)
        return status_failed;
    orders_job orders = {&mesh, {}};
    work_beside beside;
    start_beside(choose_orders, &orders, true, &beside);
    edited_model model;
    mesh_values values;
    std::string error;
    int read;
    {
        input_file in;
        read = read_edited(edited_name, &in, &model, &error);
        finish_beside(&beside);
        // A .glb's arrays are read once the decoded corners have gone: the two together would take
        // more than matching does.
        if (read == 0 && model.glb_binary)
            read = read_glb_arrays(&in.source, &model, &error);
    }
    if (read == 0) {
        // Editors that turn normals with their faces turn those around a moved corner too.
        if (keep_normals)
            for (std::vector<edited_face>* faces : {&model.terrain, &model.skirt})
                for (edited_face& face : *faces)
                    face.has_normal = false;
        if (match_edited_model(mesh, orders.orders, records_of(file.data(), mesh.counts), model, &values, &error) == 0)
            error.clear();
    }
    if (!error.empty()) {
        print_error(edited_name, error);
        fprintf(stderr, "mapconv: %s not written\n", name_for_stderr(new_name).c_str());
        return status_failed;
    }
    model = edited_model();  // what the edit held goes before the new file is made
    edit_counts changed;
    write_mesh_records(file.data(), mesh.counts, values, &changed);
    if (write_new(new_name, file.data(), file.size()) != 0)
        return status_failed;
    if (!quiet)
        printf("Wrote %s from %s and %s: %s, %s and %s changed\n", name_for_stdout(new_name).c_str(),
               name_for_stdout(mesh_name).c_str(), name_for_stdout(edited_name).c_str(),
               records(changed.positions, "position record").c_str(), records(changed.normals, "normal record").c_str(),
               records(changed.textures, "texture record").c_str());
    return status_done;
}

namespace {

// An edited picture is read whole; a sheet's, in any form libpng writes, is far smaller.
constexpr long long largest_picture = 64ll << 20;

bool begins_with(const std::vector<uint8_t>& bytes, const char* signature, size_t n)
{
    return bytes.size() >= n && memcmp(bytes.data(), signature, n) == 0;
}

// The new sheet never takes what the user has: never the picture or the mesh, by any name, and
// never an existing file that cannot be a sheet (shorter than one, a map mesh, a PNG, a .glb, or
// text such as an OBJ). Returns 0, or -1 after a message.
int check_new_sheet(const char* picture_name, const char* mesh_name, const char* new_name)
{
    for (const char* input : {picture_name, mesh_name})
        if (same_file(input, new_name)) {
            print_error(new_name, std::string("is ") + name_for_stderr(input) +
                                      ", an input the new sheet would replace: name another file");
            return -1;
        }
    input_file in;
    int found = open_existing(new_name, "a texture sheet", &in);
    if (found <= 0)
        return found;
    std::vector<uint8_t> start(512);
    long got = read_source(&in.source, 0, start.data(), start.size());
    start.resize(got > 0 ? size_t(got) : 0);
    // Text: printable lines. A sheet's bytes may all be printable too (indices 2 to 7), but seldom
    // break into lines.
    size_t lines = 0;
    bool text = !start.empty();
    for (uint8_t c : start) {
        text = text && ((c >= 0x20 && c < 0x7f) || c == '\n' || c == '\r' || c == '\t');
        lines += c == '\n';
    }
    text = text && lines >= 2;
    long long size = source_size(&in.source);
    const char* what = check_mesh(&in.source) == 0        ? "a map mesh"
                       : begins_with(start, "\x89PNG", 4) ? "a PNG"
                       : begins_with(start, "glTF", 4)    ? "a glTF binary"
                       : text                             ? "text"
                       : size < sheet_file_bytes          ? "shorter than a texture sheet"
                                                          : nullptr;
    if (what) {
        print_error(new_name, std::string("exists and is ") + what +
                                  ", not a texture sheet: only a sheet is "
                                  "replaced; name another file");
        return -1;
    }
    return 0;
}

// The palette a picture was coloured through: given, or the P of its name's "_tex_P.png", as
// mapconv names the pictures it writes. Returns it, or -1 after a message.
int picture_palette(const char* picture_name, int given)
{
    if (given >= 0)
        return given;
    std::string name(picture_name);
    size_t end = name.size() >= 4 ? name.size() - 4 : 0;
    size_t mark = name.rfind("_tex_");
    if (mark != std::string::npos && name.compare(end, 4, ".png") == 0 && end > mark + 5 && end <= mark + 7) {
        int palette = 0;
        for (size_t i = mark + 5; i < end; i++)
            palette = name[i] >= '0' && name[i] <= '9' ? palette * 10 + (name[i] - '0') : 99;
        if (palette < palette_count)
            return palette;
    }
    print_error(picture_name, "its name does not say the palette that coloured it (as T_tex_P.png does): "
                              "give it with --palette P");
    return -1;
}

// Reads a whole input of at least least and at most most bytes. Returns 0, or -1 after a message.
int read_input(const char* name, long long least, long long most, const char* too_short, std::vector<uint8_t>* bytes)
{
    input_file in;
    std::string problem;
    if (open_file(name, &in, &problem) == 0) {
        long long size = source_size(&in.source);
        if (size >= 0 && size < least)
            problem = too_short;
        else if (size > most)
            problem = "larger than " + std::to_string(most >> 20) + " MiB";
        else if (read_whole(&in.source, bytes, &problem) == 0)
            return 0;
    }
    print_error(name, problem);
    return -1;
}

}  // namespace

int write_back_sheet(const char* sheet_name, const char* picture_name, const char* new_name,
                     const sheet_write_back& how, int quiet)
{
    std::vector<uint8_t> sheet, png;
    palette_table palettes;
    int palette = picture_palette(picture_name, how.palette);
    if (palette < 0 || read_palettes_file(how.mesh_name, &palettes) != 0 ||
        read_input(sheet_name, sheet_file_bytes, largest_input, "not a texture sheet (shorter than 131,072 bytes)",
                   &sheet) != 0 ||
        check_new_sheet(picture_name, how.mesh_name, new_name) != 0 ||
        read_input(picture_name, 0, largest_picture, "", &png) != 0)
        return status_failed;
    read_picture picture;
    sheet_edit_counts counts;
    std::string error;
    if (read_png_picture(png.data(), png.size(), sheet_width, sheet_height, &picture, &error) != 0 ||
        match_sheet_picture(picture, &palettes.colours[palette * colours_per_palette], how.exact_colours, &sheet,
                            &counts, &error) != 0) {
        print_error(picture_name, error);
        fprintf(stderr, "mapconv: %s not written\n", name_for_stderr(new_name).c_str());
        return status_failed;
    }
    if (write_new(new_name, sheet.data(), sheet.size()) != 0)
        return status_failed;
    if (!quiet) {
        printf("Wrote %s from %s and %s through palette %d of %s: %s changed", name_for_stdout(new_name).c_str(),
               name_for_stdout(sheet_name).c_str(), name_for_stdout(picture_name).c_str(), palette,
               name_for_stdout(how.mesh_name).c_str(), records(counts.changed, "pixel").c_str());
        if (counts.by_index)
            printf(", index by index");
        else if (counts.changed > 0)
            printf(" (%zu to a colour of the palette, %zu to the nearest, at most %.1f away)", counts.exact,
                   counts.nearest, std::sqrt(double(counts.farthest)));
        printf(", %s of the sheet\n", records(counts.bytes, "byte").c_str());
    }
    return status_done;
}
