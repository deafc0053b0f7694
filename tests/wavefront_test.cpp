#include <algorithm>

#include <gtest/gtest.h>

#include "map_writer.h"
#include "mesh/face_order.h"
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

namespace {

// A wall two units deep under the edge from P to Q (hundredths): corners A B C D = P, below P, Q,
// below Q face to the left of P to Q seen from above with x turning toward z; out turns it round.
written_polygon wall_under(int px, int pz, int qx, int qz, bool out)
{
    written_polygon wall = {};
    wall.position[0] = {int16_t(px), 0, int16_t(pz)};
    wall.position[1] = {int16_t(px), 200, int16_t(pz)};  // the file's y grows down
    wall.position[2] = {int16_t(qx), 0, int16_t(qz)};
    wall.position[3] = {int16_t(qx), 200, int16_t(qz)};
    if (out)
        std::swap(wall.position[1], wall.position[2]);
    return wall;
}

// Walls along a square's sides, corner to corner with x turning toward z, pieces to a side: facing
// into the square, or out of it.
void add_walls(written_mesh* m, int low, int high, int pieces, bool out)
{
    const int corners[5][2] = {{low, low}, {high, low}, {high, high}, {low, high}, {low, low}};
    for (int side = 0; side < 4; side++)
        for (int k = 0; k < pieces; k++) {
            auto at = [&](int axis, int step) {
                return corners[side][axis] + (corners[side + 1][axis] - corners[side][axis]) * step / pieces;
            };
            m->untex_quads.push_back(wall_under(at(0, k), at(1, k), at(0, k + 1), at(1, k + 1), out));
        }
}

// A 4 x 4 map of flat cells whose terrain turns counter-clockwise seen from above (clockwise when
// ccw is false), closed by sixteen walls facing out of it (into it when out is false).
written_mesh walled_map(bool ccw, bool out)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++) {
            written_polygon p = cell_quad(i, 0, j);
            if (!ccw)
                std::swap(p.position[1], p.position[2]);  // normals still up
            m.tex_quads.push_back(p);
        }
    add_walls(&m, 0, 400, 4, out);
    return m;
}

face_orders orders_of(const written_mesh& m)
{
    map_mesh mesh = decode(m);
    return choose_face_orders(&mesh);
}

bool is(corner_order order, corner_order want)
{
    return order.corner[1] == want.corner[1] && order.corner[2] == want.corner[2];
}

}  // namespace

TEST(FaceOrders, TheSkirtFacesOutOfTheMapWhicheverWayTheTerrainTurns)
{
    for (bool ccw : {true, false})
        for (bool out : {true, false}) {
            face_orders orders = orders_of(walled_map(ccw, out));
            EXPECT_TRUE(is(orders.majority, ccw ? as_stored : swapped)) << ccw << out;
            EXPECT_TRUE(is(orders.skirt, out ? as_stored : swapped)) << ccw << out;
        }
    // A pit in the middle, whose four walls face into it, is outvoted by the sixteen outer ones.
    written_mesh pit = walled_map(false, true);
    add_walls(&pit, 150, 250, 1, false);
    EXPECT_TRUE(is(orders_of(pit).skirt, as_stored));
    add_walls(&pit, 100, 300, 12, false);  // and a pit of more walls than the map has outside decides
    EXPECT_TRUE(is(orders_of(pit).skirt, swapped));
    // Where the skirt does not decide (flat pieces, walls of no area, as many walls each way), it
    // takes the terrain's majority, as the terrain's undecided triangles do.
    for (bool ccw : {true, false}) {
        written_mesh flat = walled_map(ccw, true);
        for (written_polygon& w : flat.untex_quads)
            for (corner_vector& c : w.position)
                c.y = 0;
        EXPECT_TRUE(is(orders_of(flat).skirt, ccw ? as_stored : swapped));
        written_mesh tie = walled_map(ccw, true);
        for (size_t i = 0; i < tie.untex_quads.size(); i += 2)
            std::swap(tie.untex_quads[i].position[1], tie.untex_quads[i].position[2]);
        EXPECT_TRUE(is(orders_of(tie).skirt, ccw ? as_stored : swapped));
    }
    written_mesh none = walled_map(false, true);
    none.untex_quads.clear();
    EXPECT_TRUE(is(orders_of(none).skirt, swapped));
}
