// One pair's conversion: its stages in order, and every output it makes, from its creation to its
// being put in place or discarded.
#pragma once

#include <string>
#include <vector>

#include "console.h"
#include "files.h"
#include "mesh/face_order.h"
#include "mesh/map_mesh.h"
#include "preview/draw_preview.h"
#include "texture/export_texture.h"

// What the user asked of every pair.
struct pair_options {
    int all_palettes = 0;       // a sheet and a material for every palette the terrain uses
    int glb = 0;                // also MESH_TEXTURE.glb
    int face_up = 0;            // OBJ faces in the corner order the .glb uses
    int indexed_sheets = 0;     // sheets as 4-bit palette PNGs of their own indices
    int preview = 0;            // also MESH_TEXTURE_top.png, and the run's index.html
    int preview_size = 512;     // the preview's longest side in pixels
    int quiet = 0;              // no progress lines on standard output
    std::string output_folder;  // "" (the current folder), or where outputs go, ending in '/'
    size_t pairs_per_mesh = 1;  // texture candidates: a mesh's OBJ text is kept when another pair follows
    int spare_cores = 0;        // idle cores a pair may use: its preview, else its .glb, is made on them
};

// What one worker keeps from pair to pair.
struct worker_buffers {
    map_mesh mesh;
    std::vector<uint8_t> mesh_block;  // the mesh file's block, from its counts to its palettes
    texture_work texture;
    std::vector<char> obj_block;  // OBJ text on its way to the file
    // The OBJ text after the mtllib line is the same for every pair of a mesh, and pairs are taken
    // mesh by mesh: the last one made is kept, with the mesh block and grouping it was made from.
    std::vector<uint8_t> obj_body;
    std::vector<uint8_t> obj_body_source;
    face_orders orders;     // the faces' orders, for --face-up
    preview_image preview;  // the picture of --preview before it is encoded
};

// How a pair ended.
enum pair_result {
    pair_done,      // every output is in place
    pair_failed,    // the pair failed; the run goes on with the next
    pair_stop_run,  // a PNG could not be written: the run ends at this pair
};

// One output of a pair, under a temporary name until the pair is committed, or in memory.
struct pair_output {
    std::string name;  // its path: the output folder and the file's name
    output_file file;
    int is_sheet;                // a PNG sheet: failing to put it in place ends the run
    std::vector<uint8_t> bytes;  // the output, for a pair converted in memory
};

// A converted pair waiting to be committed: its console text and its finished outputs.
struct converted_pair {
    int in_memory = 0;  // the outputs are kept in their bytes, and never become files
    console_log log;
    pair_result result = pair_done;
    std::vector<pair_output> outputs;  // in the order they are put in place: PNGs, OBJ, MTL, .glb, preview
    // What the run's index page says of the pair.
    polygon_counts counts = {};
    uint16_t used_palettes = 0;  // the terrain's palettes, as a mask
    std::string reasons;         // why it failed: its messages on standard error
};

// The names a pair gives its outputs, each formed here only: MESH_TEXTURE (of the OBJ, MTL and
// .glb) and TEXTURE_tex_P.png.
std::string pair_base_name(const std::string& mesh_name, const std::string& texture_name);
std::string sheet_png_name(const std::string& texture_name, int palette);
std::string preview_name(const std::string& mesh_name, const std::string& texture_name);  // MESH_TEXTURE_top.png

// Whether this build writes .glb files (a build with -DMAPCONV_GLTF=OFF does not).
bool glb_available();

// Opens an input of the run: a candidate at the scan, or a pair's mesh or sheet. On failure prints
// "Error opening NAME" and the reason, and returns -1.
int open_run_input(const char* name, console_log* log, byte_source* source);

// A pair's mesh stage: reads the mesh from source, printing the untextured quad count and the
// statistics, or the refusal ("Not a mesh file." and the reason; name is used in messages only).
// block is as read_mesh_block leaves it. Returns 0, or -1.
int read_mesh_stage(const byte_source* source, const char* name, map_mesh* mesh, std::vector<uint8_t>* block,
                    console_log* log);

// A pair's sheet stage: reads the sheet from source, or prints the refusal ("Not a texture file."
// and the reason). Returns 0, or -1.
int read_sheet_stage(const byte_source* source, const char* name, texture_work* work, console_log* log);

// Converts one pair: prints into pair->log and leaves its outputs finished under temporary names.
// A pair whose names hold a control byte is refused. Returns pair->result.
pair_result convert(const char* mesh_name, const char* texture_name, const pair_options* options, sheet_cache* sheets,
                    worker_buffers* work, converted_pair* pair);

// Converts one pair from bytes in memory, as convert does from the files of those names; the
// outputs stay in memory (pair->in_memory), for the fuzz target and the tests. Returns pair->result.
pair_result convert_bytes(const char* mesh_name, const byte_source* mesh, const char* texture_name,
                          const byte_source* texture, const pair_options* options, sheet_cache* sheets,
                          worker_buffers* work, converted_pair* pair);

// Puts a converted pair's outputs in place, all of them or, when the pair failed or a name cannot
// take its output, none; prints the pair's console text and returns how the pair ended.
pair_result commit_pair(converted_pair* pair);

// Removes whatever temporaries the pair still holds.
void discard_pair(converted_pair* pair);
