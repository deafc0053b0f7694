#include "convert.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "byte_sink.h"
#include "gltf/encode_glb.h"
#include "mesh/read_map_mesh.h"
#include "wavefront/wavefront.h"

namespace {

// Makes one output of the pair: creates its temporary, has encode (taking the sink and a place for
// its own reason) write into it, and finishes it. Returns 0, or -1 after "mapconv: NAME: reason"
// with the temporary removed. Every output of a pair is made here.
template <typename encoder>
int make_output(converted_pair* pair, std::string name, int is_sheet, encoder encode)
{
    pair->outputs.push_back(pair_output{std::move(name), output_file(), is_sheet});
    pair_output* out = &pair->outputs.back();
    std::string reason;
    int result = output_create(&out->file);
    if (result == 0) {
        byte_sink sink = file_sink(&out->file);
        result = encode(&sink, &reason);
    }
    if (result == 0 && output_finish(&out->file) == 0)
        return 0;
    // The file's own failure is the reason when there is one; otherwise the encoder's.
    if (out->file.error != 0)
        reason = error_text(out->file.error);
    note_error(&pair->log, out->file.error);
    log_error(&pair->log, out->name.c_str(), "%s", reason.c_str());
    output_discard(&out->file);
    return -1;
}

// The palettes the pair's sheets are coloured with: 0, or with --all-palettes every palette the
// terrain uses (0 when it uses none, so that every pair has a sheet).
std::vector<int> sheet_palettes(const map_mesh& mesh, const pair_options* options)
{
    std::vector<int> palettes;
    uint16_t used = options->all_palettes ? used_palette_mask(mesh) : 0;
    for (int p = 0; p < palette_count; p++)
        if (used & 1u << p)
            palettes.push_back(p);
    if (palettes.empty())
        palettes.push_back(0);
    return palettes;
}

pair_result fail(converted_pair* pair, pair_result result)
{
    return pair->result = result;
}

// A name with a line break or another control byte would put lines of its own into the OBJ and
// MTL files, which name the pair's other files.
bool has_control_byte(const char* name)
{
    for (const char* p = name; *p; p++)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F)
            return true;
    return false;
}

}  // namespace

pair_result convert(const char* mesh_name, const char* texture_name, const pair_options* options, sheet_cache* sheets,
                    worker_buffers* work, converted_pair* pair)
{
    console_log* log = &pair->log;
    for (const char* name : {mesh_name, texture_name}) {
        if (has_control_byte(name)) {
            log_error(log, name, "a control character in the name would break the OBJ and MTL files; rename it");
            return fail(pair, pair_failed);
        }
    }
    log_out(log, "Converting %s with %s\n", mesh_name, texture_name);
    if (check_mesh(mesh_name, log) != 0) {
        log_out(log, "%s", not_a_mesh);
        return fail(pair, pair_failed);
    }
    if (read_map_mesh(mesh_name, &work->mesh, &work->mesh_block, log) != 0)
        return fail(pair, pair_failed);
    log_out(log, "Converting %s with %s\n", mesh_name, texture_name);
    const map_mesh* mesh = &work->mesh;

    // The sheets: read once, coloured through each palette, each PNG encoded once per run.
    if (read_texture_sheet(texture_name, log, &work->texture) != 0)
        return fail(pair, pair_failed);
    std::vector<int> palettes = sheet_palettes(*mesh, options);
    std::vector<std::string> png_names;
    std::vector<std::shared_ptr<const encoded_sheet>> pngs(palettes.size());
    for (size_t i = 0; i < palettes.size(); i++) {
        png_names.push_back(std::string(texture_name) + "_tex_" + std::to_string(palettes[i]) + ".png");
        const palette_colour* palette = &mesh->palettes.colours[palettes[i] * colours_per_palette];
        auto encode = [&](byte_sink* out, std::string* reason) {
            if (export_texture(palette, sheets, &work->texture, &pngs[i], reason) != 0)
                return -1;
            sink_reserve(out, pngs[i]->png.size());
            return sink_write(out, pngs[i]->png.data(), pngs[i]->png.size());
        };
        if (make_output(pair, options->output_folder + png_names[i], 1, encode) != 0)
            return fail(pair, pair_stop_run);
    }

    std::string base = std::string(mesh_name) + "_" + texture_name;
    std::string mtl_name = base + ".mtl";
    auto obj = [&](byte_sink* out, std::string*) {
        return write_obj(mesh, mtl_name.c_str(), options->all_palettes, &work->obj_block, out);
    };
    // The files of a pair stay together: the names inside them have no folder.
    const std::string& folder = options->output_folder;
    if (make_output(pair, folder + base + ".obj", 0, obj) != 0)
        return fail(pair, pair_failed);
    auto mtl = [&](byte_sink* out, std::string*) {
        return options->all_palettes ? write_mtl_palettes(palettes, png_names, out)
                                     : write_mtl(png_names[0].c_str(), out);
    };
    if (make_output(pair, folder + mtl_name, 0, mtl) != 0)
        return fail(pair, pair_failed);
    if (options->glb) {
        // The very PNG bytes of the pair's sheets go into the .glb.
        std::vector<glb_sheet> glb_sheets;
        for (size_t i = 0; i < palettes.size(); i++)
            glb_sheets.push_back(glb_sheet{palettes[i], &pngs[i]->png});
        auto glb = [&](byte_sink* out, std::string* reason) { return encode_glb(mesh, glb_sheets, base, out, reason); };
        if (make_output(pair, folder + base + ".glb", 0, glb) != 0)
            return fail(pair, pair_failed);
    }
    return pair->result;
}

// Reports an output that cannot be put in place. Returns how the pair ends: a sheet ends the run,
// unless its name is at fault.
static pair_result commit_failure(converted_pair* pair, const pair_output* out, int error)
{
    log_error(&pair->log, out->name.c_str(), "%s", error_text(error).c_str());
    return out->is_sheet && error != ENAMETOOLONG ? pair_stop_run : pair_failed;
}

void discard_pair(converted_pair* pair)
{
    for (pair_output& out : pair->outputs)
        output_discard(&out.file);
}

pair_result commit_pair(converted_pair* pair)
{
    pair_result result = pair->result;
    // All of a pair or none of it: every output is finished, and every name is checked, before
    // the first is put in place.
    for (size_t i = 0; i < pair->outputs.size() && result == pair_done; i++) {
        int error;
        if (output_target_usable(pair->outputs[i].name.c_str(), &error) != 0)
            result = commit_failure(pair, &pair->outputs[i], error);
    }
    for (size_t i = 0; i < pair->outputs.size() && result == pair_done; i++) {
        pair_output& out = pair->outputs[i];
        if (output_commit(&out.file, out.name.c_str()) != 0)
            result = commit_failure(pair, &out, out.file.error);
    }
    discard_pair(pair);
    flush_log(&pair->log);
    fflush(stdout);
    return result;
}
