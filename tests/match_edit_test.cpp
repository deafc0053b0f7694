// Matching an edited model with its mesh and writing the records back, in memory, value by value:
// the inverse of each field's reading at its edges, every corner of a quad in its place, and each
// refusal's branch.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "map_writer.h"
#include "mesh/face_order.h"
#include "mesh/match_edit.h"
#include "mesh/read_map_mesh.h"
#include "mesh/write_map_mesh.h"
#include "test_maps.h"

namespace {

// A mesh's bytes and what the reader makes of them.
struct stored_mesh {
    std::vector<uint8_t> file;
    map_mesh mesh;
};

stored_mesh stored(const std::string& bytes)
{
    stored_mesh s;
    s.file.assign(bytes.begin(), bytes.end());
    std::vector<uint8_t> block;
    read_problem problem;
    byte_source source = memory_source(s.file.data(), s.file.size());
    EXPECT_EQ(read_map_mesh(&source, &s.mesh, &block, &problem), 0) << problem.reason;
    return s;
}

// Appends a face whose corners each have values of their own in the model's pools.
void add_face(edited_model* model, std::vector<edited_face>* list, const tri_vectors& positions,
              const tri_vectors* normals, const tri_uvs* uvs, int palette, corner_order order = as_stored)
{
    edited_face f;
    corner_elements e;
    std::vector<double>* pools = model->pools;
    for (int written = 0; written < 3; written++) {
        int c = order.corner[written];
        e.position[written] = uint32_t(pools[positions_pool].size() / 3);
        e.normal[written] = uint32_t(pools[normals_pool].size() / 3);
        e.uv[written] = uint32_t(pools[uvs_pool].size() / 2);
        for (int k = 0; k < 3; k++) {
            pools[positions_pool].push_back(positions.corner[c][k]);
            pools[normals_pool].push_back(normals ? normals->corner[c][k] : 0);
        }
        pools[uvs_pool].push_back(uvs ? uvs->corner[c][0] / 256.0 : 0);
        pools[uvs_pool].push_back(uvs ? uvs->corner[c][1] / 1024.0 : 0);
    }
    f.has_normal = normals != nullptr;
    f.has_uv = uvs != nullptr;
    f.palette = int8_t(palette);
    set_elements(model, e, &f);
    list->push_back(f);
}

// The model an OBJ of the mesh reads back as, values exact: the terrain's faces as stored, or
// palette by palette (each with its palette), corners in the stored order, or turned as --face-up
// turns them; the skirt's corners in the order given.
edited_model model_of(const map_mesh& mesh, bool by_palette, bool turned = false, corner_order skirt = as_stored)
{
    face_orders orders = choose_face_orders(&mesh);
    edited_model model;
    model.format = "OBJ";
    model.grouping = by_palette ? grouped_by_palette : grouped_as_stored;
    for (int p = 0; p < (by_palette ? 16 : 1); p++)
        for (size_t t = 0; t < mesh.tex_positions.size(); t++)
            if (!by_palette || sheet_palette(mesh.tex_faces[t]) == p)
                add_face(&model, &model.terrain, mesh.tex_positions[t], &mesh.tex_normals[t], &mesh.tex_uvs[t],
                         by_palette ? p : -1, turned ? textured_order(orders, t) : as_stored);
    for (const tri_vectors& t : mesh.untex_positions)
        add_face(&model, &model.skirt, t, nullptr, nullptr, -1, skirt);
    model_part part;
    part.positions = number_array{nullptr, positions_pool, 0, 24, model.pools[positions_pool].size() / 3};
    part.normals = number_array{nullptr, normals_pool, 0, 24, model.pools[normals_pool].size() / 3};
    part.uvs = number_array{nullptr, uvs_pool, 0, 16, model.pools[uvs_pool].size() / 2};
    model.parts.push_back(part);
    return model;
}

// A corner's own values in a model made by model_of.
double& position(edited_model& model, const edited_face& f, int c, int k)
{
    return model.pools[positions_pool][3 * f.position[c] + size_t(k)];
}

double& uv(edited_model& model, const edited_face& f, int c, int k)
{
    return model.pools[uvs_pool][2 * uv_element(model, f, c) + size_t(k)];
}

double& normal(edited_model& model, const edited_face& f, int c, int k)
{
    return model.pools[normals_pool][3 * normal_element(model, f, c) + size_t(k)];
}

// Matches and writes back. Returns the new bytes, or empty with *error set.
std::vector<uint8_t> written_back(const stored_mesh& s, const edited_model& model, std::string* error,
                                  edit_counts* changed = nullptr)
{
    mesh_values values;
    // As the write-back does: the decoded corners released once the orders are chosen.
    face_orders orders = choose_face_orders(&s.mesh);
    map_mesh faces_only = s.mesh;
    faces_only.tex_positions.clear();
    faces_only.tex_normals.clear();
    faces_only.untex_positions.clear();
    faces_only.tex_uvs.clear();
    if (match_edited_model(faces_only, orders, records_of(s.file.data(), s.mesh.counts), model, &values, error) != 0)
        return {};
    std::vector<uint8_t> out = s.file;
    edit_counts counts;
    write_mesh_records(out.data(), s.mesh.counts, values, changed ? changed : &counts);
    return out;
}

// The offsets at which two files differ.
std::vector<size_t> differing(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    std::vector<size_t> at;
    for (size_t i = 0; i < std::min(a.size(), b.size()); i++)
        if (a[i] != b[i])
            at.push_back(i);
    return at;
}

// One textured quad and one untextured quad, every corner apart, texture coordinates inside page 1.
written_mesh two_quads_mesh()
{
    written_mesh m = empty_mesh();
    written_polygon q = cell_quad(2, 40, 3);
    for (int c = 0; c < 4; c++) {
        q.uv[c] = {uint8_t(10 + 20 * c), uint8_t(30 + 10 * c)};
        q.normal[c] = {30, -250, 40};  // (0.3, 2.5, 0.4): not at unit length
    }
    q.page_byte = 1;
    q.palette_byte = 7;
    m.tex_quads.push_back(q);
    m.untex_quads.push_back(cell_quad(5, 0, 5));
    return m;
}

stored_mesh two_quads()
{
    return stored(write_map_mesh(two_quads_mesh()));
}

}  // namespace

