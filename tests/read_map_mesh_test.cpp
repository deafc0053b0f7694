#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "map_writer.h"
#include "mesh/read_map_mesh.h"
#include "readers.h"

namespace {

decoded_mesh decode(const std::string& bytes)
{
    return decode_mesh_bytes(bytes);
}

written_polygon polygon(int base)
{
    written_polygon p = {};
    for (int c = 0; c < 4; c++) {
        p.position[c] = corner_vector{int16_t(base + c), int16_t(base + 10 + c), int16_t(base + 20 + c)};
        p.normal[c] = corner_vector{int16_t(-base - c), int16_t(base + 30 + c), int16_t(base + 40 + c)};
        p.uv[c] = corner_uv{uint8_t(base + c), uint8_t(base + 50 + c)};
    }
    return p;
}

// The palettes alone, as a repainted sheet's write-back reads them. Returns the refusal, or "".
std::string palettes_of(const std::string& bytes, palette_table* palettes)
{
    byte_source source = memory_source(bytes.data(), bytes.size());
    read_problem problem;
    return read_mesh_palettes(&source, palettes, &problem) == 0 ? "" : problem.reason;
}

void expect_corner(const float* got, float x, float y, float z)
{
    EXPECT_EQ(got[0], x);
    EXPECT_EQ(got[1], y);
    EXPECT_EQ(got[2], z);
}

}  // namespace

TEST(ReadMapMesh, DecodesCoordinatesInHundredthsWithYNegated)
{
    written_mesh m = empty_mesh();
    written_polygon p = {};
    p.position[0] = {100, 100, -250};
    p.position[1] = {-32768, -32768, 1};
    p.position[2] = {0, 0, 32767};
    p.normal[0] = {100, 100, -250};
    m.tex_tris.push_back(p);
    decoded_mesh d = decode(write_map_mesh(m));
    ASSERT_EQ(d.result, 0);
    expect_corner(d.mesh.tex_positions[0].corner[0], 1.0f, -1.0f, -2.5f);
    // -32768 has no positive counterpart in 16 bits: negated, it stays -32768.
    expect_corner(d.mesh.tex_positions[0].corner[1], -327.68f, -327.68f, 0.01f);
    expect_corner(d.mesh.tex_positions[0].corner[2], 0.0f, 0.0f, 327.67f);
    EXPECT_FALSE(std::signbit(d.mesh.tex_positions[0].corner[2][1]));
    expect_corner(d.mesh.tex_normals[0].corner[0], 1.0f, -1.0f, -2.5f);
}

TEST(ReadMapMesh, SplitsQuadsIntoABCAndBDC)
{
    written_mesh m = empty_mesh();
    m.tex_tris.push_back(polygon(1));
    written_polygon q = polygon(100);
    q.palette_byte = 9;
    q.page_byte = 1;
    m.tex_quads.push_back(q);
    m.untex_quads.push_back(polygon(200));
    decoded_mesh d = decode(write_map_mesh(m));
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.mesh.tex_positions.size(), 3u);
    ASSERT_EQ(d.mesh.untex_positions.size(), 2u);

    const int order[2][3] = {{0, 1, 2}, {1, 3, 2}};  // A B C, then B D C
    for (int t = 0; t < 2; t++)
        for (int c = 0; c < 3; c++) {
            int k = order[t][c];
            expect_corner(d.mesh.tex_positions[1 + t].corner[c], (100 + k) / 100.0f, -(110 + k) / 100.0f,
                          (120 + k) / 100.0f);
            expect_corner(d.mesh.tex_normals[1 + t].corner[c], -(100 + k) / 100.0f, -(130 + k) / 100.0f,
                          (140 + k) / 100.0f);
            expect_corner(d.mesh.untex_positions[t].corner[c], (200 + k) / 100.0f, -(210 + k) / 100.0f,
                          (220 + k) / 100.0f);
            EXPECT_EQ(d.mesh.tex_uvs[1 + t].corner[c][0], 100 + k);
            EXPECT_EQ(d.mesh.tex_uvs[1 + t].corner[c][1], 150 + k + 256);
        }
    for (int t = 1; t < 3; t++) {
        EXPECT_EQ(d.mesh.tex_faces[t].palette_number, 9);
        EXPECT_EQ(d.mesh.tex_faces[t].page_offset, 256);
    }
    // The triangle before the quad is untouched by it.
    EXPECT_EQ(d.mesh.tex_uvs[0].corner[2][0], 3);
    EXPECT_EQ(d.mesh.tex_uvs[0].corner[2][1], 53);
}

