#include "texture/texture_image.h"

#include <atomic>
#include <csetjmp>
#include <cstring>
#include <string>

#include <png.h>

namespace {

struct png_sink {
    std::vector<uint8_t>* bytes;
    char message[200];
};

void fail_png(png_structp png, png_const_charp message)
{
    png_sink* sink = static_cast<png_sink*>(png_get_error_ptr(png));
    snprintf(sink->message, sizeof sink->message, "%s", message);
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp)
{
    // The settings are fixed and valid: libpng has nothing to warn about.
}

void append_bytes(png_structp png, png_bytep data, png_size_t length)
{
    png_sink* sink = static_cast<png_sink*>(png_get_io_ptr(png));
    bool grown = true;
    try {
        sink->bytes->insert(sink->bytes->end(), data, data + length);
    } catch (...) {
        grown = false;
    }
    // Outside the catch block: png_error leaves by longjmp.
    if (!grown)
        png_error(png, "out of memory");
}

void flush_nothing(png_structp) {}

// Holds no object with a destructor: libpng's errors come back here by longjmp.
int encode_rows(png_structp png, png_infop info, png_bytepp rows, png_sink* sink)
{
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_write_fn(png, sink, append_bytes, flush_nothing);
    png_set_IHDR(png, info, sheet_width, sheet_height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return 0;
}

std::atomic<long> encodes{0};

}  // namespace

long png_encode_count()
{
    return encodes.load();
}

int encode_png(const texture_image* image, std::vector<uint8_t>* png_bytes, std::string* error)
{
    png_bytep rows[sheet_height];
    for (int r = 0; r < sheet_height; r++)
        rows[r] = const_cast<png_bytep>(image->pixels.data()) + size_t(r) * sheet_image_row_bytes;

    encodes++;
    png_sink sink = {png_bytes, {0}};
    png_bytes->clear();
    // Enough for most sheets, so the buffer rarely grows while libpng writes.
    png_bytes->reserve(size_t(sheet_image_row_bytes) * sheet_height / 2);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, fail_png, ignore_warning);
    if (!png) {
        *error = "libpng error: cannot create the write structure";
        return -1;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        *error = "libpng error: cannot create the info structure";
        return -1;
    }
    int result = encode_rows(png, info, rows, &sink);
    png_destroy_write_struct(&png, &info);
    if (result != 0)
        *error = std::string("libpng error: ") + sink.message;
    return result;
}