TEST(MatchEdit, ToHundredthsRoundsHalvesAwayFromZeroWithinSixteenBits)
{
    struct {
        double value;
        bool ok;
        int hundredths;
    } cases[] = {
        {0.125, true, 13},
        {-0.125, true, -13},
        {0.375, true, 38},
        {0.0, true, 0},
        {327.67, true, 32767},
        {-327.68, true, -32768},
        {327.675, false, 0},
        {-327.685, false, 0},
        {1e300, false, 0},
        {std::numeric_limits<double>::quiet_NaN(), false, 0},
        {std::numeric_limits<double>::infinity(), false, 0},
    };
    for (const auto& c : cases) {
        int h = 12345;
        EXPECT_EQ(to_hundredths(c.value, &h), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(h, c.hundredths) << c.value;
        }
    }
}

TEST(MatchEdit, ToTexelRoundsHalvesUpAndRefusesOffTheSheet)
{
    struct {
        double texel;  // the fraction times the side
        int side;
        bool ok;
        int rounded;
    } cases[] = {
        {0.0, 256, true, 0},      {0.5, 256, true, 1},    {-0.49, 256, true, 0},       {-0.5, 256, false, 0},
        {255.49, 256, true, 255}, {255.5, 256, false, 0}, {1023.49, 1024, true, 1023}, {1023.5, 1024, false, 0},
        {767.5, 1024, true, 768}, {-1e9, 1024, false, 0},
    };
    for (const auto& c : cases) {
        int texel = -7;
        EXPECT_EQ(to_texel(c.texel / c.side, c.side, &texel), c.ok) << c.texel;
        if (c.ok) {
            EXPECT_EQ(texel, c.rounded) << c.texel;
        }
    }
    int texel;
    EXPECT_FALSE(to_texel(std::numeric_limits<double>::quiet_NaN(), 256, &texel));
}

