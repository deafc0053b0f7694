// The texture stage of a pair: reads the sheet once, colours it through a palette and writes the
// PNG; with several palettes, once for each.
#pragma once

#include <string>
#include <vector>

#include "console.h"
#include "mesh/map_mesh.h"
#include "platform.h"
#include "texture/texture_image.h"

// Buffers one worker reuses from pair to pair.
struct texture_work {
    std::vector<uint8_t> sheet;
    texture_image image;
    std::vector<uint8_t> png;
};

constexpr int texture_done = 0;
constexpr int texture_refused = -1;    // the pair fails; nothing was written
constexpr int texture_png_failed = -2; // the PNG cannot be written: the run ends

// Colours the sheet already in work->sheet through palette and writes its PNG into *png_out.
// Returns texture_done or texture_png_failed.
int write_sheet_png(const palette_colour* palette, const char* png_name, output_file* png_out, console_log* log,
                    texture_work* work);

// Reads the first 131,072 bytes of the named sheet into work->sheet. Returns 0, or -1 after
// "Error opening" or "Not a texture file." and a reason.
int read_texture_sheet(const char* texture_name, console_log* log, texture_work* work);

// Colours the sheet in work->sheet and leaves its PNG bytes in work->png. Encodes only once for a
// sheet and palette that this run has already encoded. Returns 0, or -1 with libpng's message.
int sheet_to_png(const palette_colour* palette, texture_work* work, std::string* error);
