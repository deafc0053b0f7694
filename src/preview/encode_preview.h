// A preview as a PNG. It shows at most 258 colours (sixteen palettes of sixteen, the untextured
// grey, transparent), so it mostly fits a palette PNG, a byte a pixel instead of four.
#pragma once

#include <string>
#include <vector>

#include "byte_sink.h"
#include "preview/draw_preview.h"
#include "texture/texture_image.h"

// The picture's colours in the order they first appear, transparent (all zero) first where there
// is any, and each pixel's index into them. Returns false when there are more than 256.
bool preview_palette(const preview_image& image, png_palette* palette, std::vector<uint8_t>* indices);

// Encodes the picture, at zlib's fastest level: as a palette PNG where it has 256 colours or
// fewer, and as RGBA otherwise or where that is smaller (a small picture, whose palette takes more
// room than its pixels). The decoded pixels are the same either way. A large picture is compressed
// on as many threads as given, the same bytes however many. Returns and throws as encode_png.
int encode_preview(const preview_image& image, byte_sink* out, std::string* error, int threads = 1);
