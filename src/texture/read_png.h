// An edited picture of a sheet, read back: any PNG libpng reads, of the sheet's size only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A picture of width x height as 8-bit RGBA, rows top first; and, for a palette PNG, its indices
// and its palette as the file holds them.
struct read_picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    bool indexed = false;
    std::vector<uint8_t> indices;  // one a pixel, with indexed
    std::vector<uint8_t> palette;  // red, green, blue for each entry, with indexed
};

// Reads the PNG in bytes. Its header must say width x height, which bounds every allocation; 16-bit
// channels are scaled to 8, grey and palette pixels become RGB, transparency becomes alpha. Returns
// 0, or -1 with the reason in *error.
int read_png_picture(const uint8_t* bytes, size_t size, int width, int height, read_picture* picture,
                     std::string* error);
