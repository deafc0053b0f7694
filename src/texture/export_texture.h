// The texture stage of a pair: reads the sheet once, and colours it through each palette the pair
// needs into a PNG.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "files.h"
#include "mesh/map_mesh.h"
#include "texture/texture_image.h"

// Buffers one worker reuses from pair to pair.
struct texture_work {
    std::vector<uint8_t> sheet;  // the file's 131,072 bytes
    texture_image image;
};

// A PNG made in this run, and what it was made from.
struct encoded_sheet {
    std::vector<uint8_t> sheet;
    bool indexed = false;  // a 4-bit palette PNG of the sheet's own indices
    palette_colour palette[colours_per_palette];
    std::vector<uint8_t> png;
};

// The sheets a run has encoded: a sheet paired with several meshes that share a palette is encoded
// once. Only the last few are kept, so a folder of many sheets costs little memory. Shared by the
// run's workers.
struct sheet_cache {
    std::mutex lock;
    std::vector<std::shared_ptr<const encoded_sheet>> sheets;  // newest last
};

constexpr size_t sheet_cache_size = 8;

// Reads the first 131,072 bytes of the sheet into work->sheet. Returns 0, or -1 with *problem set.
int read_texture_sheet(const byte_source* source, texture_work* work, read_problem* problem);

// Encodes the 131,072-byte sheet as a 4-bit palette PNG: the 16 colours of palette, and the sheet's
// own indices, its last row first. Returns and throws as encode_png.
int encode_indexed_sheet(const std::vector<uint8_t>& sheet, const palette_colour* palette, byte_sink* out,
                         std::string* error);

// Colours the sheet in work->sheet through the 16 colours of palette and encodes it as PNG (RGB; with
// indexed, a 4-bit palette PNG of the palette's colours and the sheet's own indices), or takes the
// PNG this run already made of the same sheet and palette. Returns 0 with *png set, or -1 with
// libpng's message in *error.
int export_texture(const palette_colour* palette, sheet_cache* cache, texture_work* work,
                   std::shared_ptr<const encoded_sheet>* png, std::string* error, bool indexed = false);
