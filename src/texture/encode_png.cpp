#include "texture/texture_image.h"

#include "beside.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <png.h>
#include <zlib.h>

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

// A piece of the rows, compressed: raw deflate data that ends on a byte (or, the last, ends the
// stream), and the Adler-32 of the bytes it holds, each row's filter byte and its pixels.
struct deflated_piece {
    int first_row = 0, rows = 0;
    std::vector<uint8_t> bytes;
    uint32_t adler = 1;
    bool failed = false;  // zlib failed
};

struct png_image_rows {
    int width, height;
    bool alpha;
    bool quick;  // zlib's fastest level and no row filter, instead of libpng's defaults
    png_bytepp rows;
    const png_palette* palette;                 // or none: the rows are RGB or RGBA
    const std::vector<deflated_piece>* pieces;  // the rows compressed beforehand, or none
};

// Compresses what is left of the input, with the given flush, into bytes (grown as needed).
// False where zlib fails, which valid input does not make it do.
bool deflate_into(z_stream* z, int flush, std::vector<uint8_t>* bytes)
{
    for (;;) {
        if (z->avail_out == 0) {
            size_t used = bytes->size();
            bytes->resize(used * 2 + 4096);
            z->next_out = bytes->data() + used;
            z->avail_out = uInt(bytes->size() - used);
        }
        int status = deflate(z, flush);
        if (status == Z_STREAM_END)
            return true;
        if (status != Z_OK && status != Z_BUF_ERROR)
            return false;
        // Room left over: all the input is taken, and the flush, short of the stream's end, is done.
        if (z->avail_out > 0)
            return flush != Z_FINISH && z->avail_in == 0;
    }
}

// Compresses one piece's rows, unfiltered, at zlib's fastest level, as a stream of its own.
// False where zlib fails.
bool deflate_piece(const png_image_rows& image, size_t row_bytes, bool last, deflated_piece* piece)
{
    z_stream z = {};
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();  // its one failure with valid settings
    // A picture of a map compresses to a tenth or less: a quarter to start with, grown as needed.
    piece->bytes.resize(size_t(piece->rows) * (row_bytes + 1) / 4 + 4096);
    z.next_out = piece->bytes.data();
    z.avail_out = uInt(piece->bytes.size());
    uint8_t filter = 0;
    // Kept here and stored once: the pieces lie side by side, each written by its own thread.
    uLong adler = 1;
    bool ok = true;
    try {
        for (int r = piece->first_row; ok && r < piece->first_row + piece->rows; r++) {
            z.next_in = &filter;
            z.avail_in = 1;
            ok = deflate_into(&z, Z_NO_FLUSH, &piece->bytes);
            z.next_in = image.rows[r];
            z.avail_in = uInt(row_bytes);
            ok = ok && deflate_into(&z, Z_NO_FLUSH, &piece->bytes);
            adler = adler32(adler32(adler, &filter, 1), image.rows[r], uInt(row_bytes));
        }
        piece->adler = uint32_t(adler);
        ok = ok && deflate_into(&z, last ? Z_FINISH : Z_SYNC_FLUSH, &piece->bytes);
    } catch (...) {
        deflateEnd(&z);
        throw;
    }
    piece->bytes.resize(piece->bytes.size() - z.avail_out);
    piece->bytes.shrink_to_fit();
    deflateEnd(&z);
    return ok;
}

struct piece_work {
    const png_image_rows* image;
    size_t row_bytes;
    std::vector<deflated_piece>* pieces;
};

void deflate_piece_of(void* argument, size_t i, int)
{
    const piece_work* w = static_cast<const piece_work*>(argument);
    deflated_piece* piece = &(*w->pieces)[i];
    piece->failed = !deflate_piece(*w->image, w->row_bytes, i + 1 == w->pieces->size(), piece);
}

// The rows cut into pieces of about png_piece_bytes and compressed, in turn, by as many threads.
// False where zlib fails.
bool deflate_in_pieces(const png_image_rows& image, size_t row_bytes, int threads, std::vector<deflated_piece>* pieces)
{
    int rows_per_piece = int(std::max<size_t>(1, png_piece_bytes / (row_bytes + 1)));
    for (int first = 0; first < image.height; first += rows_per_piece) {
        deflated_piece piece;
        piece.first_row = first;
        piece.rows = std::min(rows_per_piece, image.height - first);
        pieces->push_back(std::move(piece));
    }
    piece_work work = {&image, row_bytes, pieces};
    share_work(deflate_piece_of, &work, pieces->size(), threads);
    return std::none_of(pieces->begin(), pieces->end(), [](const deflated_piece& p) { return p.failed; });
}

// Writes the pieces as IDAT chunks, a piece each, the zlib stream's header before the first and
// its Adler-32 after the last, and then IEND.
void write_pieces(png_structp png, const std::vector<deflated_piece>& pieces, size_t row_bytes)
{
    const uint8_t header[2] = {0x78, 0x01};  // deflate, 32 KiB window, the fastest level
    uint32_t adler = 1;
    for (size_t i = 0; i < pieces.size(); i++) {
        const deflated_piece& piece = pieces[i];
        bool first = i == 0, last = i + 1 == pieces.size();
        adler = uint32_t(adler32_combine(adler, piece.adler, z_off_t(size_t(piece.rows) * (row_bytes + 1))));
        const uint8_t check[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
        png_write_chunk_start(png, reinterpret_cast<png_const_bytep>("IDAT"),
                              png_uint_32(piece.bytes.size() + (first ? 2 : 0) + (last ? 4 : 0)));
        if (first)
            png_write_chunk_data(png, header, 2);
        png_write_chunk_data(png, piece.bytes.data(), piece.bytes.size());
        if (last)
            png_write_chunk_data(png, check, 4);
        png_write_chunk_end(png);
    }
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
}

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
    if (image->pieces) {
        write_pieces(png, *image->pieces, png_get_rowbytes(png, info));
        return 0;
    }
    png_write_image(png, image->rows);
    png_write_end(png, nullptr);
    return 0;
}

int encode_rows_of(const uint8_t* pixels, size_t row_bytes, png_image_rows image, byte_sink* out, std::string* error,
                   int threads)
{
    std::vector<png_bytep> rows(static_cast<size_t>(image.height));
    for (int r = 0; r < image.height; r++)
        rows[size_t(r)] = const_cast<png_bytep>(pixels) + size_t(r) * row_bytes;
    image.rows = rows.data();
    std::vector<deflated_piece> pieces;
    if (image.quick && size_t(image.height) * (row_bytes + 1) > png_piece_bytes) {
        if (!deflate_in_pieces(image, row_bytes, threads, &pieces))
            return *error = "zlib error: the rows did not compress", -1;
        image.pieces = &pieces;
    }

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
                      std::string* error, int threads)
{
    png_image_rows image = {width, height, alpha, quick, nullptr, nullptr, nullptr};
    return encode_rows_of(pixels, size_t(width) * (alpha ? 4 : 3), image, out, error, threads);
}

int encode_png_indexed(const uint8_t* indices, int width, int height, const png_palette* palette, bool quick,
                       byte_sink* out, std::string* error, int threads)
{
    png_image_rows image = {width, height, false, quick, nullptr, palette, nullptr};
    size_t row_bytes = (size_t(width) * size_t(palette->bit_depth) + 7) / 8;
    return encode_rows_of(indices, row_bytes, image, out, error, threads);
}

int encode_png(const texture_image* image, byte_sink* out, std::string* error)
{
    return encode_png_pixels(image->pixels.data(), sheet_width, sheet_height, false, false, out, error, 1);
}
