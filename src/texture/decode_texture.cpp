#include "texture/texture_image.h"

#include <cstring>

void decode_texture(const uint8_t* sheet, const palette_colour* palette, texture_image* image)
{
    // Every byte value maps to the same pair of pixels: look the six bytes up once per sheet.
    uint8_t pairs[256][6];
    for (int b = 0; b < 256; b++) {
        const palette_colour& left = palette[b >> 4];
        const palette_colour& right = palette[b & 15];
        pairs[b][0] = uint8_t(left.red);
        pairs[b][1] = uint8_t(left.green);
        pairs[b][2] = uint8_t(left.blue);
        pairs[b][3] = uint8_t(right.red);
        pairs[b][4] = uint8_t(right.green);
        pairs[b][5] = uint8_t(right.blue);
    }
    image->pixels.resize(size_t(sheet_image_row_bytes) * sheet_height);
    for (int k = 0; k < sheet_height; k++) {
        // The file's first row is the image's bottom row.
        const uint8_t* in = sheet + size_t(k) * sheet_file_row_bytes;
        uint8_t* out = image->pixels.data() + size_t(sheet_height - 1 - k) * sheet_image_row_bytes;
        for (int j = 0; j < sheet_file_row_bytes; j++, out += 6)
            memcpy(out, pairs[in[j]], 6);
    }
}
