// Reading what the converter reads and writes, for the tests: mesh bytes through the reader, PNG
// files and bytes back to pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh/map_mesh.h"

// A mesh file's bytes through the reader: its result, the decoded mesh and what it printed.
struct decoded_mesh {
    int result = -1;
    map_mesh mesh;
    std::string out, err;
};

decoded_mesh decode_mesh_bytes(const std::string& bytes, const char* name = "m.msh");

// A PNG's header and pixels as 8-bit RGB rows, top row first; ok is false when it does not decode.
struct decoded_png {
    bool ok = false;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;  // or RGBA
};

// With alpha, the pixels are 8-bit RGBA.
decoded_png read_png(const std::string& bytes, bool alpha = false);

// A PNG file's pixels; empty when it does not decode.
std::vector<uint8_t> png_pixels(const std::string& path);
