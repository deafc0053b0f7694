#include <cstring>
#include <vector>

#include <zlib.h>

#include <gtest/gtest.h>
#include <png.h>

#include "convert.h"
#include "map_writer.h"
#include "readers.h"
#include "run_program.h"
#include "texture/export_texture.h"
#include "texture/match_sheet.h"
#include "texture/read_png.h"
#include "texture/texture_image.h"

namespace {

// Palette colour i is (i * 16, 255 - i * 16, i) truncated to what the format allows.
void test_palette(palette_colour out[16])
{
    for (int i = 0; i < 16; i++)
        out[i] = palette_colour{0, uint16_t(i * 16), uint16_t(240 - i * 16), uint16_t(i)};
}

const uint8_t* pixel(const texture_image& image, int x, int row)
{
    return image.pixels.data() + size_t(row) * sheet_image_row_bytes + size_t(x) * 3;
}

void expect_colour(const uint8_t* p, const palette_colour& c)
{
    EXPECT_EQ(p[0], c.red);
    EXPECT_EQ(p[1], c.green);
    EXPECT_EQ(p[2], c.blue);
}

}  // namespace

TEST(DecodeTexture, FirstFileRowIsTheBottomRowHighNibbleLeft)
{
    std::string sheet(sheet_file_bytes, '\0');
    memset(&sheet[0], 0x12, 128);
    memset(&sheet[sheet_file_bytes - 128], 0xF0, 128);
    palette_colour palette[16];
    test_palette(palette);
    texture_image image;
    decode_texture(reinterpret_cast<const uint8_t*>(sheet.data()), palette, &image);
    for (int x = 0; x < 256; x++) {
        expect_colour(pixel(image, x, 1023), palette[x % 2 == 0 ? 1 : 2]);
        expect_colour(pixel(image, x, 0), palette[x % 2 == 0 ? 15 : 0]);
        expect_colour(pixel(image, x, 500), palette[0]);
    }
}

TEST(DecodeTexture, EveryByteValueIsPixelData)
{
    std::string sheet(sheet_file_bytes, '\0');
    sheet[0] = '\x0D';
    sheet[1] = '\x0A';
    sheet[2] = '\x1A';
    palette_colour palette[16];
    test_palette(palette);
    palette[13] = palette_colour{0, 247, 0, 7};  // passes unchanged
    texture_image image;
    decode_texture(reinterpret_cast<const uint8_t*>(sheet.data()), palette, &image);
    const int expected[] = {0, 13, 0, 10, 1, 10, 0, 0};
    for (int x = 0; x < 8; x++)
        expect_colour(pixel(image, x, 1023), palette[expected[x]]);
    EXPECT_EQ(pixel(image, 1, 1023)[0], 0xF7);
    EXPECT_EQ(pixel(image, 1, 1023)[2], 0x07);
}

TEST(EncodePng, HeaderAndEveryPixelReadBack)
{
    std::string sheet(sheet_file_bytes, '\0');
    for (int i = 0; i < sheet_file_bytes; i++)
        sheet[i] = char((i * 7 + i / 128) & 0xff);
    palette_colour palette[16];
    test_palette(palette);
    texture_image image;
    decode_texture(reinterpret_cast<const uint8_t*>(sheet.data()), palette, &image);
    std::vector<uint8_t> png;
    byte_sink sink = memory_sink(&png);
    std::string error;
    ASSERT_EQ(encode_png(&image, &sink, &error), 0) << error;

    const uint8_t signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(memcmp(png.data(), signature, 8), 0);
    // IHDR: width, height, bit depth 8, colour type 2, compression, filter, interlace 0.
    const uint8_t ihdr[] = {0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 1, 0, 0, 0, 4, 0, 8, 2, 0, 0, 0};
    EXPECT_EQ(memcmp(png.data() + 8, ihdr, sizeof ihdr), 0);
    // No ancillary chunk: IHDR, image data, and IEND closing the file. libpng reads a file
    // without IEND without complaint, so the chunks are walked here.
    std::vector<std::string> chunks;
    size_t at = 8;
    while (at + 12 <= png.size()) {
        uint32_t length =
            uint32_t(png[at]) << 24 | uint32_t(png[at + 1]) << 16 | uint32_t(png[at + 2]) << 8 | png[at + 3];
        chunks.emplace_back(reinterpret_cast<const char*>(&png[at + 4]), 4);
        at += 12 + length;  // length, type, data, CRC
    }
    EXPECT_EQ(at, png.size());
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(chunks.front(), "IHDR");
    EXPECT_EQ(chunks.back(), "IEND");
    for (size_t i = 1; i + 1 < chunks.size(); i++)
        EXPECT_EQ(chunks[i], "IDAT") << i;

    decoded_png d = read_png(std::string(png.begin(), png.end()));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 256u);
    EXPECT_EQ(d.height, 1024u);
    EXPECT_EQ(d.rgb, image.pixels);
}