TEST(MatchEdit, TheMeshsOwnValuesComeBackByteForByte)
{
    std::vector<std::string> meshes = {write_map_mesh(hill_mesh(false)), write_map_mesh(hill_mesh(true)),
                                       random_whole_range_mesh(40, 30, 20, 10, 7), write_map_mesh(two_quads_mesh())};
    for (size_t i = 0; i < meshes.size(); i++)
        for (bool by_palette : {false, true}) {
            stored_mesh s = stored(meshes[i]);
            std::string error;
            edit_counts changed;
            std::vector<uint8_t> out = written_back(s, model_of(s.mesh, by_palette), &error, &changed);
            EXPECT_EQ(error, "") << i;
            EXPECT_TRUE(out == s.file) << i << " " << by_palette;
            EXPECT_EQ(changed.positions + changed.normals + changed.textures, 0u) << i;
            // Palette by palette with no material naming one (an exporter that drops materials):
            // the faces' order tells it.
            edited_model unnamed = model_of(s.mesh, by_palette);
            unnamed.grouping = grouped_as_stored;
            for (edited_face& f : unnamed.terrain)
                f.palette = -1;
            EXPECT_TRUE(written_back(s, unnamed, &error) == s.file) << i << " " << by_palette << " " << error;
        }
    // The terrain as stored or turned, and the skirt in either order of its own: as mapconv turns
    // it now (out of the map), as earlier versions did (with the terrain), or as an editor left it.
    for (bool reverse : {false, true})
        for (bool turned : {false, true})
            for (corner_order skirt : {as_stored, swapped}) {
                stored_mesh s = stored(write_map_mesh(hill_mesh(reverse)));
                std::string error;
                std::vector<uint8_t> out = written_back(s, model_of(s.mesh, true, turned, skirt), &error);
                EXPECT_EQ(error, "");
                EXPECT_TRUE(out == s.file) << reverse << turned << skirt.corner[1];
            }
}

TEST(MatchEdit, EachCornerOfAQuadIsWrittenToItsPlaceInTheRecord)
{
    stored_mesh s = two_quads();
    // Quad corner q (A B C D) stands at these corners of the first triangle (A B C) and of the
    // second (B D C); -1 where it is not.
    const int at[4][2] = {{0, -1}, {1, 0}, {2, 2}, {-1, 1}};
    mesh_sections sections = mesh_section_offsets(s.mesh.counts);
    for (int q = 0; q < 4; q++) {
        // Positions: the textured quad's corner moves up by 0.01, and the untextured quad's.
        edited_model model = model_of(s.mesh, false);
        for (int half = 0; half < 2; half++)
            if (at[q][half] >= 0) {
                position(model, model.terrain[size_t(half)], at[q][half], 1) += 0.01;
                position(model, model.skirt[size_t(half)], at[q][half], 1) += 0.01;
            }
        std::string error;
        edit_counts changed;
        std::vector<uint8_t> out = written_back(s, model, &error, &changed);
        ASSERT_EQ(error, "") << q;
        size_t y_textured = mesh_block_offset + sections.tex_positions + corner_vector_size * size_t(q) + 2;
        size_t y_untextured = mesh_block_offset + sections.untex_positions + corner_vector_size * size_t(q) + 2;
        std::vector<size_t> got = differing(out, s.file);
        // y is stored negated: 0.01 up is one less, which may borrow from the high byte.
        for (size_t i : got)
            EXPECT_TRUE(i == y_textured || i == y_textured + 1 || i == y_untextured || i == y_untextured + 1)
                << "corner " << q << " changed byte " << i;
        EXPECT_GE(got.size(), 2u) << q;
        EXPECT_EQ(changed.positions, 2u) << q;
        EXPECT_EQ(changed.normals + changed.textures, 0u) << q;

        // Texture coordinates: u one texel on.
        model = model_of(s.mesh, false);
        for (int half = 0; half < 2; half++)
            if (at[q][half] >= 0)
                uv(model, model.terrain[size_t(half)], at[q][half], 0) += 1 / 256.0;
        out = written_back(s, model, &error, &changed);
        ASSERT_EQ(error, "") << q;
        size_t u = mesh_block_offset + sections.tex_textures + size_t(texture_record_uv_at[q]);
        EXPECT_EQ(differing(out, s.file), std::vector<size_t>{u}) << q;
        EXPECT_EQ(out[u], uint8_t(10 + 20 * q + 1)) << q;
        EXPECT_EQ(changed.textures, 1u);
    }
}

