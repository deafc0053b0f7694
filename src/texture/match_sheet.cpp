#include "texture/match_sheet.h"

#include "texture/texture_image.h"

#include <algorithm>
#include <cstdio>

namespace {

int colour_distance(const uint8_t* rgb, const palette_colour& c)
{
    int dr = int(rgb[0]) - int(c.red), dg = int(rgb[1]) - int(c.green), db = int(rgb[2]) - int(c.blue);
    return dr * dr + dg * dg + db * db;
}

// The picture's pixel x, y as the refusals name it, with the sheet's byte that holds it.
std::string pixel_place(int x, int y)
{
    size_t byte = size_t(sheet_height - 1 - y) * sheet_file_row_bytes + size_t(x / 2);
    return "pixel " + std::to_string(x) + ", " + std::to_string(y) + " (byte " + std::to_string(byte) +
           " of the sheet)";
}

// Whether the picture's palette begins with the 16 colours of palette, in their order.
bool same_palette(const read_picture& picture, const palette_colour* palette)
{
    if (!picture.indexed || picture.palette.size() < size_t(colours_per_palette) * 3)
        return false;
    for (int i = 0; i < colours_per_palette; i++) {
        const uint8_t* entry = &picture.palette[size_t(i) * 3];
        if (entry[0] != palette[i].red || entry[1] != palette[i].green || entry[2] != palette[i].blue)
            return false;
    }
    return true;
}

}  // namespace

int match_sheet_picture(const read_picture& picture, const palette_colour* palette, bool exact_only,
                        std::vector<uint8_t>* sheet, sheet_edit_counts* counts, std::string* error)
{
    *counts = sheet_edit_counts();
    counts->by_index = same_palette(picture, palette);
    std::vector<uint8_t> before(sheet->begin(), sheet->begin() + sheet_file_bytes);
    for (int y = 0; y < sheet_height; y++) {
        uint8_t* row = &(*sheet)[size_t(sheet_height - 1 - y) * sheet_file_row_bytes];
        for (int x = 0; x < sheet_width; x++) {
            size_t at = size_t(y) * sheet_width + size_t(x);
            const uint8_t* rgba = &picture.rgba[at * 4];
            if (rgba[3] != 255) {
                *error = pixel_place(x, y) + " is transparent (alpha " + std::to_string(rgba[3]) +
                         "): a sheet has no transparency";
                return -1;
            }
            uint8_t& pair = row[x / 2];
            int shift = x % 2 ? 0 : 4;
            int was = pair >> shift & 15, index = was;
            if (counts->by_index && picture.indices[at] < colours_per_palette) {
                index = picture.indices[at];
                if (index != was) {
                    counts->changed++;
                    counts->exact++;
                }
            } else if (colour_distance(rgba, palette[was]) != 0) {
                // A new colour: the first index that holds it, or the nearest.
                int best = 0, best_distance = colour_distance(rgba, palette[0]);
                for (int i = 1; i < colours_per_palette && best_distance != 0; i++) {
                    int d = colour_distance(rgba, palette[i]);
                    if (d < best_distance) {
                        best = i;
                        best_distance = d;
                    }
                }
                if (best_distance != 0 && exact_only) {
                    char colour[8];
                    snprintf(colour, sizeof colour, "%02x%02x%02x", rgba[0], rgba[1], rgba[2]);
                    *error = pixel_place(x, y) + " is #" + colour + ", which the palette does not hold";
                    return -1;
                }
                index = best;
                counts->changed++;
                (best_distance == 0 ? counts->exact : counts->nearest)++;
                counts->farthest = std::max(counts->farthest, best_distance);
            }
            pair = uint8_t((pair & ~(15 << shift)) | index << shift);
        }
    }
    for (size_t i = 0; i < size_t(sheet_file_bytes); i++)
        counts->bytes += (*sheet)[i] != before[i];
    return 0;
}
