// A repainted picture of a sheet on arbitrary bytes: read as the write-back reads it (any PNG, its
// size checked first) and matched through a palette with a colour twice. What goes back must be a
// whole sheet; a picture of the sheet itself, unedited, must give it back.
#include <cstring>

#include "texture/match_sheet.h"
#include "texture/read_png.h"
#include "texture/texture_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static palette_colour palette[16];
    static std::vector<uint8_t> sheet;
    if (sheet.empty()) {
        for (int i = 0; i < 16; i++)
            palette[i] = palette_colour{0, uint16_t(i * 16), uint16_t(240 - i * 8), uint16_t(i * 3 % 16 * 16)};
        palette[9] = palette[4];
        sheet.resize(sheet_file_bytes + 7);
        for (size_t i = 0; i < sheet.size(); i++)
            sheet[i] = uint8_t(i * 131 + i / 128);
    }
    read_picture picture;
    std::string error;
    if (read_png_picture(data, size, sheet_width, sheet_height, &picture, &error) != 0) {
        if (error.empty())
            __builtin_trap();
        return 0;
    }
    if (picture.rgba.size() != size_t(sheet_width) * sheet_height * 4)
        __builtin_trap();
    std::vector<uint8_t> out = sheet;
    sheet_edit_counts counts;
    for (bool exact : {false, true}) {
        out = sheet;
        int result = match_sheet_picture(picture, palette, exact, &out, &counts, &error);
        if (out.size() != sheet.size() ||
            memcmp(out.data() + sheet_file_bytes, sheet.data() + sheet_file_bytes, 7) != 0)
            __builtin_trap();  // bytes past the sheet are copied, whatever the picture
        if (result != 0 && error.empty())
            __builtin_trap();
        if (result == 0 && counts.changed == 0 && out != sheet)
            __builtin_trap();  // nothing changed, nothing written differently
    }
    return 0;
}