TEST(MatchEdit, RefusalsNameTheRecordAndTheCause)
{
    stored_mesh s = two_quads();
    std::string error;
    // Counts.
    edited_model model = model_of(s.mesh, false);
    model.skirt.pop_back();
    EXPECT_TRUE(written_back(s, model, &error).empty());
    EXPECT_EQ(error, "expected 2 terrain faces and 2 skirt faces (the mesh's textured and untextured triangles), "
                     "found 2 and 1");
    // A shared corner moved along x, y or z in one triangle only: B, then C, of each list.
    for (int shared = 1; shared <= 2; shared++)
        for (int k = 0; k < 3; k++)
            for (bool textured : {true, false}) {
                model = model_of(s.mesh, false);
                position(model, (textured ? model.terrain : model.skirt)[1], shared == 1 ? 0 : 2, k) += 0.5;
                EXPECT_TRUE(written_back(s, model, &error).empty());
                std::string expected = std::string(textured ? "textured" : "untextured") +
                                       " quad 1: its two triangles no longer share corner " + (shared == 1 ? "B" : "C");
                EXPECT_EQ(error.substr(0, expected.size()), expected);
            }
    // A texture coordinate of a shared corner in one triangle only.
    model = model_of(s.mesh, false);
    uv(model, model.terrain[1], 0, 0) += 2 / 256.0;
    EXPECT_TRUE(written_back(s, model, &error).empty());
    EXPECT_NE(error.find("textured quad 1: its two triangles no longer share corner B: expected the texture "
                         "coordinate"),
              std::string::npos)
        << error;
    // Each corner of the quad in another page, one at a time.
    const char* pages[4] = {"pages 2, 1, 1, 1", "pages 1, 2, 1, 1", "pages 1, 1, 2, 1", "pages 1, 1, 1, 2"};
    const int at[4][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}};  // A; B; C; D, as (triangle, corner)
    for (int q = 0; q < 4; q++) {
        model = model_of(s.mesh, false);
        uv(model, model.terrain[size_t(at[q][0])], at[q][1], 1) += 256 / 1024.0;
        if (q == 1)
            uv(model, model.terrain[1], 0, 1) += 256 / 1024.0;  // B is in both triangles
        if (q == 2)
            uv(model, model.terrain[1], 2, 1) += 256 / 1024.0;  // and so is C
        EXPECT_TRUE(written_back(s, model, &error).empty()) << q;
        EXPECT_EQ(error, std::string("textured quad 1: expected its corners in one texture page, found ") + pages[q] +
                             " (corners A, B, C, D)");
    }
    // The two triangles of a quad in two palettes.
    model = model_of(s.mesh, true);
    model.grouping = grouped_as_stored;
    model.terrain[1].palette = 3;
    EXPECT_TRUE(written_back(s, model, &error).empty());
    EXPECT_EQ(error, "textured quad 1: expected one palette for its two triangles, found 7 and 3");
    // A coordinate past 16 bits, and a texture coordinate off the sheet.
    model = model_of(s.mesh, false);
    position(model, model.terrain[0], 2, 2) = 327.675;
    EXPECT_TRUE(written_back(s, model, &error).empty());
    EXPECT_EQ(error, "terrain face 1 (textured quad 1 (its first triangle)), corner 3: expected coordinates from "
                     "-327.68 to 327.67 (16 bits of hundredths), found (3, 0.4, 327.675)");
    model = model_of(s.mesh, false);
    uv(model, model.terrain[1], 1, 0) = 1.0;
    EXPECT_TRUE(written_back(s, model, &error).empty());
    EXPECT_EQ(error, "terrain face 2 (textured quad 1 (its second triangle)), corner 2: expected a texture "
                     "coordinate within the sheet (u 0 to 255/256, v 0 to 1023/1024), found (1, 0.308594)");
}

