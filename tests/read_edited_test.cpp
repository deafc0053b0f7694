// The readers of edited files, in memory: an OBJ or a .glb as mapconv writes it or as an editor
// exports it again, read into the faces of the terrain and the skirt; each refusal's branch.
#include <gtest/gtest.h>

#include "gltf/encode_glb.h"
#include "gltf/read_glb.h"
#include "map_writer.h"
#include "mesh/match_edit.h"
#include "mesh/read_map_mesh.h"
#include "mesh/write_map_mesh.h"
#include "test_maps.h"
#include "wavefront/read_obj.h"

namespace {

int read_obj(const std::string& text, edited_model* model, std::string* error)
{
    return read_obj_model(text.data(), text.size(), model, error);
}

// Two terrain triangles and one skirt triangle, corners named by relative and absolute indices.
const char two_objects[] = "v 1 2 3\nv 4 5 6\nv 7 8 9\n"
                           "vt 0.5 0.25\nvt 0.75 0.5\nvt 0 1\n"
                           "vn 0 1 0\nvn 0 0 1\n"
                           "o terrain.001\n"
                           "usemtl palette_3\n"
                           "f 1/1/1 2/2/2 3/3/1\n"
                           "usemtl palette_12.004\n"
                           "f -1/-1/-1 -3/-3/-2 -2/-2/-2\n"
                           "o skirt\n"
                           "f 3 2 1\n";

}  // namespace

TEST(ReadObjModel, ReadsFacesByAnyNumberingWithTheirPalettes)
{
    edited_model model;
    std::string error;
    ASSERT_EQ(read_obj(two_objects, &model, &error), 0) << error;
    ASSERT_EQ(model.terrain.size(), 2u);
    ASSERT_EQ(model.skirt.size(), 1u);
    EXPECT_EQ(model.grouping, grouped_by_palette);
    EXPECT_EQ(model.terrain[0].palette, 3);
    EXPECT_EQ(model.terrain[1].palette, 12);
    // The second face names vertex 3, 1, 2 from the end: -1 is the last.
    const edited_face& f = model.terrain[1];
    EXPECT_EQ(f.corner[0].position[0], 7);
    EXPECT_EQ(f.corner[1].position[0], 1);
    EXPECT_EQ(f.corner[2].position[2], 6);
    EXPECT_EQ(f.corner[0].uv[1], 1);
    EXPECT_EQ(f.corner[1].uv[0], 0.5);
    EXPECT_EQ(f.corner[0].normal[2], 1);
    EXPECT_EQ(f.corner[1].normal[1], 1);
    EXPECT_EQ(f.corner[2].normal[1], 1);
    EXPECT_TRUE(f.has_normal && f.has_uv);
    const edited_face& s = model.skirt[0];
    EXPECT_FALSE(s.has_normal || s.has_uv);
    EXPECT_EQ(s.corner[0].position[1], 8);
    EXPECT_EQ(s.corner[2].position[1], 2);
}

TEST(ReadObjModel, RefusesWhatCannotBeAMapsModel)
{
    struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"v 1 2 3\nf 1 1 1\n", "a face before any object; expected the objects terrain and skirt"},
        {"v 1 2 3\no cube\nf 1 1 1\n", "object \"cube\": expected only the objects terrain and skirt"},
        {"v 1 2 3\no terrainx\nf 1 1 1\n", "object \"terrainx\": expected only the objects terrain and skirt"},
        {"v 1 2 3\no skirt\nf 1 1 1 1\n", "skirt face 1: expected a triangle, found 4 corners (export with faces "
                                          "triangulated)"},
        {"v 1 2 3\nvt 0 0\no terrain\nf 1/1 1 1/1\n",
         "terrain face 1: some corners have texture coordinates or normals, and some do not"},
        {"v 1 2 3\no terrain\nf 1 1 1\n", "terrain face 1: expected texture coordinates at its corners, found none"},
        {"v 1 2 3\no skirt\nf 1 2 1\n",
         "skirt face 1: corner 2 names a vertex, texture coordinate or normal the file does not have before it"},
        {"v 1 2 3\no skirt\nf 1 -2 1\n",
         "skirt face 1: corner 2 names a vertex, texture coordinate or normal the file does not have before it"},
        {"v 1 2 3\nvt 0 0\no terrain\nusemtl palette_2\nf 1/1 1/1 1/1\nusemtl wood\nf 1/1 1/1 1/1\n",
         "terrain face 2: expected a material palette_P (P 0 to 15), found \"wood\""},
        {"v 1 2 3\nvt 0 0\no terrain\nf 1/1 1/1 1/1\nusemtl palette_16\nf 1/1 1/1 1/1\nusemtl palette_1\n"
         "f 1/1 1/1 1/1\n",
         "terrain face 1: expected a material palette_P (P 0 to 15), found none"},
    };
    for (const auto& c : cases) {
        edited_model model;
        std::string error;
        EXPECT_EQ(read_obj(c.text, &model, &error), -1) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(ReadGlbModel, AGlbOfTheMeshComesBackAsTheMesh)
{
    if (!glb_built_in)
        GTEST_SKIP() << "this build has no glTF output";
    // In memory, for meshes in either corner order, with one sheet and with a sheet per palette.
    for (bool reverse : {false, true})
        for (bool by_palette : {false, true}) {
            std::string bytes = write_map_mesh(hill_mesh(reverse));
            std::vector<uint8_t> file(bytes.begin(), bytes.end());
            map_mesh mesh;
            std::vector<uint8_t> block;
            read_problem problem;
            byte_source source = memory_source(file.data(), file.size());
            ASSERT_EQ(read_map_mesh(&source, &mesh, &block, &problem), 0);
            std::vector<uint8_t> png = {0x89, 'P', 'N', 'G'}, glb;
            std::vector<glb_sheet> sheets;
            for (int p = 0; p < 16; p++)
                if (by_palette ? (used_palette_mask(mesh) & 1u << p) != 0 : p == 0)
                    sheets.push_back(glb_sheet{p, &png});
            byte_sink sink = memory_sink(&glb);
            std::string error;
            ASSERT_EQ(encode_glb(&mesh, sheets, "h", &sink, &error), 0);
            edited_model model;
            ASSERT_EQ(read_glb_model(glb.data(), glb.size(), &model, &error), 0) << error;
            EXPECT_EQ(model.grouping, by_palette ? grouped_by_palette : grouped_as_stored);
            EXPECT_TRUE(model.always_turned);
            mesh_values values;
            ASSERT_EQ(match_edited_model(mesh, model, &values, &error), 0) << error;
            std::vector<uint8_t> out;
            edit_counts changed;
            write_mesh_records(file, mesh.counts, values, &out, &changed);
            EXPECT_TRUE(out == file) << reverse << by_palette;
        }
}
