// The OBJ reader of the write-back, in memory: an OBJ as mapconv writes it or as an editor exports
// it again, read into the faces of the terrain and the skirt; each refusal's branch.
#include <gtest/gtest.h>

#include "map_writer.h"
#include "mesh/match_edit.h"
#include "mesh/read_map_mesh.h"
#include "mesh/write_map_mesh.h"
#include "test_maps.h"
#include "wavefront/read_obj.h"

namespace {

int read_obj(const std::string& text, edited_model* model, std::string* error)
{
    byte_source source = memory_source(text.data(), text.size());
    return read_obj_model(&source, model, error);
}

face_corners corners_of(const edited_model& model, const edited_face& face)
{
    face_corners corners;
    face_corners_of(model, face, &corners);
    return corners;
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
    EXPECT_TRUE(model.terrain[1].has_normal && model.terrain[1].has_uv);
    face_corners f = corners_of(model, model.terrain[1]);
    EXPECT_EQ(f.position[0][0], 7);
    EXPECT_EQ(f.position[1][0], 1);
    EXPECT_EQ(f.position[2][2], 6);
    EXPECT_EQ(f.uv[0][1], 1);
    EXPECT_EQ(f.uv[1][0], 0.5);
    EXPECT_EQ(f.normal[0][2], 1);
    EXPECT_EQ(f.normal[1][1], 1);
    EXPECT_EQ(f.normal[2][1], 1);
    EXPECT_FALSE(model.skirt[0].has_normal || model.skirt[0].has_uv);
    face_corners s = corners_of(model, model.skirt[0]);
    EXPECT_EQ(s.position[0][1], 8);
    EXPECT_EQ(s.position[2][1], 2);

    // A corner's uv or normal of another number than its position's, in any one corner: each face
    // takes its own, and a face whose numbers all agree keeps none beside it.
    const char numbered[] = "v 1 2 3\nv 4 5 6\nv 7 8 9\n"
                            "vt 0.5 0.25\nvt 0.75 0.5\nvt 0 1\n"
                            "vn 0 1 0\nvn 0 0 1\nvn 1 0 0\n"
                            "o terrain\n"
                            "f 1/1/1 2/2/2 3/3/3\n"
                            "f 1/1/1 2/2/2 3/1/3\n"
                            "f 1/1/1 2/2/1 3/3/3\n"
                            "o skirt\n"
                            "f 1 2 3\n";
    ASSERT_EQ(read_obj(numbered, &model, &error), 0) << error;
    EXPECT_EQ(model.terrain[0].elsewhere, 0u);
    EXPECT_EQ(model.skirt[0].elsewhere, 0u);
    EXPECT_EQ(model.elements_elsewhere.size(), 2u);
    f = corners_of(model, model.terrain[1]);
    EXPECT_EQ(f.uv[2][0], 0.5);
    EXPECT_EQ(f.normal[2][0], 1);
    f = corners_of(model, model.terrain[2]);
    EXPECT_EQ(f.uv[1][0], 0.75);
    EXPECT_EQ(f.normal[1][1], 1);
    EXPECT_EQ(f.normal[1][2], 0);
}

TEST(ReadObjModel, RefusesWhatCannotBeAMapsModel)
{
    const std::string skirt = "v 1 2 3\no skirt\n";
    const std::string terrain = "v 1 2 3\nvt 0 0\no terrain\n";
    struct {
        std::string text;
        const char* error;
    } cases[] = {
        // Objects and faces.
        {"v 1 2 3\nf 1 1 1\n", "line 2: a face before any object; expected the objects terrain and skirt"},
        {"v 1 2 3\no cube\nf 1 1 1\n", "line 3: object \"cube\": expected only the objects terrain and skirt"},
        {"v 1 2 3\no terrainx\nf 1 1 1\n", "line 3: object \"terrainx\": expected only the objects terrain and skirt"},
        {"v 1 2 3\ng wood\nf 1 1 1\n", "line 3: group \"wood\": expected only the objects terrain and skirt"},
        {skirt + "f 1 1 1 1\n", "line 3: skirt face 1: expected a triangle, found 4 corners (export with faces "
                                "triangulated)"},
        {skirt + "f 1 1\n", "line 3: skirt face 1: expected a triangle, found 2 corners (export with faces "
                            "triangulated)"},
        {terrain + "f 1/1 1 1/1\n",
         "line 4: terrain face 1: some corners have texture coordinates or normals, and some do not"},
        {terrain + "f 1 1 1\n", "line 4: terrain face 1: expected texture coordinates at its corners, found none"},
        // Indices: past the list, past 32 bits, zero, or not whole; relative ones count from the end.
        {skirt + "f 1 2 1\n", "line 3: skirt face 1, corner 2 \"2\": names no vertex the file has before it"},
        {skirt + "f 1 -2 1\n", "line 3: skirt face 1, corner 2 \"-2\": names no vertex the file has before it"},
        {skirt + "f 1 1 0\n", "line 3: skirt face 1, corner 3 \"0\": names no vertex the file has before it"},
        {skirt + "f 1 1 4294967297\n",
         "line 3: skirt face 1, corner 3 \"4294967297\": names no vertex the file has before it"},
        {skirt + "f 1 1 99999999999999999999\n",
         "line 3: skirt face 1, corner 3 \"99999999999999999999\": names no vertex the file has before it"},
        {skirt + "f 1 1 1.0\n", "line 3: skirt face 1, corner 3 \"1.0\": names no vertex the file has before it"},
        {terrain + "f 1/2 1/1 1/1\n",
         "line 4: terrain face 1, corner 1 \"1/2\": names no texture coordinate the file has before it"},
        {terrain + "f 1/1/1 1/1/1 1/1/1\n",
         "line 4: terrain face 1, corner 1 \"1/1/1\": names no normal the file has before it"},
        // Numbers that do not read whole, or are not finite; a line short of numbers.
        {"v nan 1 2\n", "line 1: vertex: expected a number, found \"nan\""},
        {"v 1 inf 2\n", "line 1: vertex: expected a number, found \"inf\""},
        {"v 1 2 -infinity\n", "line 1: vertex: expected a number, found \"-infinity\""},
        {"v 1,5 2 3\n", "line 1: vertex: expected a number, found \"1,5\""},
        {"v 1 12abc 3\n", "line 1: vertex: expected a number, found \"12abc\""},
        {"v 1 2 three\n", "line 1: vertex: expected a number, found \"three\""},
        {"v 1 2 1e999\n", "line 1: vertex: expected a number, found \"1e999\""},
        {"v 1 2 +-3\n", "line 1: vertex: expected a number, found \"+-3\""},
        {"v 1 2 0x10\n", "line 1: vertex: expected a number, found \"0x10\""},
        {"v 1\n", "line 1: vertex: expected 3 numbers, found 1"},
        {"v 1 2\n", "line 1: vertex: expected 3 numbers, found 2"},
        {"vn 0 1\n", "line 1: normal: expected 3 numbers, found 2"},
        {"vt 0.5\n", "line 1: texture coordinate: expected 2 numbers, found 1"},
        {"vt 0.5 x\n", "line 1: texture coordinate: expected a number, found \"x\""},
        // Materials, in a file grouped by palette.
        {"v 1 2 3\nvt 0 0\no terrain\nusemtl palette_2\nf 1/1 1/1 1/1\nusemtl wood\nf 1/1 1/1 1/1\n",
         "terrain face 2: expected a material palette_P (P 0 to 15), found \"wood\""},
        {"v 1 2 3\nvt 0 0\no terrain\nf 1/1 1/1 1/1\nusemtl palette_16\nf 1/1 1/1 1/1\nusemtl palette_1\n"
         "f 1/1 1/1 1/1\n",
         "terrain face 1: expected a material palette_P (P 0 to 15), found none"},
        // Not an OBJ at all.
        {std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "not an OBJ or glTF binary (line 3 is not text)"},
        {"newmtl blah\nKd 1 1 1\nmap_Kd x.png\n",
         "not an OBJ or glTF binary (no vertex, texture coordinate, normal or face lines)"},
        {"", "not an OBJ or glTF binary (no vertex, texture coordinate, normal or face lines)"},
    };
    for (const auto& c : cases) {
        edited_model model;
        std::string error;
        EXPECT_EQ(read_obj(c.text, &model, &error), -1) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(ReadObjModel, ReadsNumbersWholeAndLinesOfAnyEnding)
{
    // A leading +, exponents, CR LF line ends, tabs, a weight and colours after x y z, a last line
    // without its line break, and the groups assimp writes in place of objects.
    std::string text = "v\t+1.5e1 -0.25 3 1\r\nv 4 5 6 0.1 0.2 0.3\nvt 0.5 0.25 0\n# a comment\n"
                       "g tex\nusemtl palette_4\nf 2/1 1/1 2/1\ng skirt\nf -1 -2 -1";
    edited_model model;
    std::string error;
    ASSERT_EQ(read_obj(text, &model, &error), 0) << error;
    ASSERT_EQ(model.terrain.size(), 1u);
    ASSERT_EQ(model.skirt.size(), 1u);
    face_corners f = corners_of(model, model.terrain[0]);
    EXPECT_EQ(f.position[1][0], 15);
    EXPECT_EQ(f.position[1][1], -0.25);
    EXPECT_EQ(f.position[0][2], 6);
    EXPECT_EQ(model.terrain[0].palette, 4);
    face_corners s = corners_of(model, model.skirt[0]);
    EXPECT_EQ(s.position[0][0], 4);
    EXPECT_EQ(s.position[1][0], 15);
}

TEST(ReadObjModel, NoKindOfLinePassesWhatAMapsObjHolds)
{
    // Faces: one more than a list holds is refused before it is kept.
    std::string text = "v 0 0 0\no skirt\n";
    for (uint32_t i = 0; i < most_list_triangles + 1; i++)
        text += "f 1 1 1\n";
    edited_model model;
    std::string error;
    EXPECT_EQ(read_obj(text, &model, &error), -1);
    EXPECT_EQ(error, "line " + std::to_string(most_list_triangles + 3) +
                         ": skirt face 196606: more faces than a "
                         "map mesh holds (196605)");
    // Vertices, normals and texture coordinates.
    struct {
        const char* line;
        size_t most;
        const char* what;
    } kinds[] = {{"v 0 0 0\n", 6 * size_t(most_list_triangles), "vertex"},
                 {"vn 0 0 1\n", 3 * size_t(most_list_triangles), "normal"},
                 {"vt 0 0\n", 3 * size_t(most_list_triangles), "texture coordinate"}};
    for (const auto& k : kinds) {
        text.clear();
        for (size_t i = 0; i < k.most + 1; i++)
            text += k.line;
        EXPECT_EQ(read_obj(text, &model, &error), -1);
        EXPECT_EQ(error, "line " + std::to_string(k.most + 1) + ": more " + k.what + " lines than a map's OBJ has (" +
                             std::to_string(k.most) + ")");
    }
    // A line without end.
    text = "# " + std::string(1 << 21, 'x');
    EXPECT_EQ(read_obj(text, &model, &error), -1);
    EXPECT_EQ(error, "line 1: longer than 1 MiB");
}
