#include "texture/read_png.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <png.h>

namespace {

struct png_input {
    const uint8_t* bytes;
    size_t size, at;
    char message[200];
};

void take_bytes(png_structp png, png_bytep out, png_size_t n)
{
    png_input* in = static_cast<png_input*>(png_get_io_ptr(png));
    if (n > in->size - in->at)
        png_error(png, "the file ends inside the picture");
    memcpy(out, in->bytes + in->at, n);
    in->at += n;
}

void fail_png(png_structp png, png_const_charp message)
{
    png_input* in = static_cast<png_input*>(png_get_error_ptr(png));
    snprintf(in->message, sizeof in->message, "%s", message);
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

// What the header says.
struct png_header {
    png_uint_32 width, height;
    int colour_type, interlace;
};

// The functions that libpng may leave by longjmp hold no object with a destructor: every buffer is
// made outside them, once the header has been checked.
int read_header(png_structp png, png_infop info, png_input* in, png_header* header)
{
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_read_fn(png, in, take_bytes);
    png_read_info(png, info);
    header->width = png_get_image_width(png, info);
    header->height = png_get_image_height(png, info);
    header->colour_type = png_get_color_type(png, info);
    header->interlace = png_get_interlace_type(png, info);
    return 0;
}

// A palette PNG's indices, one byte each, as the file holds them.
int read_indices(png_structp png, png_infop info, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_packing(png);
    png_read_update_info(png, info);
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return 0;
}

// Any other PNG as 8-bit RGBA: 16-bit channels scaled, grey and palettes expanded, tRNS as alpha.
int read_rgba(png_structp png, png_infop info, png_bytepp rows, size_t row_bytes)
{
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_scale_16(png);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != row_bytes)
        png_error(png, "its pixels do not read as 8-bit RGBA");
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return 0;
}

struct png_reader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~png_reader() { png_destroy_read_struct(&png, &info, nullptr); }
};

// Colours a palette picture's indices; a pixel past the palette is refused.
int colour_indices(png_structp png, png_infop info, read_picture* picture, std::string* error)
{
    png_colorp entries = nullptr;
    int count = 0;
    png_get_PLTE(png, info, &entries, &count);
    png_bytep alpha = nullptr;
    int alpha_count = 0;
    png_color_16p unused;
    if (png_get_valid(png, info, PNG_INFO_tRNS))
        png_get_tRNS(png, info, &alpha, &alpha_count, &unused);
    picture->palette.resize(size_t(count) * 3);
    for (int i = 0; i < count; i++) {
        picture->palette[size_t(i) * 3] = entries[i].red;
        picture->palette[size_t(i) * 3 + 1] = entries[i].green;
        picture->palette[size_t(i) * 3 + 2] = entries[i].blue;
    }
    for (size_t p = 0; p < picture->indices.size(); p++) {
        int index = picture->indices[p];
        if (index >= count) {
            *error = "pixel " + std::to_string(p % size_t(picture->width)) + ", " +
                     std::to_string(p / size_t(picture->width)) + " is colour " + std::to_string(index) +
                     " of a palette of " + std::to_string(count);
            return -1;
        }
        memcpy(&picture->rgba[p * 4], &picture->palette[size_t(index) * 3], 3);
        picture->rgba[p * 4 + 3] = index < alpha_count ? alpha[index] : 255;
    }
    return 0;
}

}  // namespace

int read_png_picture(const uint8_t* bytes, size_t size, int width, int height, read_picture* picture,
                     std::string* error)
{
    if (size < 8 || png_sig_cmp(bytes, 0, 8) != 0) {
        *error = "not a PNG";
        return -1;
    }
    png_input in = {bytes, size, 0, {0}};
    png_reader r;
    r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &in, fail_png, ignore_warning);
    if (!r.png || !(r.info = png_create_info_struct(r.png)))
        throw std::bad_alloc();  // libpng fails to create its structures only for want of memory
    // Text, colour profiles and unknown chunks say nothing of the pixels: none is decompressed.
    static const png_byte skipped[] = {'i', 'C', 'C', 'P', 0, 'i', 'T', 'X', 't', 0, 't', 'E', 'X', 't', 0,
                                       'z', 'T', 'X', 't', 0, 's', 'P', 'L', 'T', 0, 'e', 'X', 'I', 'f', 0};
    png_set_keep_unknown_chunks(r.png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_keep_unknown_chunks(r.png, PNG_HANDLE_CHUNK_NEVER, skipped, int(sizeof skipped / 5));
    png_header header;
    if (read_header(r.png, r.info, &in, &header) != 0) {
        *error = std::string("not a picture libpng can read (") + in.message + ")";
        return -1;
    }
    if (header.width != png_uint_32(width) || header.height != png_uint_32(height)) {
        *error = std::to_string(header.width) + " x " + std::to_string(header.height) +
                 " pixels; the picture of a sheet is " + std::to_string(width) + " x " + std::to_string(height);
        return -1;
    }
    picture->width = width;
    picture->height = height;
    picture->rgba.assign(size_t(width) * size_t(height) * 4, 0);
    // A palette PNG keeps its indices: an editor in indexed mode keeps the sheet's.
    picture->indexed = header.colour_type == PNG_COLOR_TYPE_PALETTE && header.interlace == PNG_INTERLACE_NONE;
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    if (picture->indexed) {
        picture->indices.assign(size_t(width) * size_t(height), 0);
        for (int y = 0; y < height; y++)
            rows[size_t(y)] = &picture->indices[size_t(y) * size_t(width)];
        if (read_indices(r.png, r.info, rows.data()) != 0) {
            *error = std::string("not a picture libpng can read (") + in.message + ")";
            return -1;
        }
        return colour_indices(r.png, r.info, picture, error);
    }
    for (int y = 0; y < height; y++)
        rows[size_t(y)] = &picture->rgba[size_t(y) * size_t(width) * 4];
    if (read_rgba(r.png, r.info, rows.data(), size_t(width) * 4) != 0) {
        *error = std::string("not a picture libpng can read (") + in.message + ")";
        return -1;
    }
    return 0;
}
