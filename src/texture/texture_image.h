// A texture sheet: 256 x 1024 pixels of 4-bit colour indices, coloured through one palette.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "mesh/map_mesh.h"

constexpr int sheet_width = 256;
constexpr int sheet_height = 1024;
constexpr int sheet_file_row_bytes = sheet_width / 2;                  // two pixels a byte
constexpr int sheet_file_bytes = sheet_file_row_bytes * sheet_height;  // 131,072
constexpr int sheet_image_row_bytes = sheet_width * 3;                 // red, green, blue

// 1024 rows of 768 bytes, top row first, in one buffer.
struct texture_image {
    std::vector<uint8_t> pixels;
};

// Colours the 131,072-byte sheet through the 16 colours of one palette. File row k becomes image
// row 1023 - k; each byte gives two pixels, high nibble left.
void decode_texture(const uint8_t* sheet, const palette_colour* palette, texture_image* image);

// Encodes the image as an 8-bit RGB PNG with libpng's default settings into out. Returns 0, or -1
// with libpng's message (or the sink's failure) in *error. Memory that cannot be had, libpng's
// included, throws std::bad_alloc, as every allocation in a pair does.
int encode_png(const texture_image* image, byte_sink* out, std::string* error);

// Encodes width x height pixels of 8-bit RGB, or RGBA with alpha, rows top first, with libpng's
// default settings, or with quick zlib's fastest level and rows unfiltered (a picture of a map
// made by the thousand compresses slowly at the defaults, and larger). Quick rows of more than
// png_piece_bytes are compressed in pieces of about as many, each on its own, on as many threads
// as given: the same bytes however many. Returns and throws as encode_png.
int encode_png_pixels(const uint8_t* pixels, int width, int height, bool alpha, bool quick, byte_sink* out,
                      std::string* error, int threads = 1);

// A piece of a large picture's rows compressed on its own loses only the matches that would
// reach into the piece before it: a few bytes in a megabyte.
constexpr size_t png_piece_bytes = size_t(1) << 20;

// A PNG's palette: count colours of 8-bit RGB, the first alpha_count of them with the given alpha
// (tRNS), and the bits an index takes in a row (1, 2, 4 or 8).
struct png_palette {
    int count = 0;
    uint8_t rgb[256 * 3] = {};
    int alpha_count = 0;
    uint8_t alpha[256] = {};
    int bit_depth = 8;
};

// Encodes width x height palette indices, rows top first, each row packed at the palette's bit
// depth (high bits leftmost). Compressed as encode_png_pixels; returns and throws as encode_png.
int encode_png_indexed(const uint8_t* indices, int width, int height, const png_palette* palette, bool quick,
                       byte_sink* out, std::string* error, int threads = 1);