TEST(ReadMapMesh, AddsTexturePageOnceAndKeepsPaletteByteWhole)
{
    const struct {
        uint8_t page_byte;
        uint16_t offset;
    } cases[] = {{0x06, 512}, {0xFF, 768}, {0x07, 768}, {0x03, 768}, {0x04, 0}};
    for (auto c : cases) {
        written_mesh m = empty_mesh();
        written_polygon q = {};
        q.uv[0] = {0, 255};
        q.uv[3] = {255, 7};
        q.page_byte = c.page_byte;
        q.palette_byte = 0xFF;
        m.tex_quads.push_back(q);
        decoded_mesh d = decode(write_map_mesh(m));
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(d.mesh.tex_faces[0].page_offset, c.offset);
        EXPECT_EQ(d.mesh.tex_faces[1].page_offset, c.offset);
        EXPECT_EQ(d.mesh.tex_faces[1].palette_number, 255);
        EXPECT_EQ(d.mesh.tex_uvs[0].corner[0][1], 255 + c.offset);
        EXPECT_EQ(d.mesh.tex_uvs[1].corner[1][0], 255);
        EXPECT_EQ(d.mesh.tex_uvs[1].corner[1][1], 7 + c.offset);
        EXPECT_EQ(d.mesh.tex_uvs[1].corner[0][1], c.offset);  // B copied with its offset, not twice
    }
}

TEST(ReadMapMesh, ScalesPaletteChannelsTo247)
{
    written_mesh m = empty_mesh();
    m.untex_tris.push_back(written_polygon{});
    m.palette_words[0] = 0x7FFF;
    m.palette_words[1] = 0xFFFF;
    m.palette_words[2] = 0x8000;
    m.palette_words[3] = 0x0001;
    m.palette_words[4] = 0x001F;
    m.palette_words[5] = 0x03E0;
    m.palette_words[6] = 0x7C00;
    m.palette_words[7] = colour_word(2, 16, 30);
    m.palette_words[37] = colour_word(31, 0, 1);  // colour 5 of palette 2
    decoded_mesh d = decode(write_map_mesh(m));
    ASSERT_EQ(d.result, 0);
    auto expect = [&](int i, int r, int g, int b) {
        const palette_colour& c = d.mesh.palettes.colours[i];
        EXPECT_EQ(c.zero, 0) << i;
        EXPECT_EQ(c.red, r) << i;
        EXPECT_EQ(c.green, g) << i;
        EXPECT_EQ(c.blue, b) << i;
    };
    expect(0, 247, 247, 247);
    expect(1, 247, 247, 247);
    expect(2, 0, 0, 0);
    expect(3, 7, 0, 0);
    expect(4, 247, 0, 0);
    expect(5, 0, 247, 0);
    expect(6, 0, 0, 247);
    expect(7, 15, 127, 239);
    expect(37, 247, 0, 7);
}

TEST(ReadMapMesh, PrintsTheQuadCountThenTheStatistics)
{
    written_mesh m = empty_mesh();
    m.tex_tris.assign(2, written_polygon{});
    m.tex_quads.assign(1, written_polygon{});
    m.untex_quads.assign(3, written_polygon{});
    decoded_mesh d = decode(write_map_mesh(m));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.out, "3\nTriangles in Map: 2\nQuads in Map: 1\nUntextured Triangles in Map: 0\n"
                     "Untextured Quads in Map: 3\n");
    EXPECT_EQ(d.err, "");
    EXPECT_EQ(d.mesh.tex_positions.size(), 4u);
    EXPECT_EQ(d.mesh.untex_positions.size(), 6u);
}

TEST(ReadMapMesh, PrintsCountsUnsigned)
{
    written_mesh m = empty_mesh();
    m.untex_tris.assign(65535, written_polygon{});
    decoded_mesh d = decode(write_map_mesh(m));
    ASSERT_EQ(d.result, 0);
    EXPECT_NE(d.out.find("Untextured Triangles in Map: 65535\n"), std::string::npos);
}