TEST(MatchEdit, NormalsKeepTheirBytesUnlessTheyTurn)
{
    stored_mesh s = two_quads();
    mesh_sections sections = mesh_section_offsets(s.mesh.counts);
    size_t normals = mesh_block_offset + sections.tex_normals;
    std::string error;
    edit_counts changed;
    // The stored normal at unit length (as editors keep them) is the stored one.
    edited_model model = model_of(s.mesh, false);
    double length = std::sqrt(0.3 * 0.3 + 2.5 * 2.5 + 0.4 * 0.4);
    for (edited_face& f : model.terrain)
        for (int c = 0; c < 3; c++)
            for (int k = 0; k < 3; k++)
                normal(model, f, c, k) /= length;
    EXPECT_TRUE(written_back(s, model, &error, &changed) == s.file) << error;
    // A stored zero normal, given back along the original face, stays zero when the face moved:
    // only the original face's plane says so.
    {
        written_mesh zero = empty_mesh();
        written_polygon p = cell_quad(1, 10, 1);
        for (corner_vector& n : p.normal)
            n = {0, 0, 0};
        zero.tex_tris.push_back(p);
        zero.untex_tris.push_back(cell_quad(3, 0, 3));
        stored_mesh z = stored(write_map_mesh(zero));
        edited_model moved = model_of(z.mesh, false);
        const edited_face& f = moved.terrain[0];
        position(moved, f, 2, 1) += 0.5;  // corner 3 raised: the face tilts
        for (int c = 0; c < 3; c++) {
            normal(moved, f, c, 0) = 0;
            normal(moved, f, c, 1) = 1;  // up: the original, flat face's normal
            normal(moved, f, c, 2) = 0;
        }
        written_back(z, moved, &error, &changed);
        EXPECT_EQ(error, "");
        EXPECT_EQ(changed.normals, 0u);
        EXPECT_EQ(changed.positions, 1u);
        // Along the moved face instead: (-0.5, 1, 0), the tilted plane's, at unit length.
        for (int c = 0; c < 3; c++) {
            normal(moved, f, c, 0) = -0.5 / std::sqrt(1.25);
            normal(moved, f, c, 1) = 1 / std::sqrt(1.25);
        }
        written_back(z, moved, &error, &changed);
        EXPECT_EQ(error, "");
        EXPECT_EQ(changed.normals, 0u);
        // Along neither: the normal is the edit's.
        for (int c = 0; c < 3; c++)
            normal(moved, f, c, 2) = 0.3;
        written_back(z, moved, &error, &changed);
        EXPECT_EQ(changed.normals, 1u);
    }
    // Turned a little (Blender gives normals back up to 0.8 degrees off): kept up to 1.5 degrees.
    double u[3] = {0.3 / length, 2.5 / length, 0.4 / length};
    double w[3] = {0, -u[2], u[1]};  // at right angles to u
    double w_length = std::sqrt(w[1] * w[1] + w[2] * w[2]);
    for (double degrees : {1.4, 1.6}) {
        double a = degrees * 3.14159265358979 / 180;
        model = model_of(s.mesh, false);
        for (int k = 0; k < 3; k++)
            normal(model, model.terrain[0], 0, k) = u[k] * std::cos(a) + w[k] / w_length * std::sin(a);
        std::vector<uint8_t> out = written_back(s, model, &error, &changed);
        EXPECT_EQ(changed.normals, degrees < 1.5 ? 0u : 1u) << degrees;
    }
    // Turned in one triangle only, corner B of the quad (corner 2 of the first, 1 of the second) or
    // C (corner 3 of both): both copies take the turned one.
    const int copies[2][2] = {{1, 0}, {2, 2}};
    for (int shared = 0; shared < 2; shared++)
        for (int half = 0; half < 2; half++) {
            model = model_of(s.mesh, false);
            edited_face& f = model.terrain[size_t(half)];
            int c = copies[shared][half];
            normal(model, f, c, 0) = 0.6;
            normal(model, f, c, 1) = 0.8;
            normal(model, f, c, 2) = 0;
            std::vector<uint8_t> out = written_back(s, model, &error, &changed);
            ASSERT_EQ(error, "");
            size_t x = normals + corner_vector_size * size_t(shared + 1);  // B or C of the record
            EXPECT_EQ(differing(out, s.file).size(), 3u) << shared << half;
            EXPECT_EQ(out[x], 60) << shared << half;
            EXPECT_EQ(int16_t(out[x + 2] | out[x + 3] << 8), -80) << shared << half;  // y is stored negated
            EXPECT_EQ(changed.normals, 1u);
        }
    // Turned differently in both: the mean, halves rounded up (to +infinity).
    model = model_of(s.mesh, false);
    const double first[3] = {0.10, -0.10, 0.2}, second[3] = {0.11, -0.11, 0.2};
    for (int k = 0; k < 3; k++) {
        normal(model, model.terrain[0], 1, k) = first[k];
        normal(model, model.terrain[1], 0, k) = second[k];
    }
    std::vector<uint8_t> out = written_back(s, model, &error, &changed);
    ASSERT_EQ(error, "");
    size_t b = normals + corner_vector_size;
    EXPECT_EQ(int16_t(out[b] | out[b + 1] << 8), 11);      // 10.5
    EXPECT_EQ(int16_t(out[b + 2] | out[b + 3] << 8), 10);  // y: -10.5 stored negated as 10.5 -> -10 -> 10
    EXPECT_EQ(int16_t(out[b + 4] | out[b + 5] << 8), 20);
}

