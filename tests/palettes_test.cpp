// --all-palettes: every textured triangle in the colours its own palette names.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>
#include <png.h>
#include <tiny_obj_loader.h>

#include "map_writer.h"
#include "readers.h"
#include "run_program.h"

namespace {

const uint8_t palette_bytes[] = {0, 3, 15, 0x13, 0, 15};  // 0x13 selects palette 3

written_mesh palette_mesh()
{
    written_mesh m = empty_mesh();
    for (int p = 0; p < 16; p++)
        for (int c = 0; c < 16; c++)
            m.palette_words[p * 16 + c] = colour_word(p * 2, c * 2, (p + c) & 31);
    for (int i = 0; i < 6; i++) {
        written_polygon t = {};
        for (int c = 0; c < 4; c++) {
            t.position[c] = {int16_t(i * 100 + c), int16_t(c * 10), int16_t(c * 100)};
            t.normal[c] = {0, -100, 0};
            t.uv[c] = {uint8_t(i * 40 + c * 7), uint8_t(c * 50 + i)};
        }
        t.palette_byte = palette_bytes[i];
        t.page_byte = uint8_t(i % 4);
        (i < 4 ? m.tex_tris : m.tex_quads).push_back(t);
    }
    written_polygon wall = {};
    wall.position[1] = {100, 0, 0};
    wall.position[2] = {0, 100, 0};
    m.untex_tris.push_back(wall);
    return m;
}

int texel_index(int x, int y, void*)
{
    return (x * 3 + y * 5 + x / 7) & 15;
}

}  // namespace

TEST(AllPalettes, OneSheetAndMaterialPerUsedPalette)
{
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "pm", write_map_mesh(palette_mesh())), 0);
    ASSERT_EQ(write_file(folder / "pt", write_texture(texel_index, nullptr)), 0);
    program_run plain = run_mapconv(folder.path, {"p"});
    std::string plain_obj = read_file(folder / "pm_pt.obj");
    program_run run = run_mapconv(folder.path, {"--all-palettes", "p"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, plain.out);

    std::vector<std::string> names = list_names(folder.path);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"pm", "pm_pt.mtl", "pm_pt.obj", "pt", "pt_tex_0.png", "pt_tex_15.png",
                                               "pt_tex_3.png"}));

    std::string material_body =
        "Ns 100.000\nd 1.00000\nillum 2\nKd 1.00000 1.00000 1.00000\nKa 1.00000 1.00000 1.00000\n"
        "Ks 1.00000 1.00000 1.00000\nKe 0.00000 0.00000 0.00000\n";
    EXPECT_EQ(read_file(folder / "pm_pt.mtl"), "newmtl palette_0\n" + material_body + "map_Kd pt_tex_0.png\n" +
                                                   "newmtl palette_3\n" + material_body + "map_Kd pt_tex_3.png\n" +
                                                   "newmtl palette_15\n" + material_body + "map_Kd pt_tex_15.png\n");

    // Vertex data is unchanged; faces are grouped by palette, in list order inside a group.
    // Triangles: 0 (palette 0), 1 (3), 2 (15), 3 (0x13), quads 4 and 5 give 4-5 (0) and 6-7 (15).
    std::string obj = read_file(folder / "pm_pt.obj");
    size_t faces_at = obj.find("g tex\n") + 6;
    EXPECT_EQ(obj.substr(0, faces_at), plain_obj.substr(0, faces_at));
    auto face = [](int t) {
        std::string line = "f";
        for (int i = 3 * t + 1; i <= 3 * t + 3; i++)
            line += " " + std::to_string(i) + "/" + std::to_string(i) + "/" + std::to_string(i);
        return line + " \n";
    };
    EXPECT_EQ(obj.substr(faces_at, obj.find("o skirt\n") - faces_at),
              "usemtl palette_0\n" + face(0) + face(4) + face(5) + "usemtl palette_3\n" + face(1) + face(3) +
                  "usemtl palette_15\n" + face(2) + face(6) + face(7));
    EXPECT_EQ(obj.substr(obj.find("o skirt\n")), plain_obj.substr(plain_obj.find("o skirt\n")));
}

TEST(AllPalettes, EveryCornerShowsItsOwnPalettesColour)
{
    scratch_folder folder;
    written_mesh m = palette_mesh();
    ASSERT_EQ(write_file(folder / "pm", write_map_mesh(m)), 0);
    ASSERT_EQ(write_file(folder / "pt", write_texture(texel_index, nullptr)), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"--all-palettes", "p"}).status, 0);

    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warning, error;
    ASSERT_TRUE(tinyobj::LoadObj(&attrib, &shapes, &materials, &warning, &error, (folder / "pm_pt.obj").c_str(),
                                 (folder.path + "/").c_str()));
    EXPECT_EQ(warning, "");
    EXPECT_EQ(error, "");
    ASSERT_EQ(materials.size(), 3u);

    // Colour c of palette p is (2p, 2c, p + c) in 5 bits, scaled by 255/32.
    auto expected = [](int p, int c) {
        return std::vector<uint8_t>{uint8_t(p * 2 * 255 / 32), uint8_t(c * 2 * 255 / 32),
                                    uint8_t(((p + c) & 31) * 255 / 32)};
    };
    size_t checked = 0;
    for (const tinyobj::shape_t& shape : shapes) {
        for (size_t f = 0; f < shape.mesh.material_ids.size(); f++) {
            // Face f of this shape is terrain triangle (first index - 1) / 3. The skirt's faces come
            // after the terrain's 8 x 3 vertices; OBJ carries the last material over to them.
            int triangle = shape.mesh.indices[f * 3].vertex_index / 3;
            if (triangle >= 8)
                continue;
            int material = shape.mesh.material_ids[f];
            ASSERT_GE(material, 0);
            const tinyobj::material_t& mat = materials[size_t(material)];
            int palette = atoi(mat.name.c_str() + strlen("palette_"));
            int source = triangle < 4 ? triangle : 4 + (triangle - 4) / 2;
            EXPECT_EQ(palette, palette_bytes[source] % 16) << triangle;
            std::vector<uint8_t> rgb = png_pixels(folder / mat.diffuse_texname);
            ASSERT_EQ(rgb.size(), 256u * 1024 * 3);
            for (int c = 0; c < 3; c++) {
                const tinyobj::index_t& i = shape.mesh.indices[f * 3 + size_t(c)];
                int u = int(std::lround(attrib.texcoords[size_t(i.texcoord_index) * 2] * 256));
                int v = int(std::lround(attrib.texcoords[size_t(i.texcoord_index) * 2 + 1] * 1024));
                // The sheet's file row v is the image's row 1023 - v.
                const uint8_t* px = &rgb[(size_t(1023 - v) * 256 + size_t(u)) * 3];
                EXPECT_EQ(std::vector<uint8_t>(px, px + 3), expected(palette, texel_index(u, v, nullptr)))
                    << "triangle " << triangle << " corner " << c;
                checked++;
            }
        }
    }
    EXPECT_EQ(checked, 8u * 3);
}
