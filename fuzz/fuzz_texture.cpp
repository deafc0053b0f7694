// The sheet stage on arbitrary bytes: the first 32 bytes are a palette of 16 colour words, the rest
// is the sheet, read as the pair reads it (refused when short, then repeated to its full 131,072
// bytes), coloured and encoded through the run's cache, read back and compared.
#include <png.h>

#include <cstring>

#include "texture/export_texture.h"

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
    static texture_work work;  // reused, as a worker reuses it from pair to pair
    static sheet_cache cache;  // shared by the inputs, as by a run's pairs
    read_problem problem;
    byte_source raw = memory_source(data + 32, size - 32);
    int read = read_texture_sheet(&raw, &work, &problem);
    if ((read == 0) != (size - 32 >= size_t(sheet_file_bytes)) || (read != 0 && problem.reason.empty()))
        __builtin_trap();
    static std::vector<uint8_t> sheet(sheet_file_bytes);
    for (size_t i = 0, n = size - 32; i < sheet.size(); i++)
        sheet[i] = data[32 + i % n];
    byte_source full = memory_source(sheet.data(), sheet.size());
    if (read_texture_sheet(&full, &work, &problem) != 0 || work.sheet != sheet)
        __builtin_trap();

    std::shared_ptr<const encoded_sheet> png;
    std::string error;
    if (export_texture(palette, &cache, &work, &png, &error) != 0)
        __builtin_trap();
    // What was encoded decodes to the sheet's pixels.
    static texture_image image;
    decode_texture(sheet.data(), palette, &image);
    png_image back_image;
    memset(&back_image, 0, sizeof back_image);
    back_image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&back_image, png->png.data(), png->png.size()))
        __builtin_trap();
    back_image.format = PNG_FORMAT_RGB;
    static std::vector<uint8_t> back;
    back.resize(PNG_IMAGE_SIZE(back_image));
    if (!png_image_finish_read(&back_image, nullptr, back.data(), 0, nullptr) || back != image.pixels)
        __builtin_trap();
    return 0;
}
