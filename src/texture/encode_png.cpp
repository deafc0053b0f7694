#include "texture/texture_image.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <png.h>

namespace {

struct png_target {
    byte_sink* sink;
    char message[200];
    int out_of_memory;  // an allocation failed, libpng's or the sink's
};

// libpng's and zlib's allocations, so that running out of memory is told from a failed write.
png_voidp allocate(png_structp png, png_alloc_size_t size)
{
    void* memory = malloc(size);
    if (!memory)
        static_cast<png_target*>(png_get_mem_ptr(png))->out_of_memory = 1;
    return memory;
}

void release(png_structp, png_voidp memory)
{
    free(memory);
}

void fail_png(png_structp png, png_const_charp message)
{
    png_target* target = static_cast<png_target*>(png_get_error_ptr(png));
    snprintf(target->message, sizeof target->message, "%s", message);
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp)
{
    // The settings are fixed and valid: libpng has nothing to warn about.
}

// libpng's write callback: every byte it produces goes to the sink.
void append_bytes(png_structp png, png_bytep data, png_size_t length)
{
    png_target* target = static_cast<png_target*>(png_get_io_ptr(png));
    int written;
    try {
        written = sink_write(target->sink, data, length);
    } catch (...) {
        written = -2;
    }
    // Outside the catch block: png_error leaves by longjmp.
    if (written == -2) {
        target->out_of_memory = 1;
        png_error(png, "out of memory");
    }
    if (written != 0)
        png_error(png, "write failed");
}

void flush_nothing(png_structp) {}

struct png_image_rows {
    int width, height;
    bool alpha;
    bool quick;  // zlib's fastest level and no row filter, instead of libpng's defaults
    png_bytepp rows;
    const png_palette* palette;  // or none: the rows are RGB or RGBA
};

// Holds no object with a destructor: libpng's errors come back here by longjmp.
int encode_rows(png_structp png, png_infop info, const png_image_rows* image, png_target* target)
{
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_write_fn(png, target, append_bytes, flush_nothing);
    const png_palette* palette = image->palette;
    int colour_type = palette ? PNG_COLOR_TYPE_PALETTE : image->alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    png_set_IHDR(png, info, png_uint_32(image->width), png_uint_32(image->height), palette ? palette->bit_depth : 8,
                 colour_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (palette) {
        png_color colours[256];
        for (int i = 0; i < palette->count; i++)
            colours[i] = png_color{palette->rgb[i * 3], palette->rgb[i * 3 + 1], palette->rgb[i * 3 + 2]};
        png_set_PLTE(png, info, colours, palette->count);
        if (palette->alpha_count > 0)
            png_set_tRNS(png, info, palette->alpha, palette->alpha_count, nullptr);
    }
    if (image->quick) {
        // A picture of a map is flat colours from a few palettes, which the row filters (made for
        // gradients) make larger, and trying all five on every row is most of the encode.
        png_set_compression_level(png, 1);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    }
    png_write_info(png, info);
    png_write_image(png, image->rows);
    png_write_end(png, nullptr);
    return 0;
}

int encode_rows_of(const uint8_t* pixels, size_t row_bytes, png_image_rows image, byte_sink* out, std::string* error)
{
    std::vector<png_bytep> rows(static_cast<size_t>(image.height));
    for (int r = 0; r < image.height; r++)
        rows[size_t(r)] = const_cast<png_bytep>(pixels) + size_t(r) * row_bytes;
    image.rows = rows.data();

    png_target target = {out, {0}, 0};
    png_structp png =
        png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &target, fail_png, ignore_warning, &target, allocate, release);
    if (!png)
        throw std::bad_alloc();  // libpng fails to create its structure only for want of memory
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        throw std::bad_alloc();
    }
    int result = encode_rows(png, info, &image, &target);
    png_destroy_write_struct(&png, &info);
    // A shortage of memory is the run's to handle (one pair after another), not this image's fault.
    if (target.out_of_memory)
        throw std::bad_alloc();
    if (result != 0)
        *error = std::string("libpng error: ") + target.message;
    return result;
}

}  // namespace

int encode_png_pixels(const uint8_t* pixels, int width, int height, bool alpha, bool quick, byte_sink* out,
                      std::string* error)
{
    png_image_rows image = {width, height, alpha, quick, nullptr, nullptr};
    return encode_rows_of(pixels, size_t(width) * (alpha ? 4 : 3), image, out, error);
}

int encode_png_indexed(const uint8_t* indices, int width, int height, const png_palette* palette, bool quick,
                       byte_sink* out, std::string* error)
{
    png_image_rows image = {width, height, false, quick, nullptr, palette};
    size_t row_bytes = (size_t(width) * size_t(palette->bit_depth) + 7) / 8;
    return encode_rows_of(indices, row_bytes, image, out, error);
}

int encode_png(const texture_image* image, byte_sink* out, std::string* error)
{
    return encode_png_pixels(image->pixels.data(), sheet_width, sheet_height, false, false, out, error);
}
