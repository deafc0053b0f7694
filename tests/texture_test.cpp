#include <cstring>

#include <gtest/gtest.h>
#include <png.h>

#include "convert.h"
#include "map_writer.h"
#include "readers.h"
#include "run_program.h"
#include "texture/export_texture.h"
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
}
