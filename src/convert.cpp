#include "convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "beside.h"
#include "byte_sink.h"
#include "gltf/encode_glb.h"
#include "mesh/read_map_mesh.h"
#include "preview/draw_preview.h"
#include "preview/encode_preview.h"
#include "wavefront/wavefront.h"

namespace {

// Makes one output of the pair: creates its temporary, has encode (taking the sink and a place for
// its own reason) write into it, and finishes it. Returns 0, or -1 after "mapconv: NAME: reason"
// with the temporary removed. Every output of a pair is made here.
template <typename encoder>
int make_output(converted_pair* pair, std::string name, int is_sheet, encoder encode)
{
    pair->outputs.push_back(pair_output{std::move(name), output_file(), is_sheet, {}});
    pair_output* out = &pair->outputs.back();
    std::string reason;
    if (pair->in_memory) {
        byte_sink sink = memory_sink(&out->bytes);
        if (encode(&sink, &reason) == 0)
            return 0;
        log_error(&pair->log, out->name.c_str(), "%s", reason.c_str());
        return -1;
    }
    int result = output_create(&out->file);
    if (result == 0) {
        byte_sink sink = file_sink(&out->file);
        result = encode(&sink, &reason);
    }
    if (result == 0 && output_finish(&out->file, out->name.c_str()) == 0)
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

// What one conversion works from and into.
struct pair_job {
    const char* mesh_name;
    const char* texture_name;
    const byte_source* mesh_bytes;     // the mesh in memory, or null: the file mesh_name
    const byte_source* texture_bytes;  // the sheet in memory, or null: the file texture_name
    const pair_options* options;
    sheet_cache* sheets;
    worker_buffers* work;
    converted_pair* pair;
};

// An input of the pair, open while it is read and closed however the reading ends.
struct pair_input {
    byte_source source = file_source(-1);
    ~pair_input() { close_input(source.fd); }
};

// Opens an input of the job, or takes its bytes. Returns the source, or null after "Error opening".
const byte_source* open_pair_input(const char* name, const byte_source* bytes, console_log* log, pair_input* in)
{
    if (bytes)
        return bytes;
    return open_run_input(name, log, &in->source) == 0 ? &in->source : nullptr;
}

// Decodes the pair's mesh into work->mesh. Returns 0, or -1 after "Not a mesh file.".
int read_pair_mesh(const pair_job& job)
{
    console_log* log = &job.pair->log;
    pair_input in;
    const byte_source* source = open_pair_input(job.mesh_name, job.mesh_bytes, log, &in);
    if (!source || check_mesh(source) != 0) {
        log_out(log, "%s", not_a_mesh);
        return -1;
    }
    return read_mesh_stage(source, job.mesh_name, &job.work->mesh, &job.work->mesh_block, log);
}

int read_pair_sheet(const pair_job& job)
{
    pair_input in;
    const byte_source* source = open_pair_input(job.texture_name, job.texture_bytes, &job.pair->log, &in);
    if (!source)
        return -1;
    return read_sheet_stage(source, job.texture_name, &job.work->texture, &job.pair->log);
}

// Text of at most this many bytes is kept for the mesh's next pair; larger text goes to the file a
// block at a time, as holding it whole would cost more memory than formatting it again costs time.
constexpr uint64_t obj_body_kept_limit = 16u << 20;

// The OBJ: the pair's mtllib line, then the mesh's text, made once for all the pairs of the mesh
// that one worker converts in a row. A mesh with one pair streams its text, a block at a time:
// keeping it would only cost memory.
int write_pair_obj(const std::string& mtl_name, const obj_materials& materials, const pair_options* options,
                   worker_buffers* work, byte_sink* out)
{
    std::string mtllib = obj_mtllib_line(mtl_name.c_str());
    const map_mesh* mesh = &work->mesh;
    uint64_t estimate = obj_body_size_estimate(mesh);
    // The faces' orders, worked out only where text is made.
    auto orders = [&]() -> const face_orders* {
        if (!options->face_up)
            return nullptr;
        work->orders = choose_face_orders(mesh);
        return &work->orders;
    };
    if (options->pairs_per_mesh < 2 || estimate > obj_body_kept_limit) {
        sink_reserve(out, mtllib.size() + estimate);
        if (sink_write(out, mtllib.data(), mtllib.size()) != 0)
            return -1;
        return write_obj_body(mesh, materials, orders(), &work->obj_block, out);
    }
    std::vector<uint8_t>& made_from = work->obj_body_source;
    const std::vector<uint8_t>& block = work->mesh_block;
    uint8_t grouping = uint8_t(materials.by_palette | options->face_up << 1);
    bool same = made_from.size() == block.size() + 1 && made_from[0] == grouping &&
                std::equal(block.begin(), block.end(), made_from.begin() + 1);
    if (!same) {
        made_from.clear();
        work->obj_body.clear();
        work->obj_body.reserve(size_t(estimate));
        byte_sink text = memory_sink(&work->obj_body);
        write_obj_body(mesh, materials, orders(), &work->obj_block, &text);
        made_from.push_back(grouping);
        made_from.insert(made_from.end(), block.begin(), block.end());
    }
    sink_reserve(out, mtllib.size() + work->obj_body.size());
    if (sink_write(out, mtllib.data(), mtllib.size()) != 0)
        return -1;
    return sink_write(out, work->obj_body.data(), work->obj_body.size());
}

}  // namespace

std::string pair_base_name(const std::string& mesh_name, const std::string& texture_name)
{
    return mesh_name + "_" + texture_name;
}

std::string sheet_png_name(const std::string& texture_name, int palette)
{
    return texture_name + "_tex_" + std::to_string(palette) + ".png";
}

std::string preview_name(const std::string& mesh_name, const std::string& texture_name)
{
    return pair_base_name(mesh_name, texture_name) + "_top.png";
}

bool glb_available()
{
    return glb_built_in;
}

int read_mesh_stage(const byte_source* source, const char* name, map_mesh* mesh, std::vector<uint8_t>* block,
                    console_log* log)
{
    polygon_counts counts;
    read_problem problem;
    int result = read_mesh_counts(source, &counts, &problem);
    if (result == 0) {
        log_out(log, "%i\n", int(counts.untex_quad_count));
        result = read_mesh_block(source, counts, mesh, block, &problem);
    }
    if (result != 0) {
        note_error(log, problem.error);
        log_error(log, name, "%s", problem.reason.c_str());
        log_out(log, "%s", not_a_mesh);
        return -1;
    }
    log_out(log, "Triangles in Map: %i\n", int(counts.tex_tri_count));
    log_out(log, "Quads in Map: %i\n", int(counts.tex_quad_count));
    log_out(log, "Untextured Triangles in Map: %i\n", int(counts.untex_tri_count));
    log_out(log, "Untextured Quads in Map: %i\n", int(counts.untex_quad_count));
    return 0;
}

int read_sheet_stage(const byte_source* source, const char* name, texture_work* work, console_log* log)
{
    read_problem problem;
    if (read_texture_sheet(source, work, &problem) != 0) {
        note_error(log, problem.error);
        log_out(log, "%s", not_a_texture);
        log_error(log, name, "%s", problem.reason.c_str());
        return -1;
    }
    return 0;
}

int open_run_input(const char* name, console_log* log, byte_source* source)
{
    int fd, error;
    std::string reason;
    if (open_input(name, &fd, &reason, &error) != 0) {
        note_error(log, error);
        log_out(log, "Error opening %s\n", name_for_stdout(name).c_str());
        log_error(log, name, "%s", reason.c_str());
        return -1;
    }
    *source = file_source(fd);
    return 0;
}

namespace {

// The pair's sheets: the palettes they are coloured through, their PNG names and encoded bytes.
struct pair_sheets {
    std::vector<int> palettes;
    std::vector<std::string> png_names;
    std::vector<std::shared_ptr<const encoded_sheet>> pngs;
};

// Makes the pair's PNG sheets: the sheet read once, coloured through each palette, each PNG
// encoded once per run. Returns 0, or -1 after a message.
int make_sheets(const pair_job& job, pair_sheets* out)
{
    const map_mesh* mesh = &job.work->mesh;
    out->palettes = sheet_palettes(*mesh, job.options);
    out->pngs.resize(out->palettes.size());
    for (size_t i = 0; i < out->palettes.size(); i++) {
        out->png_names.push_back(sheet_png_name(job.texture_name, out->palettes[i]));
        const palette_colour* palette = &mesh->palettes.colours[out->palettes[i] * colours_per_palette];
        auto encode = [&](byte_sink* sink, std::string* reason) {
            if (export_texture(palette, job.sheets, &job.work->texture, &out->pngs[i], reason,
                               job.options->indexed_sheets != 0) != 0)
                return -1;
            sink_reserve(sink, out->pngs[i]->png.size());
            return sink_write(sink, out->pngs[i]->png.data(), out->pngs[i]->png.size());
        };
        if (make_output(job.pair, job.options->output_folder + out->png_names[i], 1, encode) != 0)
            return -1;
    }
    return 0;
}

// The .glb laid out on a thread of its own while the OBJ and the MTL are written, where the run
// leaves a core idle: its welding is most of its cost, and needs only the mesh and the sheets.
struct glb_layout_job {
    const map_mesh* mesh;
    std::vector<glb_sheet> sheets;
    std::string pair_name;
    glb_plan plan;
};

void lay_out_glb(void* argument)
{
    glb_layout_job* g = static_cast<glb_layout_job*>(argument);
    plan_glb(g->mesh, g->sheets, g->pair_name, &g->plan);
}

// The preview drawn on a thread of its own from the moment the mesh and the sheet are read, where
// the run leaves a core idle: on a large map of overlapping triangles it costs more than the rest
// of the pair, and needs nothing the pair's other outputs change.
struct preview_drawing {
    const map_mesh* mesh;
    const uint8_t* sheet;
    int size;
    preview_image* image;
    int threads;  // a large picture is drawn on as many: the pair's own and the idle cores
};

void draw_pair_preview(void* argument)
{
    const preview_drawing* d = static_cast<const preview_drawing*>(argument);
    draw_preview(d->mesh, d->sheet, d->size, d->image, nullptr, d->threads);
}

// Makes the OBJ and the MTL, and the .glb and the preview (drawn by drawing) where asked. Returns
// 0, or -1 after a message.
int make_models(const pair_job& job, const pair_sheets& sheets, work_beside* drawing)
{
    const pair_options* options = job.options;
    const map_mesh* mesh = &job.work->mesh;
    obj_materials materials = {&sheets.palettes, options->all_palettes};
    std::string base = pair_base_name(job.mesh_name, job.texture_name);
    std::string mtl_name = base + ".mtl";
    // The files of a pair stay together: the names inside them have no folder.
    const std::string& folder = options->output_folder;
    auto obj = [&](byte_sink* out, std::string*) {
        return write_pair_obj(mtl_name, materials, options, job.work, out);
    };
    auto mtl = [&](byte_sink* out, std::string*) { return write_mtl(materials, sheets.png_names, out); };
    // The very PNG bytes of the pair's sheets go into the .glb.
    glb_layout_job layout = {mesh, {}, base, {}};
    for (size_t i = 0; i < sheets.palettes.size(); i++)
        layout.sheets.push_back(glb_sheet{sheets.palettes[i], &sheets.pngs[i]->png});
    // One core idle, one thread beside: the preview's, where it is asked, costs more.
    work_beside beside;
    start_beside(lay_out_glb, &layout, options->glb && options->spare_cores > 0 && !options->preview, &beside);
    if (make_output(job.pair, folder + base + ".obj", 0, obj) != 0 ||
        make_output(job.pair, folder + mtl_name, 0, mtl) != 0)
        return -1;
    auto glb = [&](byte_sink* out, std::string*) {
        finish_beside(&beside);
        return write_planned_glb(layout.plan, out);
    };
    if (options->glb && make_output(job.pair, folder + base + ".glb", 0, glb) != 0)
        return -1;
    // Drawn from the sheet's indices through each triangle's own palette, whatever the options.
    auto top = [&](byte_sink* out, std::string* reason) {
        finish_beside(drawing);
        return encode_preview(job.work->preview, out, reason, options->spare_cores + 1);
    };
    std::string preview = folder + preview_name(job.mesh_name, job.texture_name);
    if (options->preview && make_output(job.pair, preview, 0, top) != 0)
        return -1;
    return 0;
}

pair_result convert_job(const pair_job& job)
{
    converted_pair* pair = job.pair;
    console_log* log = &pair->log;
    for (const char* name : {job.mesh_name, job.texture_name}) {
        if (has_control_byte(name)) {
            log_error(log, name, "a control character in the name would break the OBJ and MTL files; rename it");
            return fail(pair, pair_failed);
        }
    }
    log_out(log, "Converting %s with %s\n", job.mesh_name, job.texture_name);
    if (read_pair_mesh(job) != 0)
        return fail(pair, pair_failed);
    log_out(log, "Converting %s with %s\n", job.mesh_name, job.texture_name);
    pair->counts = job.work->mesh.counts;
    pair->used_palettes = used_palette_mask(job.work->mesh);
    pair_sheets sheets;
    if (read_pair_sheet(job) != 0)
        return fail(pair, pair_failed);
    const pair_options* options = job.options;
    preview_drawing drawing = {&job.work->mesh, job.work->texture.sheet.data(), options->preview_size,
                               &job.work->preview, options->spare_cores + 1};
    work_beside beside;
    start_beside(draw_pair_preview, &drawing, options->preview && options->spare_cores > 0, &beside);
    if (make_sheets(job, &sheets) != 0)
        return fail(pair, pair_stop_run);
    if (make_models(job, sheets, &beside) != 0)
        return fail(pair, pair_failed);
    return pair->result;
}

}  // namespace

pair_result convert(const char* mesh_name, const char* texture_name, const pair_options* options, sheet_cache* sheets,
                    worker_buffers* work, converted_pair* pair)
{
    return convert_job(pair_job{mesh_name, texture_name, nullptr, nullptr, options, sheets, work, pair});
}

pair_result convert_bytes(const char* mesh_name, const byte_source* mesh, const char* texture_name,
                          const byte_source* texture, const pair_options* options, sheet_cache* sheets,
                          worker_buffers* work, converted_pair* pair)
{
    pair->in_memory = 1;
    return convert_job(pair_job{mesh_name, texture_name, mesh, texture, options, sheets, work, pair});
}

// Reports an output that cannot be put in place. Returns how the pair ends: a sheet ends the run,
// unless its name is at fault or another program took its temporary.
static pair_result commit_failure(converted_pair* pair, const pair_output* out, int error)
{
    log_error(&pair->log, out->name.c_str(), "%s", error_text(error).c_str());
    bool the_pairs_own = error == ENAMETOOLONG || error == error_temporary_replaced;
    return out->is_sheet && !the_pairs_own ? pair_stop_run : pair_failed;
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
    // What the outputs replace is kept until the last one is in place: should a later rename fail,
    // the earlier ones are put back.
    size_t count = pair->outputs.size();
    std::vector<replaced_file> replaced(result == pair_done ? count : 0);
    size_t placed = 0;
    for (; placed < count && result == pair_done; placed++) {
        pair_output& out = pair->outputs[placed];
        bool last = placed + 1 == count;
        if (output_commit(&out.file, out.name.c_str(), last ? nullptr : &replaced[placed]) != 0) {
            result = commit_failure(pair, &out, out.file.error);
            break;
        }
    }
    for (size_t i = 0; i < replaced.size(); i++) {
        if (result != pair_done && i < placed)
            restore_replaced(&replaced[i], pair->outputs[i].name.c_str());
        else
            drop_replaced(&replaced[i]);
    }
    discard_pair(pair);
    for (const console_chunk& chunk : pair->log.chunks)
        if (chunk.to_stderr)
            pair->reasons += chunk.text;
    flush_log(&pair->log);
    fflush(stdout);
    return result;
}
