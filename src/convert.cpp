#include "convert.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "gltf/write_glb.h"
#include "mesh/read_map_mesh.h"
#include "wavefront/wavefront.h"

namespace {

// Outputs of earlier runs are never inputs: the .glb files included, or a second run would take
// them for sheets and a third would convert its own outputs again.
bool has_output_extension(const char* name)
{
    size_t n = strlen(name);
    if (n < 3)
        return false;
    const char* last = name + n - 3;
    return memcmp(last, "obj", 3) == 0 || memcmp(last, "gns", 3) == 0 || memcmp(last, "mtl", 3) == 0 ||
           memcmp(last, "png", 3) == 0 || memcmp(last, "glb", 3) == 0;
}

}  // namespace

int check_mesh(const char* name, console_log* log)
{
    int fd;
    if (open_input_or_report(name, &fd, log) != 0)
        return -1;
    // Only the low byte of the block offset counts here; the reader checks the whole word.
    uint8_t word[4];
    byte_source source = {fd, nullptr, 0};
    long got = read_source(&source, 64, word, sizeof word);
    close_input(fd);
    return got >= 1 && word[0] == 0xC4 ? 0 : -1;
}

int walkdir(const char* prefix, const run_options* options)
{
    std::vector<std::string> names;
    if (list_directory(&names) != 0)
        return status_failed;

    size_t prefix_length = strlen(prefix);
    std::vector<std::string> meshes, textures;
    console_log log;
    for (const std::string& name : names) {
        if (strncmp(name.c_str(), prefix, prefix_length) != 0 || has_output_extension(name.c_str()))
            continue;
        if (check_mesh(name.c_str(), &log) == 0)
            meshes.push_back(name);
        else
            textures.push_back(name);
        flush_log(&log);
    }
    log_out(&log, "%i meshes found\n", int(meshes.size()));
    log_out(&log, "%i possible textures\n", int(textures.size()));
    flush_log(&log);
    return run_pairs(meshes, textures, options);
}

// Writes the pair's sheets: through palette 0, or through every palette the terrain uses.
// Returns texture_done, texture_refused or texture_png_failed.
static int export_texture(const char* texture_name, const run_options* options, pair_outputs* out,
                          worker_buffers* work, std::vector<int>* palettes)
{
    if (read_texture_sheet(texture_name, &out->log, &work->texture) != 0)
        return texture_refused;
    if (options->all_palettes) {
        uint16_t used = used_palette_mask(work->mesh);
        for (int p = 0; p < palette_count; p++)
            if (used & 1u << p)
                palettes->push_back(p);
    }
    if (palettes->empty())
        palettes->push_back(0);
    out->pngs.resize(palettes->size());
    for (size_t i = 0; i < palettes->size(); i++) {
        int p = (*palettes)[i];
        out->png_names.push_back(std::string(texture_name) + "_tex_" + std::to_string(p) + ".png");
        int result = write_sheet_png(&work->mesh.palettes.colours[p * colours_per_palette], out->png_names[i].c_str(),
                                     &out->pngs[i], &out->log, &work->texture);
        if (result != texture_done)
            return result;
        if (options->glb)
            out->png_bytes.push_back(work->texture.png);
    }
    return texture_done;
}

// Writes MESH_TEXTURE.glb with the very PNG bytes of the pair's sheets. Returns 0, or -1 after a
// message.
static int write_glb_output(const char* mesh_name, const char* texture_name, const std::vector<int>& palettes,
                            pair_outputs* out, worker_buffers* work)
{
    out->glb_name = std::string(mesh_name) + "_" + texture_name + ".glb";
    std::vector<glb_sheet> sheets;
    for (size_t i = 0; i < palettes.size(); i++)
        sheets.push_back(glb_sheet{palettes[i], &out->png_bytes[i]});
    std::string bytes, error;
    if (write_glb(&work->mesh, sheets, &bytes, &error) != 0) {
        log_error(&out->log, out->glb_name.c_str(), "%s", error.c_str());
        return -1;
    }
    return write_output_or_report(&out->glb, out->glb_name.c_str(), bytes.data(), bytes.size(), &out->log);
}

int convert(const char* mesh_name, const char* texture_name, const run_options* options, pair_outputs* out,
            worker_buffers* work)
{
    console_log* log = &out->log;
    log_out(log, "Converting %s with %s\n", mesh_name, texture_name);
    if (check_mesh(mesh_name, log) != 0) {
        log_out(log, "%s", not_a_mesh);
        return out->result = -1;
    }
    if (read_map_mesh(mesh_name, &work->mesh, log) != 0)
        return out->result = -1;
    log_out(log, "Converting %s with %s\n", mesh_name, texture_name);

    std::vector<int> palettes;
    int texture = export_texture(texture_name, options, out, work, &palettes);
    if (texture == texture_refused)
        return out->result = -1;
    if (texture == texture_png_failed) {
        out->png_failed = 1;
        return out->result = -1;
    }

    out->mtl_name = std::string(mesh_name) + "_" + texture_name + ".mtl";
    out->obj_name = std::string(mesh_name) + "_" + texture_name + ".obj";
    int written = output_create(&out->obj);
    if (written == 0)
        written = write_obj_text(&work->mesh, out->mtl_name.c_str(), options->all_palettes,
                                 options->mesh_repeats ? &work->obj : nullptr, &out->obj);
    if (finish_output_or_report(&out->obj, written, out->obj_name.c_str(), log) != 0)
        return out->result = -1;
    written = output_create(&out->mtl);
    if (written == 0)
        written = options->all_palettes ? write_mtl_palettes(palettes, out->png_names, &out->mtl)
                                        : write_mtl(out->png_names[0].c_str(), &out->mtl);
    if (finish_output_or_report(&out->mtl, written, out->mtl_name.c_str(), log) != 0)
        return out->result = -1;
    if (options->glb && write_glb_output(mesh_name, texture_name, palettes, out, work) != 0)
        return out->result = -1;
    return out->result = 0;
}

void discard_pair(pair_outputs* out)
{
    for (output_file& png : out->pngs)
        output_discard(&png);
    output_discard(&out->obj);
    output_discard(&out->mtl);
    output_discard(&out->glb);
}

// Puts one finished temporary in place. Returns 0, or -1 after a message.
static int put_in_place(output_file* f, const std::string& name, console_log* log)
{
    if (f->temp_name.empty() || output_commit(f, name.c_str()) == 0)
        return 0;
    log_error(log, name.c_str(), "%s", error_text(f->error).c_str());
    return -1;
}

int commit_pair(pair_outputs* out)
{
    int status = out->result;
    for (size_t i = 0; i < out->pngs.size() && status != status_png_failed; i++)
        if (put_in_place(&out->pngs[i], out->png_names[i], &out->log) != 0)
            status = status_png_failed;
    if (out->png_failed || status == status_png_failed) {
        status = status_png_failed;
    } else if (put_in_place(&out->obj, out->obj_name, &out->log) != 0) {
        status = -1;
    } else if (put_in_place(&out->mtl, out->mtl_name, &out->log) != 0) {
        status = -1;
    } else if (put_in_place(&out->glb, out->glb_name, &out->log) != 0) {
        status = -1;
    }
    discard_pair(out);
    flush_log(&out->log);
    fflush(stdout);
    return status;
}
