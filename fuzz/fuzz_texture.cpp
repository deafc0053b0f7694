// Sheet decoding and PNG encoding on arbitrary bytes: the first 32 bytes are a palette of 16
// colour words, the rest is the sheet, repeated to its full 131,072 bytes.
#include <png.h>

#include <cstring>

#include "texture/texture_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 33)
        return 0;
    palette_colour palette[16];
    for (int i = 0; i < 16; i++) {
        unsigned w = unsigned(data[2 * i] | data[2 * i + 1] << 8);
        palette[i] = palette_colour{0, uint16_t((w & 31) * 255 / 32), uint16_t((w >> 5 & 31) * 255 / 32),
                                    uint16_t((w >> 10 & 31) * 255 / 32)};
    }
    static std::vector<uint8_t> sheet(sheet_file_bytes);
    for (size_t i = 0, n = size - 32; i < sheet.size(); i++)
        sheet[i] = data[32 + i % n];

    static texture_image image;
    static std::vector<uint8_t> png;
    std::string error;
    decode_texture(sheet.data(), palette, &image);
    png.clear();
    byte_sink sink = memory_sink(&png);
    if (encode_png(&image, &sink, &error) != 0)
        __builtin_trap();

    // What was encoded decodes to the same pixels.
    png_image read;
    memset(&read, 0, sizeof read);
    read.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&read, png.data(), png.size()))
        __builtin_trap();
    read.format = PNG_FORMAT_RGB;
    static std::vector<uint8_t> back;
    back.resize(PNG_IMAGE_SIZE(read));
    if (!png_image_finish_read(&read, nullptr, back.data(), 0, nullptr) || back != image.pixels)
        __builtin_trap();
    return 0;
}
