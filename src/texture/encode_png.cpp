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
    bool quick;  // zlib's fastest level instead of libpng's default
    png_bytepp rows;
};

// Holds no object with a destructor: libpng's errors come back here by longjmp.
int encode_rows(png_structp png, png_infop info, const png_image_rows* image, png_target* target)
{
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_write_fn(png, target, append_bytes, flush_nothing);
    png_set_IHDR(png, info, png_uint_32(image->width), png_uint_32(image->height), 8,
                 image->alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (image->quick)
        png_set_compression_level(png, 1);
    png_write_info(png, info);
    png_write_image(png, image->rows);
    png_write_end(png, nullptr);
    return 0;
}

}  // namespace

int encode_png_pixels(const uint8_t* pixels, int width, int height, bool alpha, bool quick, byte_sink* out,
                      std::string* error)
{
    size_t row_bytes = size_t(width) * (alpha ? 4 : 3);
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int r = 0; r < height; r++)
        rows[size_t(r)] = const_cast<png_bytep>(pixels) + size_t(r) * row_bytes;
    png_image_rows image = {width, height, alpha, quick, rows.data()};

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

int encode_png(const texture_image* image, byte_sink* out, std::string* error)
{
    return encode_png_pixels(image->pixels.data(), sheet_width, sheet_height, false, false, out, error);
}
