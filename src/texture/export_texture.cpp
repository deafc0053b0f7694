#include "texture/export_texture.h"

#include <cerrno>
#include <cstring>

int read_texture_sheet(const byte_source* source, texture_work* work, read_problem* problem)
{
    work->sheet.resize(sheet_file_bytes);
    long got = read_source(source, 0, work->sheet.data(), sheet_file_bytes);
    if (got < 0) {
        problem->error = errno;
        problem->reason = error_text(problem->error);
        return -1;
    }
    if (got < sheet_file_bytes) {
        problem->error = 0;
        // Too short to be a sheet at all: most often another file beside the maps (notes, a picture).
        problem->reason =
            "not a texture sheet (" + std::to_string(got) + (got == 1 ? " byte" : " bytes") + "; a sheet has 131,072)";
        return -1;
    }
    return 0;
}

namespace {

bool same_palette(const palette_colour* a, const palette_colour* b)
{
    return memcmp(a, b, sizeof(palette_colour) * colours_per_palette) == 0;
}

std::shared_ptr<const encoded_sheet> find_encoded(sheet_cache* cache, const std::vector<uint8_t>& sheet,
                                                  const palette_colour* palette, bool indexed)
{
    std::lock_guard<std::mutex> hold(cache->lock);
    for (const std::shared_ptr<const encoded_sheet>& e : cache->sheets)
        if (e->indexed == indexed && same_palette(e->palette, palette) && e->sheet == sheet)
            return e;
    return nullptr;
}

void remember_encoded(sheet_cache* cache, std::shared_ptr<const encoded_sheet> e)
{
    std::lock_guard<std::mutex> hold(cache->lock);
    if (cache->sheets.size() == sheet_cache_size)
        cache->sheets.erase(cache->sheets.begin());
    cache->sheets.push_back(std::move(e));
}

}  // namespace

int encode_indexed_sheet(const std::vector<uint8_t>& sheet, const palette_colour* palette, byte_sink* out,
                         std::string* error)
{
    png_palette colours;
    colours.count = colours_per_palette;
    colours.bit_depth = 4;
    for (int i = 0; i < colours_per_palette; i++) {
        colours.rgb[i * 3] = uint8_t(palette[i].red);
        colours.rgb[i * 3 + 1] = uint8_t(palette[i].green);
        colours.rgb[i * 3 + 2] = uint8_t(palette[i].blue);
    }
    std::vector<uint8_t> rows(sheet_file_bytes);
    for (int y = 0; y < sheet_height; y++)
        memcpy(&rows[size_t(y) * sheet_file_row_bytes], &sheet[size_t(sheet_height - 1 - y) * sheet_file_row_bytes],
               sheet_file_row_bytes);
    return encode_png_indexed(rows.data(), sheet_width, sheet_height, &colours, false, out, error);
}

int export_texture(const palette_colour* palette, sheet_cache* cache, texture_work* work,
                   std::shared_ptr<const encoded_sheet>* png, std::string* error, bool indexed)
{
    if ((*png = find_encoded(cache, work->sheet, palette, indexed)))
        return 0;
    auto made = std::make_shared<encoded_sheet>();
    made->sheet = work->sheet;
    made->indexed = indexed;
    memcpy(made->palette, palette, sizeof made->palette);
    byte_sink sink = memory_sink(&made->png);
    if (indexed) {
        if (encode_indexed_sheet(work->sheet, palette, &sink, error) != 0)
            return -1;
    } else {
        decode_texture(work->sheet.data(), palette, &work->image);
        if (encode_png(&work->image, &sink, error) != 0)
            return -1;
    }
    remember_encoded(cache, made);
    *png = std::move(made);
    return 0;
}