TEST(MatchEdit, AFileThatIsNotAnEditOfTheMeshSaysWhatItIs)
{
    stored_mesh hill = stored(write_map_mesh(hill_mesh(false)));
    std::string error;
    // Made from another map, of other counts or of the same ones.
    stored_mesh other = stored(random_whole_range_mesh(5, 6, 7, 8, 3));
    EXPECT_TRUE(written_back(hill, model_of(other.mesh, false), &error).empty());
    EXPECT_EQ(error.substr(0, 76), "made from another map: the mesh has 119 textured and 13 untextured triangles");
    EXPECT_NE(error.find("the file 17 terrain and 23 skirt faces"), std::string::npos) << error;
    stored_mesh twin = stored(random_whole_range_mesh(5, 6, 7, 8, 4));
    EXPECT_TRUE(written_back(other, model_of(twin.mesh, false), &error).empty());
    EXPECT_EQ(error.substr(0, 22), "made from another map:") << error;
    // The same map, a face deleted: the counts say so.
    edited_model model = model_of(hill.mesh, false);
    model.terrain.erase(model.terrain.begin() + 3);
    EXPECT_TRUE(written_back(hill, model, &error).empty());
    EXPECT_EQ(error, "expected 119 terrain faces and 13 skirt faces (the mesh's textured and untextured triangles), "
                     "found 118 and 13");
    // Grouped by palette, its materials lost (three.js's OBJ exporter drops them): the faces' order
    // tells, and their palettes stay.
    model = model_of(hill.mesh, true);
    model.grouping = grouped_as_stored;
    for (edited_face& f : model.terrain)
        f.palette = -1;
    EXPECT_TRUE(written_back(hill, model, &error) == hill.file) << error;
    size_t triangle_face = 0;  // the first face, in palette order, of a triangle record (no quad's)
    for (int p = 0, j = 0; p < 16 && triangle_face == 0; p++)
        for (size_t t = 0; t < hill.mesh.tex_faces.size(); t++)
            if (sheet_palette(hill.mesh.tex_faces[t]) == p && j++ >= 0 && t < hill.mesh.counts.tex_tri_count) {
                triangle_face = size_t(j - 1);
                break;
            }
    position(model, model.terrain[triangle_face], 0, 0) += 0.25;
    edit_counts changed;
    EXPECT_FALSE(written_back(hill, model, &error, &changed).empty()) << error;
    EXPECT_EQ(changed.positions, 1u);
    // Scaled as a whole: the texture coordinates still tell every face.
    model = model_of(hill.mesh, false);
    for (double& v : model.pools[positions_pool])
        v *= 1.5;
    EXPECT_TRUE(written_back(hill, model, &error).empty());
    EXPECT_NE(error.find("the map is turned, mirrored or scaled as a whole"), std::string::npos) << error;
}