TEST(ReadMapMesh, RejectsWhatIsNotAMesh)
{
    written_mesh m = empty_mesh();
    m.tex_tris.push_back(written_polygon{});
    m.block_offset = 0x1C4;  // bytes C4 01 00 00
    decoded_mesh d = decode(write_map_mesh(m));
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.out, "Not a mesh file.\n");
    EXPECT_EQ(d.err, "mapconv: m.msh: mesh block offset is 452, not 196\n");
    palette_table palettes;
    EXPECT_EQ(palettes_of(write_map_mesh(m), &palettes), "mesh block offset is 452, not 196");

    decoded_mesh zero = decode(write_map_mesh(empty_mesh()));
    EXPECT_EQ(zero.result, -1);
    EXPECT_EQ(zero.out, "0\nNot a mesh file.\n");
    EXPECT_EQ(palettes_of(write_map_mesh(empty_mesh()), &palettes), "all four polygon counts are zero");
}

TEST(ReadMapMesh, LeastSizeFollowsTheCounts)
{
    const struct {
        int tt, tq, ut, uq;
        size_t least;
    } cases[] = {{1, 0, 0, 0, 764}, {0, 0, 0, 1, 744}, {1, 2, 3, 4, 1066}};
    for (auto c : cases) {
        written_mesh m = empty_mesh();
        m.tex_tris.assign(c.tt, polygon(1));
        m.tex_quads.assign(c.tq, polygon(2));
        m.untex_tris.assign(c.ut, polygon(3));
        m.untex_quads.assign(c.uq, polygon(4));
        m.palette_words[255] = 0x7FFF;  // the last word of the file
        std::string bytes = write_map_mesh(m);
        ASSERT_EQ(bytes.size(), c.least);
        decoded_mesh d = decode(bytes);
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(d.mesh.palettes.colours[255].blue, 247);
        // The palettes alone are the decoded mesh's, wherever the counts put them.
        for (int i = 0; i < 256; i++)
            m.palette_words[i] = uint16_t(i * 131 + c.least);
        palette_table palettes;
        ASSERT_EQ(palettes_of(write_map_mesh(m), &palettes), "");
        decoded_mesh coloured = decode(write_map_mesh(m));
        EXPECT_EQ(memcmp(&palettes, &coloured.mesh.palettes, sizeof palettes), 0);

        // Bytes after the palette area change nothing.
        decoded_mesh longer = decode(bytes + std::string(100, '\x7f'));
        ASSERT_EQ(longer.result, 0);
        EXPECT_EQ(longer.out, d.out);
    }
}

TEST(ReadMapMesh, RefusesEveryTruncation)
{
    written_mesh m = empty_mesh();
    m.tex_tris.push_back(polygon(1));
    m.tex_quads.push_back(polygon(2));
    m.untex_tris.push_back(polygon(3));
    m.untex_quads.push_back(polygon(4));
    std::string bytes = write_map_mesh(m);
    for (size_t n = 0; n < bytes.size(); n++) {
        decoded_mesh d = decode(bytes.substr(0, n));
        ASSERT_EQ(d.result, -1) << n;
        std::string expected_out = n < 204 ? "Not a mesh file.\n" : "1\nNot a mesh file.\n";
        EXPECT_EQ(d.out, expected_out) << n;
        size_t needed = n < 68 ? 68 : n < 204 ? 204 : bytes.size();
        EXPECT_EQ(d.err,
                  "mapconv: m.msh: truncated: " + std::to_string(n) + " of " + std::to_string(needed) + " bytes\n")
            << n;
        palette_table palettes;
        EXPECT_EQ(palettes_of(bytes.substr(0, n), &palettes),
                  "truncated: " + std::to_string(n) + " of " + std::to_string(needed) + " bytes")
            << n;
    }
    EXPECT_EQ(decode(bytes).result, 0);
}

TEST(ReadMapMesh, WidensListsPast65535Triangles)
{
    written_mesh m = empty_mesh();
    m.tex_tris.assign(30000, written_polygon{});
    m.tex_quads.assign(20000, polygon(7));
    decoded_mesh d = decode(write_map_mesh(m));
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.mesh.tex_positions.size(), 70000u);
    // The last triangle is the second half (B, D, C) of the last quad.
    expect_corner(d.mesh.tex_positions[69999].corner[1], 0.10f, -0.20f, 0.30f);
    EXPECT_EQ(d.mesh.tex_uvs[69999].corner[1][0], 10);
}
