#include <algorithm>

#include <gtest/gtest.h>

#include "map_writer.h"
#include "readers.h"
#include "wavefront/wavefront.h"

namespace {

map_mesh decode(const written_mesh& m)
{
    decoded_mesh d = decode_mesh_bytes(write_map_mesh(m));
    EXPECT_EQ(d.result, 0);
    return d.mesh;
}

// Runs a writer into memory and returns what it wrote.
template <typename write_fn>
std::string written_text(write_fn write)
{
    std::vector<uint8_t> bytes;
    byte_sink sink = memory_sink(&bytes);
    EXPECT_EQ(write(&sink), 0);
    return std::string(bytes.begin(), bytes.end());
}

std::string obj_text(const map_mesh& mesh, const char* mtl_name = "m_t.mtl")
{
    std::vector<char> block;
    std::vector<int> palettes = {0};
    obj_materials materials = {&palettes, 0};
    return obj_mtllib_line(mtl_name) +
           written_text([&](byte_sink* out) { return write_obj_body(&mesh, materials, nullptr, &block, out); });
}

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

size_t line_count(const std::string& text)
{
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

written_polygon one_triangle()
{
    written_polygon p = {};
    p.position[0] = {100, 100, -250};
    p.position[1] = {32767, -32768, 0};
    p.position[2] = {1, -1, 2};
    p.normal[0] = {0, -100, 0};
    p.normal[1] = {70, -70, 1};
    p.normal[2] = {-3, 0, 3};
    p.uv[0] = {0, 255};
    p.uv[1] = {255, 0};
    p.uv[2] = {2, 232};
    p.page_byte = 3;
    return p;
}

}  // namespace

TEST(WriteObj, OneTexturedAndOneUntexturedTriangle)
{
    written_mesh m = empty_mesh();
    m.tex_tris.push_back(one_triangle());
    written_polygon skirt = {};
    skirt.position[0] = {-100, 0, 0};
    skirt.position[1] = {0, 200, 0};
    skirt.position[2] = {0, 0, 300};
    m.untex_tris.push_back(skirt);
    EXPECT_EQ(obj_text(decode(m)), "mtllib m_t.mtl\n"
                                   "o terrain\n"
                                   "v 1.000000 -1.000000 -2.500000\n"
                                   "v 327.670013 -327.679993 0.000000\n"
                                   "v 0.010000 0.010000 0.020000\n"
                                   "vn 0.000000 1.000000 0.000000\n"
                                   "vn 0.700000 0.700000 0.010000\n"
                                   "vn -0.030000 0.000000 0.030000\n"
                                   "vt 0.000000 0.999023 \n"
                                   "vt 0.996094 0.750000 \n"
                                   "vt 0.007812 0.976562 \n"
                                   "g tex\n"
                                   "usemtl blah\n"
                                   "f 1/1/1 2/2/2 3/3/3 \n"
                                   "o skirt\n"
                                   "v -1.000000 0.000000 0.000000\n"
                                   "v 0.000000 -2.000000 0.000000\n"
                                   "v 0.000000 0.000000 3.000000\n"
                                   "f 4 5 6 \n");
}

TEST(WriteObj, EmptyListsKeepTheirHeaders)
{
    written_mesh untextured = empty_mesh();
    untextured.untex_quads.push_back(written_polygon{});
    EXPECT_EQ(obj_text(decode(untextured), "a b.mtl"),
              "mtllib a b.mtl\no terrain\ng tex\nusemtl blah\no skirt\n"
              "v 0.000000 0.000000 0.000000\nv 0.000000 0.000000 0.000000\nv 0.000000 0.000000 0.000000\n"
              "v 0.000000 0.000000 0.000000\nv 0.000000 0.000000 0.000000\nv 0.000000 0.000000 0.000000\n"
              "f 1 2 3 \nf 4 5 6 \n");

    written_mesh textured = empty_mesh();
    textured.tex_quads.push_back(one_triangle());
    std::string text = obj_text(decode(textured));
    EXPECT_EQ(line_count(text), 5u + 10 * 2);
    EXPECT_TRUE(ends_with(text, "\nf 4/4/4 5/5/5 6/6/6 \no skirt\n"));
}

TEST(WriteObj, LineCountAndIndicesPastSixteenBits)
{
    // The largest mesh the format holds (every count 65,535): far past what 16-bit indices can
    // count, and every face line of it as printf would write it, so no range of indices can be
    // garbled unseen.
    written_mesh m = empty_mesh();
    m.tex_tris.assign(65535, one_triangle());
    m.tex_quads.assign(65535, one_triangle());
    m.untex_tris.assign(65535, written_polygon{});
    m.untex_quads.assign(65535, written_polygon{});
    map_mesh mesh = decode(m);
    std::string text = obj_text(mesh);
    const uint32_t textured = 3 * 65535, untextured = 3 * 65535;
    EXPECT_EQ(line_count(text), 5u + 10 * textured + 4 * untextured);
    std::string faces, skirt;
    char line[128];
    for (uint32_t t = 0; t < textured; t++) {
        uint32_t i = 3 * t + 1;
        faces.append(line, size_t(snprintf(line, sizeof line, "f %u/%u/%u %u/%u/%u %u/%u/%u \n", i, i, i, i + 1, i + 1,
                                           i + 1, i + 2, i + 2, i + 2)));
    }
    for (uint32_t t = 0; t < untextured; t++) {
        uint32_t i = 3 * (textured + t) + 1;
        skirt.append(line, size_t(snprintf(line, sizeof line, "f %u %u %u \n", i, i + 1, i + 2)));
    }
    size_t at = text.find("usemtl blah\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_TRUE(text.compare(at + 12, faces.size(), faces) == 0);
    EXPECT_TRUE(ends_with(text, skirt));
    EXPECT_TRUE(ends_with(text, "\nf 1179628 1179629 1179630 \n"));
}

TEST(WriteMtl, NineLinesNamingTheSheet)
{
    std::vector<int> palettes = {0};
    obj_materials materials = {&palettes, 0};
    std::string text =
        written_text([&](byte_sink* out) { return write_mtl(materials, {"my map.tex_tex_0.png"}, out); });
    EXPECT_EQ(text, "newmtl blah\n"
                    "Ns 100.000\n"
                    "d 1.00000\n"
                    "illum 2\n"
                    "Kd 1.00000 1.00000 1.00000\n"
                    "Ka 1.00000 1.00000 1.00000\n"
                    "Ks 1.00000 1.00000 1.00000\n"
                    "Ke 0.00000 0.00000 0.00000\n"
                    "map_Kd my map.tex_tex_0.png\n");
    EXPECT_EQ(text.size(), 157u + strlen("my map.tex_tex_0.png"));
}
