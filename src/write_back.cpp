#include "write_back.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "exit_status.h"
#include "files.h"
#include "gltf/read_glb.h"
#include "mesh/match_edit.h"
#include "mesh/read_map_mesh.h"
#include "mesh/write_map_mesh.h"
#include "wavefront/read_obj.h"

namespace {

// A map mesh and a .glb are read whole; an OBJ a block at a time. None of a map is this large.
constexpr long long largest_input = 1ll << 30;

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
int read_whole(const byte_source* source, std::vector<uint8_t>* bytes, std::string* problem)
{
    long long size = source_size(source);
    if (size < 0)
        return *problem = "its size cannot be told", -1;
    if (size > largest_input)
        return *problem = "larger than 1 GiB", -1;
    bytes->resize(size_t(size));
    long got = read_source(source, 0, bytes->data(), bytes->size());
    if (got < 0)
        return *problem = error_text(errno), -1;
    if (got != long(size))
        return *problem = "it changed while it was read", -1;
    return 0;
}

// Reads and decodes the original map mesh. Returns 0, or -1 after a message.
int read_mesh_file(const char* name, std::vector<uint8_t>* file, map_mesh* mesh)
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

// Reads the edited file: a .glb (told by its first bytes) whole into bytes, which the model then
// refers to; an OBJ a block at a time. Returns 0, or -1 with the reason in *error.
int read_edited(const char* name, std::vector<uint8_t>* bytes, edited_model* model, std::string* error)
{
    input_file in;
    if (open_file(name, &in, error) != 0)
        return -1;
    uint8_t magic[4];
    long got = read_source(&in.source, 0, magic, sizeof magic);
    if (got < 0)
        return *error = error_text(errno), -1;
    if (got == 4 && memcmp(magic, "glTF", 4) == 0) {
        if (read_whole(&in.source, bytes, error) != 0)
            return -1;
        return read_glb_model(bytes->data(), bytes->size(), model, error);
    }
    return read_obj_model(&in.source, model, error);
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
    file_identity id;
    if (path_identity(new_name, &id) != 0)
        return 0;  // nothing there yet, or nothing a file could be read from
    input_file in;
    std::string problem;
    if (open_file(new_name, &in, &problem) != 0) {
        print_error(new_name, "exists and cannot be read (" + problem +
                                  "), so it cannot be told to be a map mesh: " + "name another file");
        return -1;
    }
    if (check_mesh(&in.source) != 0) {
        print_error(new_name, "exists and is not a map mesh (no 0xC4 at offset 64): only a map mesh is replaced; "
                              "name another file");
        return -1;
    }
    return 0;
}

// Writes the new file under a temporary name in its own folder (made where missing), renamed into
// place only when whole. Returns 0, or -1 after a message.
int write_new(const char* new_name, const std::vector<uint8_t>& bytes)
{
    int error;
    size_t folder_length = folder_part_length(new_name);
    std::string folder(new_name, folder_length), absolute;
    if (folder_length > 0 && use_output_folder(folder.c_str(), &absolute, &error) != 0) {
        print_error(folder.c_str(), error_text(error));
        return -1;
    }
    if (write_whole_output(new_name, bytes.data(), bytes.size(), &error) != 0) {
        print_error(new_name, error_text(error));
        return -1;
    }
    return 0;
}

std::string records(size_t n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

int write_back(const char* mesh_name, const char* edited_name, const char* new_name, int keep_normals, int quiet)
{
    std::vector<uint8_t> file, edited;
    map_mesh mesh;
    if (read_mesh_file(mesh_name, &file, &mesh) != 0 || check_new(edited_name, new_name) != 0)
        return status_failed;
    edited_model model;
    mesh_values values;
    std::string error;
    if (read_edited(edited_name, &edited, &model, &error) == 0) {
        // Editors that turn normals with their faces turn those around a moved corner too.
        if (keep_normals)
            for (std::vector<edited_face>* faces : {&model.terrain, &model.skirt})
                for (edited_face& face : *faces)
                    face.has_normal = false;
        if (match_edited_model(mesh, mesh_records(file, mesh.counts), model, &values, &error) == 0)
            error.clear();
    }
    if (!error.empty()) {
        print_error(edited_name, error);
        fprintf(stderr, "mapconv: %s not written\n", name_for_stderr(new_name).c_str());
        return status_failed;
    }
    std::vector<uint8_t>().swap(edited);
    edit_counts changed;
    write_mesh_records(&file, mesh.counts, values, &changed);
    if (write_new(new_name, file) != 0)
        return status_failed;
    if (!quiet)
        printf("Wrote %s from %s and %s: %s, %s and %s changed\n", name_for_stdout(new_name).c_str(),
               name_for_stdout(mesh_name).c_str(), name_for_stdout(edited_name).c_str(),
               records(changed.positions, "position record").c_str(), records(changed.normals, "normal record").c_str(),
               records(changed.textures, "texture record").c_str());
    return status_done;
}