TEST(MatchEdit, CoincidentTrianglesOfTwoPalettesKeepTheirOwn)
{
    // Two textured triangles at one place with one texture coordinate each way (a decal over the
    // ground), in palettes 2 and 5: matched by palette, each keeps its record.
    written_mesh m = empty_mesh();
    written_polygon ground = cell_quad(1, 10, 1), decal = ground;
    ground.palette_byte = 2;
    decal.palette_byte = 21;  // palette 5
    m.tex_tris = {ground, decal, ground};
    m.untex_tris.push_back(cell_quad(3, 0, 3));
    stored_mesh s = stored(write_map_mesh(m));
    std::string error;
    edit_counts changed;
    EXPECT_TRUE(written_back(s, model_of(s.mesh, true), &error, &changed) == s.file) << error;
    // The decal given palette 2: only its palette byte changes, to 2.
    edited_model model = model_of(s.mesh, true);
    model.terrain[2].palette = 2;  // palette order: the two palette-2 triangles, then the decal
    std::vector<uint8_t> out = written_back(s, model, &error, &changed);
    size_t palette_byte = mesh_block_offset + mesh_section_offsets(s.mesh.counts).tex_textures + tri_texture_size +
                          size_t(texture_record_palette_at);
    EXPECT_EQ(differing(out, s.file), std::vector<size_t>{palette_byte}) << error;
    EXPECT_EQ(out[palette_byte], 2);
    EXPECT_EQ(changed.textures, 1u);
}

TEST(MatchEdit, AFileInPaletteOrderWithoutMaterialsIsToldByOneFaceInPlace)
{
    // Triangle 0 in palette 1, triangle 1 in palette 0: palette by palette the file holds
    // triangle 1 first. Its first face moved whole (in place in neither order, known by its
    // edges), its second in place only in palette order: one face decides, at the last face.
    written_mesh m = empty_mesh();
    written_polygon a = cell_quad(1, 10, 1), b = cell_quad(5, 30, 5);
    for (int c = 0; c < 3; c++) {  // no edge and no texture coordinate of a's
        b.position[c].y = int16_t(-30 - 17 * c);
        b.uv[c] = {uint8_t(10 + c), 20};
    }
    a.palette_byte = 1;
    b.palette_byte = 0;
    m.tex_tris = {a, b};
    m.untex_tris.push_back(cell_quad(3, 0, 3));
    stored_mesh s = stored(write_map_mesh(m));
    edited_model model = model_of(s.mesh, true);
    model.grouping = grouped_as_stored;
    for (edited_face& f : model.terrain)
        f.palette = -1;
    for (int c = 0; c < 3; c++)
        position(model, model.terrain[0], c, 0) += 1;
    std::string error;
    edit_counts changed;
    std::vector<uint8_t> out = written_back(s, model, &error, &changed);
    ASSERT_EQ(error, "");
    // Only triangle 1's x coordinates moved, each by 100 hundredths.
    size_t record = mesh_block_offset + mesh_section_offsets(s.mesh.counts).tex_positions + tri_vector_size;
    EXPECT_EQ(changed.positions, 1u);
    for (size_t at : differing(out, s.file))
        EXPECT_TRUE(at >= record && (at - record) % corner_vector_size < 2) << at;
    for (size_t c = 0; c < 3; c++) {
        size_t at = record + corner_vector_size * c;
        int x = int16_t(out[at] | out[at + 1] << 8), x0 = int16_t(s.file[at] | s.file[at + 1] << 8);
        EXPECT_EQ(x - x0, 100) << c;
    }
    // A face in place only in palette order, then one only in the mesh's: a tie, which keeps the
    // mesh's order (both faces hold triangle 1, so triangle 0 is refused: as the first face).
    edited_model tie = model_of(s.mesh, false);
    for (edited_face& f : tie.terrain)
        f.palette = -1;
    tie.terrain[0] = tie.terrain[1];
    EXPECT_TRUE(written_back(s, tie, &error).empty());
    EXPECT_EQ(error.rfind("terrain face 1 (textured triangle 1): expected corners", 0), 0u) << error;
}