TEST(ReadTextureSheet, RefusesShortAndUnopenableSheets)
{
    std::string short_sheet(sheet_file_bytes - 1, '\x11');
    byte_source short_source = memory_source(short_sheet.data(), short_sheet.size());
    texture_work work;
    console_log log;
    EXPECT_EQ(read_sheet_stage(&short_source, "short.tex", &work, &log), -1);
    ASSERT_EQ(log.chunks.size(), 2u);
    EXPECT_EQ(log.chunks[0].text, "Not a texture file.\n");
    EXPECT_EQ(log.chunks[1].text, "mapconv: short.tex: not a texture sheet (131071 bytes; a sheet has 131,072)\n");

    // A folder is refused when the run opens it, before any reader sees it.
    scratch_folder folder;
    console_log dir_log;
    byte_source source;
    EXPECT_EQ(open_run_input(folder.path.c_str(), &dir_log, &source), -1);
    ASSERT_EQ(dir_log.chunks.size(), 2u);
    EXPECT_EQ(dir_log.chunks[0].text, "Error opening " + folder.path + "\n");
    EXPECT_EQ(dir_log.chunks[1].text, "mapconv: " + folder.path + ": Is a directory\n");

    // Bytes past the sheet are never read.
    std::string long_sheet = folder / "long.tex";
    ASSERT_EQ(write_file(long_sheet, std::string(sheet_file_bytes, '\x21') + "extra"), 0);
    console_log long_log;
    ASSERT_EQ(open_run_input(long_sheet.c_str(), &long_log, &source), 0);
    ASSERT_EQ(read_sheet_stage(&source, "long.tex", &work, &long_log), 0);
    close_input(source.fd);
    EXPECT_EQ(work.sheet, std::vector<uint8_t>(sheet_file_bytes, 0x21));
}

