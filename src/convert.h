// The directory scan and the conversion of one mesh and texture pair.
#pragma once

#include <string>
#include <vector>

#include "console.h"
#include "mesh/map_mesh.h"
#include "platform.h"
#include "texture/export_texture.h"
#include "wavefront/wavefront.h"

struct run_options {
    int jobs = 1;          // pairs converted at once
    int mesh_repeats = 0;  // set by the pairing: each mesh is paired with more than one sheet
    int all_palettes = 0;  // a sheet and a material for every palette the terrain uses
    int glb = 0;           // also MESH_TEXTURE.glb
};

// Exit statuses of a run.
constexpr int status_done = 0;        // every pair converted, or nothing to pair
constexpr int status_failed = 1;      // a pair failed, or the folder could not be listed
constexpr int status_usage = 2;       // bad command line
constexpr int status_png_failed = 255; // a PNG could not be written: the run stopped there

// Lists ".", keeps the names that begin with prefix and do not end in obj, gns, mtl, png or glb, sorts
// them into meshes and texture candidates and converts every pair. Returns a run status.
int walkdir(const char* prefix, const run_options* options);

// Returns 0 when the byte at offset 64 of the named file is 0xC4, else -1 ("Error opening" first
// when it cannot be opened).
int check_mesh(const char* name, console_log* log);

// What one worker keeps from pair to pair.
struct worker_buffers {
    map_mesh mesh;
    texture_work texture;
    obj_text_cache obj;
};

// One pair's conversion: its console text, and its outputs waiting under temporary names.
struct pair_outputs {
    console_log log;
    int result = 0;      // 0, or -1 when the pair failed
    int png_failed = 0;  // the PNG could not be written: the run ends at this pair
    std::vector<std::string> png_names;  // one sheet, or one per palette used
    std::vector<output_file> pngs;
    std::vector<std::vector<uint8_t>> png_bytes;  // kept for the .glb only
    std::string mtl_name, obj_name, glb_name;
    output_file obj, mtl, glb;
};

// Converts one pair into *out: prints into out->log and writes the three outputs as temporaries.
// Returns out->result.
int convert(const char* mesh_name, const char* texture_name, const run_options* options, pair_outputs* out,
            worker_buffers* work);

// Puts a converted pair's outputs in place (PNG, OBJ, MTL) and prints its console text. Returns
// 0, -1 when the pair failed, or status_png_failed when the run must end.
int commit_pair(pair_outputs* out);

// Removes whatever temporaries the pair still holds.
void discard_pair(pair_outputs* out);

// Converts every mesh with every texture candidate, mesh-major, and puts each pair's outputs in
// place in pair order. Returns a run status.
int run_pairs(const std::vector<std::string>& meshes, const std::vector<std::string>& textures,
              const run_options* options);
