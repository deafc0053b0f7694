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

// Edited files are read whole; a map's OBJ is at most some hundred MiB.
constexpr long long largest_input = 1ll << 30;

// Reads the whole file. Returns 0, or -1 after a message naming it.
int read_whole_file(const char* name, std::vector<uint8_t>* bytes)
{
    int fd, error;
    std::string problem;
    if (open_input(name, &fd, &problem, &error) != 0) {
        print_error(name, problem);
        return -1;
    }
    byte_source source = file_source(fd);
    long long size = source_size(&source);
    if (size < 0) {
        problem = "its size cannot be told";
    } else if (size > largest_input) {
        problem = "larger than 1 GiB";
    } else {
        bytes->resize(size_t(size));
        long got = read_source(&source, 0, bytes->data(), bytes->size());
        if (got < 0)
            problem = error_text(errno);
        else if (got != long(size))
            problem = "it changed while it was read";
    }
    close_input(fd);
    if (!problem.empty()) {
        print_error(name, problem);
        return -1;
    }
    return 0;
}

bool is_glb(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= 4 && memcmp(bytes.data(), "glTF", 4) == 0;
}

std::string records(size_t n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

int write_back(const char* mesh_name, const char* edited_name, const char* new_name, int keep_normals, int quiet)
{
    std::vector<uint8_t> file, edited;
    if (read_whole_file(mesh_name, &file) != 0 || read_whole_file(edited_name, &edited) != 0)
        return status_failed;
    map_mesh mesh;
    std::vector<uint8_t> block;
    read_problem problem;
    byte_source source = memory_source(file.data(), file.size());
    if (check_mesh(&source) != 0)
        problem.reason = "not a map mesh (no 0xC4 at offset 64)";
    if (!problem.reason.empty() || read_map_mesh(&source, &mesh, &block, &problem) != 0) {
        print_error(mesh_name, problem.reason);
        return status_failed;
    }
    edited_model model;
    std::string error;
    int read = is_glb(edited)
                   ? read_glb_model(edited.data(), edited.size(), &model, &error)
                   : read_obj_model(reinterpret_cast<const char*>(edited.data()), edited.size(), &model, &error);
    // Editors that turn normals with their faces turn those around a moved corner too.
    if (keep_normals)
        for (std::vector<edited_face>* faces : {&model.terrain, &model.skirt})
            for (edited_face& face : *faces)
                face.has_normal = false;
    mesh_values values;
    if (read != 0 || match_edited_model(mesh, model, &values, &error) != 0) {
        print_error(edited_name, error);
        fprintf(stderr, "mapconv: %s not written\n", name_for_stderr(new_name).c_str());
        return status_failed;
    }
    std::vector<uint8_t> bytes;
    edit_counts changed;
    write_mesh_records(file, mesh.counts, values, &bytes, &changed);
    // The new file is made under a temporary name in its own folder, so the rename stays within it.
    int write_error;
    size_t folder_length = folder_part_length(new_name);
    std::string folder(new_name, folder_length), absolute;
    if (folder_length > 0 && use_output_folder(folder.c_str(), &absolute, &write_error) != 0) {
        print_error(folder.c_str(), error_text(write_error));
        return status_failed;
    }
    if (write_whole_output(new_name, bytes.data(), bytes.size(), &write_error) != 0) {
        print_error(new_name, error_text(write_error));
        return status_failed;
    }
    if (!quiet)
        printf("Wrote %s from %s and %s: %s, %s and %s changed\n", name_for_stdout(new_name).c_str(),
               name_for_stdout(mesh_name).c_str(), name_for_stdout(edited_name).c_str(),
               records(changed.positions, "position record").c_str(), records(changed.normals, "normal record").c_str(),
               records(changed.textures, "texture record").c_str());
    return status_done;
}
