#include "preview/encode_preview.h"

#include <cstring>

namespace {

// Below this many pixels both encodings are tried and the smaller kept: cheap at that size, and
// where a palette's own bytes can outweigh what it saves.
constexpr size_t both_below = 16384;

uint32_t colour_key(const uint8_t* pixel)
{
    return uint32_t(pixel[0]) | uint32_t(pixel[1]) << 8 | uint32_t(pixel[2]) << 16 | uint32_t(pixel[3]) << 24;
}

}  // namespace

bool preview_palette(const preview_image& image, png_palette* palette, std::vector<uint8_t>* indices)
{
    // A table of 1,024 slots, open addressed, holds the 256 colours at a quarter full.
    constexpr uint32_t slots = 1024;
    uint32_t keys[slots] = {};
    int16_t found[slots];
    memset(found, -1, sizeof found);
    size_t pixel_count = size_t(image.width) * size_t(image.height);
    indices->resize(pixel_count);
    palette->count = 0;
    palette->alpha_count = 0;
    palette->bit_depth = 8;
    auto add = [&](uint32_t key, const uint8_t* pixel) -> int {
        uint32_t slot = (key * 2654435761u) >> 22;
        for (; found[slot] >= 0; slot = (slot + 1) & (slots - 1))
            if (keys[slot] == key)
                return found[slot];
        if (palette->count == 256)
            return -1;
        int index = palette->count++;
        keys[slot] = key;
        found[slot] = int16_t(index);
        memcpy(&palette->rgb[index * 3], pixel, 3);
        return index;
    };
    // Transparent first, so that tRNS holds one entry.
    const uint8_t transparent[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < pixel_count; i++)
        if (image.pixels[i * 4 + 3] == 0) {
            add(0, transparent);
            palette->alpha[0] = 0;
            palette->alpha_count = 1;
            break;
        }
    uint32_t last_key = 0;
    int last = -1;
    for (size_t i = 0; i < pixel_count; i++) {
        const uint8_t* pixel = &image.pixels[i * 4];
        uint32_t key = colour_key(pixel);
        if (last < 0 || key != last_key) {
            if (pixel[3] != 255 && key != 0)
                return false;  // a drawing shows opaque colours and plain transparent only
            last = add(key, pixel);
            last_key = key;
            if (last < 0)
                return false;
        }
        (*indices)[i] = uint8_t(last);
    }
    return true;
}

int encode_preview(const preview_image& image, byte_sink* out, std::string* error, int threads)
{
    png_palette palette;
    std::vector<uint8_t> indices;
    if (!preview_palette(image, &palette, &indices))
        return encode_png_pixels(image.pixels.data(), image.width, image.height, true, true, out, error, threads);
    if (indices.size() >= both_below)
        return encode_png_indexed(indices.data(), image.width, image.height, &palette, true, out, error, threads);
    std::vector<uint8_t> indexed, rgba;
    byte_sink indexed_sink = memory_sink(&indexed), rgba_sink = memory_sink(&rgba);
    if (encode_png_indexed(indices.data(), image.width, image.height, &palette, true, &indexed_sink, error) != 0 ||
        encode_png_pixels(image.pixels.data(), image.width, image.height, true, true, &rgba_sink, error) != 0)
        return -1;
    const std::vector<uint8_t>& smaller = indexed.size() < rgba.size() ? indexed : rgba;
    return sink_write(out, smaller.data(), smaller.size());
}
