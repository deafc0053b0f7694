#include "texture/export_texture.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

int read_texture_sheet(const char* texture_name, console_log* log, texture_work* work)
{
    int fd;
    if (open_input_or_report(texture_name, &fd, log) != 0)
        return -1;
    work->sheet.resize(sheet_file_bytes);
    byte_source source = {fd, nullptr, 0};
    long got = read_source(&source, 0, work->sheet.data(), sheet_file_bytes);
    int error = errno;
    close_input(fd);
    if (got < 0) {
        log_out(log, "%s", not_a_texture);
        log_error(log, texture_name, "%s", error_text(error).c_str());
        return -1;
    }
    if (got < sheet_file_bytes) {
        log_out(log, "%s", not_a_texture);
        log_error(log, texture_name, "truncated: %ld of %d bytes", got, sheet_file_bytes);
        return -1;
    }
    return 0;
}

namespace {

// Sheets already encoded in this run: a sheet paired with several meshes that share palette 0 is
// encoded once. Only the last few are kept, so a folder of many sheets costs little memory.
struct encoded_sheet {
    std::vector<uint8_t> sheet;
    palette_colour palette[colours_per_palette];
    std::vector<uint8_t> png;
};

constexpr size_t encoded_sheets_kept = 8;
std::mutex encoded_lock;
std::vector<std::shared_ptr<const encoded_sheet>> encoded_sheets;  // newest last

bool same_palette(const palette_colour* a, const palette_colour* b)
{
    return memcmp(a, b, sizeof(palette_colour) * colours_per_palette) == 0;
}

std::shared_ptr<const encoded_sheet> find_encoded(const std::vector<uint8_t>& sheet, const palette_colour* palette)
{
    std::lock_guard<std::mutex> hold(encoded_lock);
    for (const std::shared_ptr<const encoded_sheet>& e : encoded_sheets)
        if (same_palette(e->palette, palette) && e->sheet == sheet)
            return e;
    return nullptr;
}

void remember_encoded(const std::vector<uint8_t>& sheet, const palette_colour* palette, const std::vector<uint8_t>& png)
{
    auto e = std::make_shared<encoded_sheet>();
    e->sheet = sheet;
    memcpy(e->palette, palette, sizeof e->palette);
    e->png = png;
    std::lock_guard<std::mutex> hold(encoded_lock);
    if (encoded_sheets.size() == encoded_sheets_kept)
        encoded_sheets.erase(encoded_sheets.begin());
    encoded_sheets.push_back(std::move(e));
}

}  // namespace

int sheet_to_png(const palette_colour* palette, texture_work* work, std::string* error)
{
    if (std::shared_ptr<const encoded_sheet> known = find_encoded(work->sheet, palette)) {
        work->png = known->png;
        return 0;
    }
    decode_texture(work->sheet.data(), palette, &work->image);
    if (encode_png(&work->image, &work->png, error) != 0)
        return -1;
    remember_encoded(work->sheet, palette, work->png);
    return 0;
}

int write_sheet_png(const palette_colour* palette, const char* png_name, output_file* png_out, console_log* log,
                    texture_work* work)
{
    std::string error;
    if (sheet_to_png(palette, work, &error) != 0) {
        log_error(log, png_name, "%s", error.c_str());
        return texture_png_failed;
    }
    if (write_output_or_report(png_out, png_name, work->png.data(), work->png.size(), log) != 0)
        return texture_png_failed;
    return texture_done;
}
