#include "texture/export_texture.h"

#include <cerrno>

int read_texture_sheet(const char* texture_name, console_log* log, texture_work* work)
{
    int fd;
    std::string reason;
    if (open_input(texture_name, &fd, &reason) != 0) {
        log_out(log, "Error opening %s\n", texture_name);
        log_error(log, texture_name, "%s", reason.c_str());
        return -1;
    }
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

int sheet_to_png(const palette_colour* palette, texture_work* work, std::string* error)
{
    decode_texture(work->sheet.data(), palette, &work->image);
    return encode_png(&work->image, &work->png, error);
}

int export_texture(const char* texture_name, const palette_colour* palette, const char* png_name,
                   output_file* png_out, console_log* log, texture_work* work)
{
    if (read_texture_sheet(texture_name, log, work) != 0)
        return texture_refused;
    std::string error;
    if (sheet_to_png(palette, work, &error) != 0) {
        log_error(log, png_name, "%s", error.c_str());
        return texture_png_failed;
    }
    if (output_create(png_out) != 0 || output_write(png_out, work->png.data(), work->png.size()) != 0 ||
        output_finish(png_out) != 0) {
        log_error(log, png_name, "%s", error_text(png_out->error).c_str());
        output_discard(png_out);
        return texture_png_failed;
    }
    return texture_done;
}