TEST(ExportTexture, EncodesASheetAndPaletteOnlyOnce)
{
    texture_work work;
    work.sheet.assign(sheet_file_bytes, 0x4c);
    palette_colour palette[16], other[16];
    test_palette(palette);
    test_palette(other);
    other[15].blue = 200;
    sheet_cache cache;
    std::string error;
    std::shared_ptr<const encoded_sheet> first, again, coloured, changed;
    ASSERT_EQ(export_texture(palette, &cache, &work, &first, &error), 0);
    ASSERT_EQ(export_texture(palette, &cache, &work, &again, &error), 0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(cache.sheets.size(), 1u);
    // Another palette, or another sheet, is encoded anew.
    ASSERT_EQ(export_texture(other, &cache, &work, &coloured, &error), 0);
    work.sheet[131071] = 0x4d;
    ASSERT_EQ(export_texture(palette, &cache, &work, &changed, &error), 0);
    EXPECT_EQ(cache.sheets.size(), 3u);
    EXPECT_NE(changed->png, first->png);
    EXPECT_NE(coloured, first);
    // Only the newest few are kept.
    for (int i = 0; i < 10; i++) {
        work.sheet[0] = uint8_t(i);
        ASSERT_EQ(export_texture(palette, &cache, &work, &changed, &error), 0);
    }
    EXPECT_EQ(cache.sheets.size(), sheet_cache_size);
    // The indexed form of a sheet and palette is another PNG: the sheet's own indices, last row
    // first, under the palette's colours; decoded, the very pixels of the RGB form.
    for (size_t i = 0; i < work.sheet.size(); i++)
        work.sheet[i] = uint8_t(i * 7 + i / 128);
    std::shared_ptr<const encoded_sheet> rgb, indexed;
    ASSERT_EQ(export_texture(palette, &cache, &work, &rgb, &error), 0);
    ASSERT_EQ(export_texture(palette, &cache, &work, &indexed, &error, true), 0);
    EXPECT_NE(rgb, indexed);
    EXPECT_LT(indexed->png.size() * 2, rgb->png.size());
    read_picture picture;
    ASSERT_EQ(read_png_picture(indexed->png.data(), indexed->png.size(), 256, 1024, &picture, &error), 0) << error;
    ASSERT_TRUE(picture.indexed);
    ASSERT_EQ(picture.palette.size(), 48u);
    for (int i = 0; i < 16; i++)
        EXPECT_TRUE(picture.palette[size_t(i) * 3] == palette[i].red &&
                    picture.palette[size_t(i) * 3 + 1] == palette[i].green &&
                    picture.palette[size_t(i) * 3 + 2] == palette[i].blue);
    for (int y = 0; y < 1024; y++)
        for (int x = 0; x < 256; x++) {
            uint8_t b = work.sheet[size_t(1023 - y) * 128 + size_t(x / 2)];
            ASSERT_EQ(picture.indices[size_t(y) * 256 + size_t(x)], x % 2 ? b & 15 : b >> 4) << x << "," << y;
        }
    decoded_png as_rgb = read_png(std::string(rgb->png.begin(), rgb->png.end()), true);
    EXPECT_TRUE(as_rgb.rgb == picture.rgba);
}

namespace {

// A sheet of random indices, and a mesh whose 16 palettes are random colours, some repeated.
struct repaint_case {
    std::vector<uint8_t> sheet;
    map_mesh mesh;
};

repaint_case repaint_maps(uint32_t seed)
{
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    repaint_case c;
    c.sheet.resize(sheet_file_bytes);
    for (uint8_t& b : c.sheet)
        b = uint8_t(next());
    written_mesh m = empty_mesh();
    for (int i = 0; i < 256; i++)
        m.palette_words[i] = uint16_t(next() & 0x7fff);
    for (int p = 0; p < 16; p++)
        m.palette_words[p * 16 + 9] = m.palette_words[p * 16 + 4];  // the same colour twice
    m.tex_quads.push_back(cell_quad(0, 0, 0));
    c.mesh = decode_mesh_bytes(write_map_mesh(m)).mesh;
    return c;
}

std::vector<uint8_t> sheet_png(const repaint_case& c, int palette)
{
    texture_image image;
    decode_texture(c.sheet.data(), &c.mesh.palettes.colours[palette * 16], &image);
    std::vector<uint8_t> png;
    byte_sink sink = memory_sink(&png);
    std::string error;
    EXPECT_EQ(encode_png(&image, &sink, &error), 0);
    return png;
}

// Reads the picture and puts it back into a copy of the sheet.
int put_back(const repaint_case& c, int palette, const std::vector<uint8_t>& png, bool exact, std::vector<uint8_t>* out,
             sheet_edit_counts* counts, std::string* error)
{
    read_picture picture;
    *out = c.sheet;
    if (read_png_picture(png.data(), png.size(), sheet_width, sheet_height, &picture, error) != 0)
        return -1;
    return match_sheet_picture(picture, &c.mesh.palettes.colours[palette * 16], exact, out, counts, error);
}

std::vector<uint8_t> png_of_rgba(const std::vector<uint8_t>& rgba, int width, int height)
{
    std::vector<uint8_t> png;
    byte_sink sink = memory_sink(&png);
    std::string error;
    EXPECT_EQ(encode_png_pixels(rgba.data(), width, height, true, true, &sink, &error), 0);
    return png;
}

// The decoded RGB picture with an alpha channel.
std::vector<uint8_t> rgba_of(const repaint_case& c, int palette)
{
    texture_image image;
    decode_texture(c.sheet.data(), &c.mesh.palettes.colours[palette * 16], &image);
    std::vector<uint8_t> rgba;
    for (size_t i = 0; i < image.pixels.size(); i += 3) {
        rgba.insert(rgba.end(), &image.pixels[i], &image.pixels[i] + 3);
        rgba.push_back(255);
    }
    return rgba;
}

}  // namespace

TEST(SheetWriteBack, AnUnrepaintedPictureGivesTheSheetBackInEveryForm)
{
    // Every palette, RGB as mapconv writes it, RGBA, 16-bit, and a 4-bit palette PNG with the
    // palette's colours (index by index) or with them reversed (colour by colour).
    repaint_case c = repaint_maps(1);
    for (int palette = 0; palette < 16; palette++) {
        std::vector<uint8_t> out;
        sheet_edit_counts counts;
        std::string error;
        ASSERT_EQ(put_back(c, palette, sheet_png(c, palette), false, &out, &counts, &error), 0) << error;
        EXPECT_TRUE(out == c.sheet) << palette;
        EXPECT_EQ(counts.changed + counts.bytes, 0u) << palette;
        ASSERT_EQ(put_back(c, palette, png_of_rgba(rgba_of(c, palette), 256, 1024), false, &out, &counts, &error), 0);
        EXPECT_TRUE(out == c.sheet) << palette;
    }
    const palette_colour* colours = &c.mesh.palettes.colours[5 * 16];
    for (bool reversed : {false, true}) {
        png_palette p;
        p.count = 16;
        p.bit_depth = 4;
        for (int i = 0; i < 16; i++) {
            const palette_colour& colour = colours[reversed ? 15 - i : i];
            p.rgb[i * 3] = uint8_t(colour.red);
            p.rgb[i * 3 + 1] = uint8_t(colour.green);
            p.rgb[i * 3 + 2] = uint8_t(colour.blue);
        }
        std::vector<uint8_t> rows(sheet_file_bytes);
        for (int y = 0; y < 1024; y++)
            for (int x = 0; x < 128; x++) {
                uint8_t b = c.sheet[size_t(1023 - y) * 128 + size_t(x)];
                rows[size_t(y) * 128 + size_t(x)] = reversed ? uint8_t((15 - (b >> 4)) << 4 | (15 - (b & 15))) : b;
            }
        std::vector<uint8_t> png, out;
        byte_sink sink = memory_sink(&png);
        std::string error;
        ASSERT_EQ(encode_png_indexed(rows.data(), 256, 1024, &p, false, &sink, &error), 0);
        sheet_edit_counts counts;
        ASSERT_EQ(put_back(c, 5, png, true, &out, &counts, &error), 0) << error;
        EXPECT_TRUE(out == c.sheet) << reversed;
        EXPECT_EQ(counts.by_index, !reversed);
    }
    // 16 bits a channel, each 8-bit value times 257, as editors widen them.
    std::vector<uint8_t> rgba = rgba_of(c, 2);
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = 256;
    image.height = 1024;
    image.format = PNG_FORMAT_LINEAR_RGB_ALPHA;
    std::vector<uint16_t> wide(rgba.size());
    for (size_t i = 0; i < rgba.size(); i++)
        wide[i] = uint16_t(rgba[i] * 257);
    png_alloc_size_t size = 0;
    ASSERT_TRUE(png_image_write_get_memory_size(image, size, 0, wide.data(), 0, nullptr));
    std::vector<uint8_t> png(size);
    ASSERT_TRUE(png_image_write_to_memory(&image, png.data(), &size, 0, wide.data(), 0, nullptr));
    png.resize(size);
    std::vector<uint8_t> out;
    sheet_edit_counts counts;
    std::string error;
    ASSERT_EQ(put_back(c, 2, png, true, &out, &counts, &error), 0) << error;
    EXPECT_TRUE(out == c.sheet);
}

TEST(SheetWriteBack, EachRepaintedPixelTakesItsColoursIndexOrTheNearest)
{
    repaint_case c = repaint_maps(2);
    const int palette = 3;
    const palette_colour* colours = &c.mesh.palettes.colours[palette * 16];
    auto set = [](std::vector<uint8_t>* rgba, int x, int y, int r, int g, int b) {
        uint8_t* p = &(*rgba)[(size_t(y) * 256 + size_t(x)) * 4];
        p[0] = uint8_t(r);
        p[1] = uint8_t(g);
        p[2] = uint8_t(b);
    };
    auto index_at = [](const std::vector<uint8_t>& sheet, int x, int y) {
        uint8_t b = sheet[size_t(1023 - y) * 128 + size_t(x / 2)];
        return x % 2 ? b & 15 : b >> 4;
    };
    // The colour palette index 4 and 9 share goes to 4 where it is new; a pixel that was 9 and
    // kept its colour stays 9.
    std::vector<uint8_t> rgba = rgba_of(c, palette);
    int kept_x = -1, kept_y = -1;
    for (int y = 0; y < 1024 && kept_x < 0; y++)
        for (int x = 0; x < 256 && kept_x < 0; x++)
            if (index_at(c.sheet, x, y) == 9)
                kept_x = x, kept_y = y;
    ASSERT_GE(kept_x, 0);
    int moved_x = kept_x == 0 ? 1 : 0, moved_y = kept_y;
    ASSERT_NE(index_at(c.sheet, moved_x, moved_y), 4);
    ASSERT_NE(index_at(c.sheet, moved_x, moved_y), 9);
    set(&rgba, moved_x, moved_y, colours[9].red, colours[9].green, colours[9].blue);
    // A colour the palette does not hold: the nearest, and of two equally near the first.
    int far_x = 200, far_y = 1023;  // the picture's last row is the sheet's first
    set(&rgba, far_x, far_y, colours[1].red + 1, colours[1].green, colours[1].blue);
    std::vector<uint8_t> out;
    sheet_edit_counts counts;
    std::string error;
    ASSERT_EQ(put_back(c, palette, png_of_rgba(rgba, 256, 1024), false, &out, &counts, &error), 0) << error;
    EXPECT_EQ(index_at(out, kept_x, kept_y), 9);
    EXPECT_EQ(index_at(out, moved_x, moved_y), 4);
    int nearest = index_at(out, far_x, far_y);
    EXPECT_TRUE(nearest == 1 ||
                (colours[nearest].red == colours[1].red + 1 && colours[nearest].green == colours[1].green &&
                 colours[nearest].blue == colours[1].blue));
    bool far_changed = index_at(c.sheet, far_x, far_y) != 1 || nearest != 1;
    EXPECT_EQ(counts.changed, 1u + (far_changed ? 1u : 0u));
    for (size_t i = 0; i < out.size(); i++) {
        if (i != size_t(1023 - moved_y) * 128 + size_t(moved_x / 2) && i != size_t(far_x / 2)) {
            ASSERT_EQ(out[i], c.sheet[i]) << "byte " << i;
        }
    }

    // Equally near two colours: the first. Palette 0 of this case set to greys 0, 16, 32, ...
    repaint_case grey = c;
    for (int i = 0; i < 16; i++)
        grey.mesh.palettes.colours[i] = palette_colour{0, uint16_t(i * 16), uint16_t(i * 16), uint16_t(i * 16)};
    std::vector<uint8_t> greys = rgba_of(grey, 0);
    set(&greys, 7, 7, 24, 24, 24);  // between 16 and 32
    ASSERT_EQ(put_back(grey, 0, png_of_rgba(greys, 256, 1024), false, &out, &counts, &error), 0) << error;
    EXPECT_EQ(index_at(out, 7, 7), 1);
    EXPECT_EQ(counts.nearest, index_at(grey.sheet, 7, 7) == 1 ? 0u : 1u);
    EXPECT_EQ(counts.farthest, index_at(grey.sheet, 7, 7) == 1 ? 0 : 3 * 64);

    // With exact colours only, the first pixel the palette cannot hold is named, nothing else.
    set(&greys, 3, 0, 1, 2, 3);
    EXPECT_EQ(put_back(grey, 0, png_of_rgba(greys, 256, 1024), true, &out, &counts, &error), -1);
    EXPECT_EQ(error, "pixel 3, 0 (byte 130945 of the sheet) is #010203, which the palette does not hold");
}

TEST(SheetWriteBack, RefusesWhatIsNotAWholeOpaquePictureOfTheSheet)
{
    repaint_case c = repaint_maps(3);
    std::vector<uint8_t> out;
    sheet_edit_counts counts;
    std::string error;
    auto refused = [&](const std::vector<uint8_t>& png, bool exact = false) {
        error.clear();
        return put_back(c, 0, png, exact, &out, &counts, &error) == -1 ? error : std::string("accepted");
    };
    // Transparency, at a corner and in the middle; the byte is the sheet's.
    for (auto at : {std::make_pair(0, 0), std::make_pair(255, 1023), std::make_pair(5, 0)}) {
        std::vector<uint8_t> rgba = rgba_of(c, 0);
        rgba[(size_t(at.second) * 256 + size_t(at.first)) * 4 + 3] = 254;
        size_t byte = size_t(1023 - at.second) * 128 + size_t(at.first / 2);
        EXPECT_EQ(refused(png_of_rgba(rgba, 256, 1024)),
                  "pixel " + std::to_string(at.first) + ", " + std::to_string(at.second) + " (byte " +
                      std::to_string(byte) + " of the sheet) is transparent (alpha 254): a sheet has no transparency");
    }
    // Another size, by a pixel either way, and a header that claims 100,000 x 100,000 (refused
    // before a byte of it is decoded).
    std::vector<uint8_t> small(256 * 1023 * 4, 255);
    EXPECT_EQ(refused(png_of_rgba(small, 256, 1023)), "256 x 1023 pixels; the picture of a sheet is 256 x 1024");
    std::vector<uint8_t> wide(257 * 1024 * 4, 255);
    EXPECT_EQ(refused(png_of_rgba(wide, 257, 1024)), "257 x 1024 pixels; the picture of a sheet is 256 x 1024");
    std::vector<uint8_t> huge = png_of_rgba(std::vector<uint8_t>(4 * 4, 255), 2, 2);
    const uint8_t big[8] = {0, 1, 0x86, 0xa0, 0, 1, 0x86, 0xa0};  // 100,000 twice
    memcpy(&huge[16], big, 8);
    uint32_t crc = uint32_t(crc32(0, &huge[12], 17));
    for (int i = 0; i < 4; i++)
        huge[29 + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
    EXPECT_EQ(refused(huge), "100000 x 100000 pixels; the picture of a sheet is 256 x 1024");
    // Not a PNG at all, and one cut short.
    EXPECT_EQ(refused(std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'}), "not a PNG");
    std::vector<uint8_t> cut = sheet_png(c, 0);
    cut.resize(cut.size() / 2);
    EXPECT_EQ(refused(cut).rfind("not a picture libpng can read (", 0), 0u) << error;
    // A palette PNG with a pixel past its palette: written with eight colours, its PLTE then cut to
    // three (libpng writes no index past its palette).
    png_palette p;
    p.count = 8;
    std::vector<uint8_t> indices(256 * 1024, 1);
    indices[300] = 7;
    std::vector<uint8_t> png;
    byte_sink sink = memory_sink(&png);
    ASSERT_EQ(encode_png_indexed(indices.data(), 256, 1024, &p, true, &sink, &error), 0);
    size_t plte = 33;  // after the signature and IHDR
    ASSERT_EQ(memcmp(&png[plte + 4], "PLTE", 4), 0);
    png[plte + 3] = 9;
    png.erase(png.begin() + long(plte + 8 + 9), png.begin() + long(plte + 8 + 24));
    uint32_t plte_crc = uint32_t(crc32(0, &png[plte + 4], 4 + 9));
    for (int i = 0; i < 4; i++)
        png[plte + 8 + 9 + size_t(i)] = uint8_t(plte_crc >> (24 - 8 * i));
    std::string said = refused(png);
    EXPECT_TRUE(said == "pixel 44, 1 is colour 7 of a palette of 3" ||
                said.rfind("not a picture libpng can read (", 0) == 0)
        << said;
}
