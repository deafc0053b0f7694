// --glb: the glTF binary passes the Khronos validator, and read back it holds exactly the mesh it
// was made from: every triangle's corners, normals, texture coordinates, palette and a winding
// that faces its normals, whatever corner order the file used.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
// The tests read the .glb with a glTF library, as an importer would; it is compiled here alone.
#define TINYGLTF_IMPLEMENTATION
#include <tiny_gltf.h>

#include "map_writer.h"
#include "readers.h"
#include "run_program.h"
#include "test_maps.h"

namespace {

std::string only_textured_or_untextured(bool textured)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 3; i++) {
        written_polygon p = cell_quad(i, i * 10, 0);
        p.normal[0] = {0, 0, 0};  // one zero normal per quad
        (textured ? m.tex_quads : m.untex_quads).push_back(p);
    }
    return write_map_mesh(m);
}

// The sheets stay the PNG bytes they are: the tests compare them with the PNG files.
bool keep_image_bytes(tinygltf::Image*, const int, std::string*, std::string*, int, int, const unsigned char*, int,
                      void*)
{
    return true;
}

tinygltf::Model load_glb(const std::string& path)
{
    tinygltf::Model model;
    tinygltf::TinyGLTF loader;
    loader.SetImageLoader(keep_image_bytes, nullptr);
    std::string error, warning;
    EXPECT_TRUE(loader.LoadBinaryFromFile(&model, &error, &warning, path)) << error;
    EXPECT_EQ(warning, "");
    return model;
}

// Runs the Khronos validator over the files; returns its report and sets *clean.
std::string validate(const std::vector<std::string>& files, bool* clean)
{
    std::string command = "node '" + std::string(MAPCONV_SOURCE_DIR) + "/tools/gltf-validator/validate.js'";
    for (const std::string& f : files)
        command += " '" + f + "'";
    command += " 2>&1";
    std::string report;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *clean = false;
        return "cannot run node";
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        report.append(buffer, n);
    *clean = pclose(pipe) == 0;
    return report;
}

const unsigned char* accessor_bytes(const tinygltf::Model& model, int accessor_index)
{
    const tinygltf::Accessor& a = model.accessors[size_t(accessor_index)];
    const tinygltf::BufferView& view = model.bufferViews[size_t(a.bufferView)];
    return model.buffers[size_t(view.buffer)].data.data() + view.byteOffset + a.byteOffset;
}

// glTF's numbers are little-endian: read them byte by byte, as any host must.
uint32_t u32_le(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::vector<float> floats_of(const tinygltf::Model& model, int accessor_index)
{
    const tinygltf::Accessor& a = model.accessors[size_t(accessor_index)];
    EXPECT_EQ(a.componentType, TINYGLTF_COMPONENT_TYPE_FLOAT);
    size_t width = a.type == TINYGLTF_TYPE_VEC3 ? 3 : a.type == TINYGLTF_TYPE_VEC2 ? 2 : 1;
    const unsigned char* data = accessor_bytes(model, accessor_index);
    std::vector<float> values(a.count * width);
    for (size_t i = 0; i < values.size(); i++) {
        uint32_t bits = u32_le(data + 4 * i);
        memcpy(&values[i], &bits, 4);
    }
    return values;
}

std::vector<uint32_t> indices_of(const tinygltf::Model& model, int accessor_index)
{
    const tinygltf::Accessor& a = model.accessors[size_t(accessor_index)];
    const unsigned char* data = accessor_bytes(model, accessor_index);
    std::vector<uint32_t> values(a.count);
    for (size_t i = 0; i < a.count; i++)
        values[i] = a.componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT
                        ? uint32_t(data[2 * i] | data[2 * i + 1] << 8)
                        : u32_le(data + 4 * i);
    return values;
}

struct vec3d {
    double x, y, z;
};

vec3d corner(const float* p)
{
    return vec3d{p[0], p[1], p[2]};
}

vec3d turn(vec3d a, vec3d b, vec3d c)
{
    vec3d u{b.x - a.x, b.y - a.y, b.z - a.z}, v{c.x - a.x, c.y - a.y, c.z - a.z};
    return vec3d{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
}

double dot(vec3d a, vec3d b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

vec3d unit(vec3d v)
{
    double n = std::sqrt(dot(v, v));
    return n > 0 ? vec3d{v.x / n, v.y / n, v.z / n} : vec3d{0, 1, 0};
}

// Where a textured triangle faces: the sum of its stored normals at unit length, as single-precision
// numbers, which is what a .glb holds and a viewer judges by (zero normals count for nothing).
vec3d facing(const tri_vectors& normals)
{
    vec3d sum = {0, 0, 0};
    for (int c = 0; c < 3; c++) {
        const float* n = normals.corner[c];
        double length = std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]);
        if (length > 0) {
            sum.x += float(n[0] / length);
            sum.y += float(n[1] / length);
            sum.z += float(n[2] / length);
        }
    }
    return sum;
}

void expect_near(vec3d got, vec3d want, const std::string& what)
{
    EXPECT_NEAR(got.x, want.x, 1e-6) << what;
    EXPECT_NEAR(got.y, want.y, 1e-6) << what;
    EXPECT_NEAR(got.z, want.z, 1e-6) << what;
}

// Checks a .glb against the mesh file it was made from. Terrain: one primitive per palette (or one
// for all), its triangles the mesh's triangles of that palette in list order, each with its stored
// positions, unit normals and (u / 256, 1 - v / 1024), its corners in the stored order or with the
// last two swapped, turning counter-clockwise around its stored normals (the mesh's majority when
// they do not decide). Skirt: the untextured triangles in the order in which most face out of the
// map, flat normals along their winding.
void expect_glb_matches_mesh(const std::string& glb_path, const std::string& mesh_bytes, bool all_palettes)
{
    decoded_mesh d = decode_mesh_bytes(mesh_bytes);
    ASSERT_EQ(d.result, 0);
    const map_mesh& mesh = d.mesh;
    tinygltf::Model model = load_glb(glb_path);
    long balance = 0;
    for (size_t t = 0; t < mesh.tex_positions.size(); t++) {
        const tri_vectors& p = mesh.tex_positions[t];
        double along =
            dot(turn(corner(p.corner[0]), corner(p.corner[1]), corner(p.corner[2])), facing(mesh.tex_normals[t]));
        balance += along > 0 ? 1 : along < 0 ? -1 : 0;
    }
    const int majority[3] = {0, balance < 0 ? 2 : 1, balance < 0 ? 1 : 2};
    // The middle of the map seen from above.
    vec3d low = {1e9, 0, 1e9}, high = {-1e9, 0, -1e9};
    for (const std::vector<tri_vectors>* list : {&mesh.tex_positions, &mesh.untex_positions})
        for (const tri_vectors& t : *list)
            for (const float* c : t.corner) {
                low = vec3d{std::min(low.x, double(c[0])), 0, std::min(low.z, double(c[2]))};
                high = vec3d{std::max(high.x, double(c[0])), 0, std::max(high.z, double(c[2]))};
            }
    const vec3d middle = {(low.x + high.x) / 2, 0, (low.z + high.z) / 2};

    size_t terrain_triangles = 0, skirt_triangles = 0;
    for (const tinygltf::Node& node : model.nodes) {
        ASSERT_TRUE(node.name == "terrain" || node.name == "skirt") << node.name;
        for (const tinygltf::Primitive& primitive : model.meshes[size_t(node.mesh)].primitives) {
            std::vector<float> positions = floats_of(model, primitive.attributes.at("POSITION"));
            std::vector<float> normals = floats_of(model, primitive.attributes.at("NORMAL"));
            std::vector<uint32_t> indices = indices_of(model, primitive.indices);
            ASSERT_EQ(indices.size() % 3, 0u);
            const std::string& material = model.materials[size_t(primitive.material)].name;
            if (node.name == "skirt") {
                // Outer walls and pits face opposite ways: the skirt is drawn from both sides.
                EXPECT_TRUE(model.materials[size_t(primitive.material)].doubleSided);
                ASSERT_EQ(indices.size() / 3, mesh.untex_positions.size());
                // One order for the whole skirt, the one in which more walls face out of the map
                // than into it (the terrain's majority when as many face each way).
                const tri_vectors& first = mesh.untex_positions[0];
                bool as_stored = corner(&positions[indices[1] * 3]).x == first.corner[1][0] &&
                                 corner(&positions[indices[1] * 3]).y == first.corner[1][1] &&
                                 corner(&positions[indices[1] * 3]).z == first.corner[1][2];
                const int order[3] = {0, as_stored ? 1 : 2, as_stored ? 2 : 1};
                long out = 0;
                for (size_t t = 0; t < mesh.untex_positions.size(); t++) {
                    const uint32_t* at = &indices[3 * t];
                    vec3d got[3];
                    for (int c = 0; c < 3; c++) {
                        got[c] = corner(&positions[at[c] * 3]);
                        expect_near(got[c], corner(mesh.untex_positions[t].corner[order[c]]), "skirt corner");
                    }
                    vec3d flat = unit(turn(got[0], got[1], got[2]));
                    for (int c = 0; c < 3; c++)
                        expect_near(corner(&normals[at[c] * 3]), flat, "skirt normal");
                    double along = flat.x * ((got[0].x + got[1].x + got[2].x) / 3 - middle.x) +
                                   flat.z * ((got[0].z + got[1].z + got[2].z) / 3 - middle.z);
                    out += along > 1e-9 ? 1 : along < -1e-9 ? -1 : 0;
                    skirt_triangles++;
                }
                EXPECT_GE(out, 0);
                if (out == 0) {
                    EXPECT_EQ(order[1], majority[1]);
                }
                continue;
            }
            std::vector<float> uvs = floats_of(model, primitive.attributes.at("TEXCOORD_0"));
            int palette = all_palettes ? atoi(material.substr(material.rfind('_') + 1).c_str()) : -1;
            std::vector<size_t> expected;
            for (size_t t = 0; t < mesh.tex_faces.size(); t++)
                if (palette < 0 || sheet_palette(mesh.tex_faces[t]) == palette)
                    expected.push_back(t);
            ASSERT_EQ(indices.size() / 3, expected.size()) << material;
            for (size_t k = 0; k < expected.size(); k++) {
                size_t t = expected[k];
                const uint32_t* at = &indices[3 * k];
                const tri_vectors& p = mesh.tex_positions[t];
                vec3d stored[3] = {corner(p.corner[0]), corner(p.corner[1]), corner(p.corner[2])};
                double along = dot(turn(stored[0], stored[1], stored[2]), facing(mesh.tex_normals[t]));
                const int as_stored[3] = {0, 1, 2}, swapped[3] = {0, 2, 1};
                const int* order = along > 0 ? as_stored : along < 0 ? swapped : majority;
                // A zero stored normal becomes the face's normal in the order given.
                vec3d face = unit(turn(stored[order[0]], stored[order[1]], stored[order[2]]));
                vec3d got[3];
                for (int c = 0; c < 3; c++) {
                    int s = order[c];
                    got[c] = corner(&positions[at[c] * 3]);
                    std::string what = "triangle " + std::to_string(t) + " corner " + std::to_string(c);
                    expect_near(got[c], stored[s], what);
                    vec3d n = corner(mesh.tex_normals[t].corner[s]);
                    expect_near(corner(&normals[at[c] * 3]), dot(n, n) > 0 ? unit(n) : face, what);
                    EXPECT_EQ(uvs[at[c] * 2], float(mesh.tex_uvs[t].corner[s][0] / 256.0)) << what;
                    EXPECT_EQ(uvs[at[c] * 2 + 1], float(1.0 - mesh.tex_uvs[t].corner[s][1] / 1024.0)) << what;
                }
                if (along != 0) {
                    // Around the normals the file holds, as a viewer reads them.
                    vec3d written = {0, 0, 0};
                    for (int c = 0; c < 3; c++) {
                        vec3d n = corner(&normals[at[c] * 3]);
                        written = vec3d{written.x + n.x, written.y + n.y, written.z + n.z};
                    }
                    EXPECT_GT(dot(turn(got[0], got[1], got[2]), written), 0) << t;
                }
                terrain_triangles++;
            }
        }
    }
    EXPECT_EQ(terrain_triangles, mesh.tex_positions.size());
    EXPECT_EQ(skirt_triangles, mesh.untex_positions.size());
}

// A mesh of `triangles` textured triangles whose corners are all different, so the .glb welds
// none; with `shared`, the second triangle repeats two corners of the first. Palettes alternate
// over `palettes`.
std::string distinct_corners_mesh(int triangles, bool shared, int palettes)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < triangles; i++) {
        written_polygon p = {};
        for (int c = 0; c < 3; c++) {
            p.position[c] = {int16_t(i % 181 * 100 + c * 30), 0, int16_t(i / 181 * 100 + (c == 1 ? 50 : 0))};
            p.normal[c] = {0, -100, 0};
        }
        p.palette_byte = uint8_t(i % palettes);
        m.tex_tris.push_back(p);
    }
    if (shared) {
        m.tex_tris[1].position[0] = m.tex_tris[0].position[0];
        m.tex_tris[1].position[2] = m.tex_tris[0].position[2];
    }
    return write_map_mesh(m);
}

}  // namespace

TEST(Glb, TheKhronosValidatorFindsNothing)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the Khronos validator runs on Node.js, which Windows builds are not tested with";
#endif
    // CI always runs the validator; elsewhere it needs Node.js, which building does not.
    if (!getenv("CI") && system("command -v node >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Node.js is not installed: the Khronos glTF validator cannot run";
    std::string validator = std::string(MAPCONV_SOURCE_DIR) + "/tools/gltf-validator/node_modules/gltf-validator";
    if (!getenv("CI") && !exists(validator + "/package.json"))
        GTEST_SKIP() << "the Khronos glTF validator is not installed (scripts/setup.sh tests installs it with npm)";
    scratch_folder sample, palettes, untextured, textured, reversed, wide;
    make_sample(sample);
    make_sample(palettes);
    ASSERT_EQ(write_file(untextured / "map_u.msh", only_textured_or_untextured(false)), 0);
    ASSERT_EQ(write_file(untextured / "map_u.tex", std::string(131072, '\x12')), 0);
    ASSERT_EQ(write_file(textured / "map_t.msh", only_textured_or_untextured(true)), 0);
    ASSERT_EQ(write_file(textured / "map_t.tex", std::string(131072, '\x34')), 0);
    ASSERT_EQ(write_file(reversed / "map_r.msh", write_map_mesh(hill_mesh(true))), 0);
    ASSERT_EQ(write_file(reversed / "map_r.tex", std::string(131072, '\x56')), 0);
    // 65,536 vertices: one past what 16-bit indices may name.
    ASSERT_EQ(write_file(wide / "map_w.msh", distinct_corners_mesh(21846, true, 1)), 0);
    ASSERT_EQ(write_file(wide / "map_w.tex", std::string(131072, '\x78')), 0);
    ASSERT_EQ(run_mapconv(sample.path, {"--glb", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(palettes.path, {"--glb", "--all-palettes", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(untextured.path, {"--glb", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(textured.path, {"--glb", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(reversed.path, {"--glb", "--all-palettes", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(wide.path, {"--glb", "map"}).status, 0);
    bool clean = false;
    std::string report = validate({sample / "map01.msh_map01.tex.glb", palettes / "map01.msh_map01.tex.glb",
                                   untextured / "map_u.msh_map_u.tex.glb", textured / "map_t.msh_map_t.tex.glb",
                                   reversed / "map_r.msh_map_r.tex.glb", wide / "map_w.msh_map_w.tex.glb"},
                                  &clean);
    EXPECT_TRUE(clean) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 6) << report;
}

TEST(Glb, TheFileIsExactlyAsWritten)
{
    // A quad through palette 0, a triangle through palette 3 and a skirt triangle: every byte of
    // the JSON (keys in order, numbers as written, defaults left out) and of the container's
    // header; the binary chunk's first position and its padding.
    scratch_folder folder;
    written_mesh m = empty_mesh();
    m.tex_quads.push_back(cell_quad(0, 5, 0));
    written_polygon triangle = cell_quad(1, 7, 0);
    triangle.palette_byte = 19;
    m.tex_tris.push_back(triangle);
    m.untex_tris.push_back(cell_quad(0, -50, 0));
    ASSERT_EQ(write_file(folder / "g.msh", write_map_mesh(m)), 0);
    ASSERT_EQ(write_file(folder / "g.tex", std::string(131072, '\x12')), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"-q", "--glb", "--all-palettes", "g"}).status, 0);
    std::string glb = read_file(folder / "g.msh_g.tex.glb");
    const std::string json =
        "{\"accessors\":[{\"bufferView\":0,\"componentType\":5126,\"count\":7,\"max\":[2.0,"
        "0.07000000029802322,1.0],\"min\":[0.0,0.05000000074505806,0.0],\"type\":\"VEC3\"},"
        "{\"bufferView\":1,\"componentType\":5126,\"count\":7,\"type\":\"VEC3\"},{\"bufferView\":2,"
        "\"componentType\":5126,\"count\":7,\"type\":\"VEC2\"},{\"bufferView\":4,\"componentType\":5123,"
        "\"count\":6,\"type\":\"SCALAR\"},{\"bufferView\":6,\"componentType\":5123,\"count\":3,"
        "\"type\":\"SCALAR\"},{\"bufferView\":7,\"componentType\":5126,\"count\":3,\"max\":[1.0,"
        "-0.5,1.0],\"min\":[0.0,-0.5,0.0],\"type\":\"VEC3\"},{\"bufferView\":8,\"componentType\":5126,"
        "\"count\":3,\"type\":\"VEC3\"},{\"bufferView\":9,\"componentType\":5123,\"count\":3,"
        "\"type\":\"SCALAR\"}],\"asset\":{\"generator\":\"mapconv " MAPCONV_VERSION "\",\"version\":\"2.0\"},"
        "\"bufferViews\":[{\"buffer\":0,\"byteLength\":84,\"target\":34962},{\"buffer\":0,"
        "\"byteLength\":84,\"byteOffset\":84,\"target\":34962},{\"buffer\":0,\"byteLength\":56,"
        "\"byteOffset\":168,\"target\":34962},{\"buffer\":0,\"byteLength\":2778,\"byteOffset\":224},"
        "{\"buffer\":0,\"byteLength\":12,\"byteOffset\":3004,\"target\":34963},{\"buffer\":0,"
        "\"byteLength\":2778,\"byteOffset\":3016},{\"buffer\":0,\"byteLength\":6,\"byteOffset\":5796,"
        "\"target\":34963},{\"buffer\":0,\"byteLength\":36,\"byteOffset\":5804,\"target\":34962},"
        "{\"buffer\":0,\"byteLength\":36,\"byteOffset\":5840,\"target\":34962},{\"buffer\":0,"
        "\"byteLength\":6,\"byteOffset\":5876,\"target\":34963}],\"buffers\":[{\"byteLength\":5884}],"
        "\"images\":[{\"bufferView\":3,\"mimeType\":\"image/png\",\"name\":\"g.msh_g.tex_a21f75_palette_0\"},"
        "{\"bufferView\":5,\"mimeType\":\"image/png\",\"name\":\"g.msh_g.tex_a21f75_palette_3\"}],"
        "\"materials\":[{\"name\":\"g.msh_g.tex_a21f75_palette_0\",\"pbrMetallicRoughness\":{\"baseColorTexture\":{"
        "\"index\":0},"
        "\"metallicFactor\":0.0}},{\"name\":\"g.msh_g.tex_a21f75_palette_3\",\"pbrMetallicRoughness\":{"
        "\"baseColorTexture\":{\"index\":1},"
        "\"metallicFactor\":0.0}},{\"doubleSided\":true,\"name\":\"g.msh_g.tex_a21f75_skirt\","
        "\"pbrMetallicRoughness\":{\"baseColorFactor\":[0.35,0.3,0.25,1.0],\"metallicFactor\":0.0}}],"
        "\"meshes\":[{\"name\":\"g.msh_g.tex_a21f75_terrain\",\"primitives\":[{\"attributes\":{\"NORMAL\":1,"
        "\"POSITION\":0,\"TEXCOORD_0\":2},\"indices\":3,\"material\":0,\"mode\":4},{\"attributes\":{\"NORMAL\":1,"
        "\"POSITION\":0,\"TEXCOORD_0\":2},\"indices\":4,\"material\":1,\"mode\":4}]},{\"name\":\"g.msh_g.tex_a21f75_"
        "skirt\","
        "\"primitives\":[{\"attributes\":{\"NORMAL\":6,\"POSITION\":5},\"indices\":7,\"material\":2,"
        "\"mode\":4}]}],\"nodes\":[{\"mesh\":0,\"name\":\"terrain\"},{\"mesh\":1,\"name\":\"skirt\"}],"
        "\"samplers\":[{\"magFilter\":9728,\"minFilter\":9728,\"wrapS\":10497,\"wrapT\":10497}],"
        "\"scene\":0,\"scenes\":[{\"nodes\":[0,1]}],\"textures\":[{\"sampler\":0,\"source\":0},"
        "{\"sampler\":0,\"source\":1}]}";
    auto u32 = [&](size_t at) {
        return uint32_t(uint8_t(glb[at])) | uint32_t(uint8_t(glb[at + 1])) << 8 | uint32_t(uint8_t(glb[at + 2])) << 16 |
               uint32_t(uint8_t(glb[at + 3])) << 24;
    };
    size_t json_room = (json.size() + 3) / 4 * 4;
    ASSERT_GE(glb.size(), 28 + json_room);
    EXPECT_EQ(glb.substr(0, 4), "glTF");
    EXPECT_EQ(u32(4), 2u);
    EXPECT_EQ(u32(8), glb.size());
    EXPECT_EQ(u32(12), json_room);
    EXPECT_EQ(u32(16), 0x4E4F534Au);
    EXPECT_EQ(glb.substr(20, json.size()), json);
    EXPECT_EQ(glb.substr(20 + json.size(), json_room - json.size()), std::string(json_room - json.size(), ' '));
    EXPECT_EQ(u32(20 + json_room), 5884u);
    EXPECT_EQ(u32(24 + json_room), 0x004E4942u);
    EXPECT_EQ(glb.size(), 28 + json_room + 5884);
    // The first position, the triangle's first corner (1, 0.07, 0), as little-endian floats; the
    // skirt's three 16-bit indices end the chunk, padded with zeros.
    float first[3];
    memcpy(first, &glb[28 + json_room], sizeof first);
    EXPECT_EQ(first[0], 1.0f);
    EXPECT_EQ(first[1], 0.07f);
    EXPECT_EQ(first[2], 0.0f);
    EXPECT_EQ(glb.substr(glb.size() - 8), std::string("\0\0\1\0\2\0\0\0", 8));
}

TEST(Glb, EveryTriangleAsTheMeshSaysInEitherCornerOrder)
{
    scratch_folder sample, forward, reversed;
    make_sample(sample);
    ASSERT_EQ(run_mapconv(sample.path, {"--glb", "--all-palettes", "map"}).status, 0);
    expect_glb_matches_mesh(sample / "map01.msh_map01.tex.glb", read_file(sample / "map01.msh"), true);

    // Maps with only textured or only untextured quads (one zero normal in each).
    for (bool textured : {true, false}) {
        scratch_folder only;
        std::string mesh = only_textured_or_untextured(textured);
        ASSERT_EQ(write_file(only / "o.msh", mesh), 0);
        ASSERT_EQ(write_file(only / "o.tex", std::string(131072, '\x12')), 0);
        ASSERT_EQ(run_mapconv(only.path, {"--glb", "o"}).status, 0);
        expect_glb_matches_mesh(only / "o.msh_o.tex.glb", mesh, false);
    }

    // Random corners and normals of every length: each triangle turns around its unit normals,
    // which the stored ones, summed as they are, would often contradict.
    std::string random = random_mesh(3000, 9000, 10, 10);
    scratch_folder chaos;
    ASSERT_EQ(write_file(chaos / "r.msh", random), 0);
    ASSERT_EQ(write_file(chaos / "r.tex", std::string(131072, '\x3c')), 0);
    ASSERT_EQ(run_mapconv(chaos.path, {"--glb", "r"}).status, 0);
    expect_glb_matches_mesh(chaos / "r.msh_r.tex.glb", random, false);

    // The same hills written in both corner orders give the same faces.
    for (bool reverse : {false, true}) {
        const scratch_folder& folder = reverse ? reversed : forward;
        std::string mesh = write_map_mesh(hill_mesh(reverse));
        ASSERT_EQ(write_file(folder / "h.msh", mesh), 0);
        ASSERT_EQ(write_file(folder / "h.tex", std::string(131072, '\x9a')), 0);
        ASSERT_EQ(run_mapconv(folder.path, {"--glb", "h"}).status, 0);
        expect_glb_matches_mesh(folder / "h.msh_h.tex.glb", mesh, false);
        ASSERT_EQ(run_mapconv(folder.path, {"--glb", "--all-palettes", "h"}).status, 0);
        expect_glb_matches_mesh(folder / "h.msh_h.tex.glb", mesh, true);
    }

    // The embedded sheets are the very PNG files, sampled nearest-texel, in a rough, non-metal
    // material.
    tinygltf::Model model = load_glb(sample / "map01.msh_map01.tex.glb");
    const tinygltf::Mesh& terrain = model.meshes[size_t(model.nodes[0].mesh)];
    ASSERT_EQ(terrain.primitives.size(), 3u);  // palettes 0, 3 and 5
    for (const tinygltf::Primitive& p : terrain.primitives) {
        const tinygltf::Material& material = model.materials[size_t(p.material)];
        EXPECT_EQ(material.pbrMetallicRoughness.metallicFactor, 0.0);
        EXPECT_EQ(material.pbrMetallicRoughness.roughnessFactor, 1.0);
        const tinygltf::Texture& texture = model.textures[size_t(material.pbrMetallicRoughness.baseColorTexture.index)];
        EXPECT_EQ(model.samplers[size_t(texture.sampler)].magFilter, 9728);
        EXPECT_EQ(model.samplers[size_t(texture.sampler)].minFilter, 9728);
        const tinygltf::Image& image = model.images[size_t(texture.source)];
        const tinygltf::BufferView& view = model.bufferViews[size_t(image.bufferView)];
        std::string embedded(reinterpret_cast<const char*>(model.buffers[0].data.data() + view.byteOffset),
                             view.byteLength);
        std::string palette = material.name.substr(material.name.rfind('_') + 1);
        EXPECT_EQ(embedded, read_file(sample / ("map01.tex_tex_" + palette + ".png"))) << material.name;
    }
}

TEST(Glb, WithFaceUpTheObjTurnsAsTheGlbDoes)
{
    // A map whose terrain turns clockwise seen from above: with --face-up every OBJ face, terrain
    // and skirt, turns counter-clockwise around its normals, as in the .glb; only "f" lines change.
    scratch_folder folder;
    std::string mesh_bytes = write_map_mesh(hill_mesh(true));
    ASSERT_EQ(write_file(folder / "h.msh", mesh_bytes), 0);
    ASSERT_EQ(write_file(folder / "h.tex", std::string(131072, '\x9a')), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"h"}).status, 0);
    std::string plain = read_file(folder / "h.msh_h.tex.obj");
    ASSERT_EQ(run_mapconv(folder.path, {"--face-up", "--all-palettes", "h"}).status, 0);
    ASSERT_EQ(run_mapconv(folder.path, {"--face-up", "h"}).status, 0);
    std::string up = read_file(folder / "h.msh_h.tex.obj");
    std::vector<vec3d> v, vn;
    std::vector<std::vector<int>> terrain, skirt;
    std::string plain_rest, up_rest;
    bool in_skirt = false;
    std::istringstream lines(up);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "o")
            in_skirt = line == "o skirt";
        if (key == "v" || key == "vn") {
            vec3d x;
            words >> x.x >> x.y >> x.z;
            (key == "v" ? v : vn).push_back(x);
        }
        if (key == "f") {
            std::vector<int> corners;
            for (std::string corner; words >> corner;)
                corners.push_back(atoi(corner.c_str()) - 1);
            (in_skirt ? skirt : terrain).push_back(corners);
        } else {
            up_rest += line + "\n";
        }
    }
    std::istringstream plain_lines(plain);
    for (std::string line; std::getline(plain_lines, line);)
        if (line.rfind("f ", 0) != 0)
            plain_rest += line + "\n";
    EXPECT_EQ(up_rest, plain_rest);
    ASSERT_FALSE(terrain.empty());
    ASSERT_FALSE(skirt.empty());
    for (const std::vector<int>& f : terrain) {
        vec3d sum = {0, 0, 0};
        for (int c : f)
            sum = vec3d{sum.x + unit(vn[size_t(c)]).x, sum.y + unit(vn[size_t(c)]).y, sum.z + unit(vn[size_t(c)]).z};
        EXPECT_GT(dot(turn(v[size_t(f[0])], v[size_t(f[1])], v[size_t(f[2])]), sum), 0);
    }
    // The skirt's walls face out of the map as stored, and keep their order though the terrain's
    // turns: as in the .glb.
    for (const std::vector<int>& f : skirt)
        EXPECT_TRUE(f[1] == f[0] + 1 && f[2] == f[0] + 2);
}

TEST(Glb, EveryPaletteByteLandsInItsPalettesPrimitive)
{
    scratch_folder folder;
    std::string mesh = distinct_corners_mesh(256, false, 256);  // palette bytes 0 to 255
    ASSERT_EQ(write_file(folder / "p.msh", mesh), 0);
    ASSERT_EQ(write_file(folder / "p.tex", std::string(131072, '\x21')), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"--glb", "--all-palettes", "p"}).status, 0);
    expect_glb_matches_mesh(folder / "p.msh_p.tex.glb", mesh, true);
    tinygltf::Model model = load_glb(folder / "p.msh_p.tex.glb");
    EXPECT_EQ(model.meshes[0].primitives.size(), 16u);
}

TEST(Glb, IndexWidthFollowsTheVertexCount)
{
    const struct {
        int triangles;
        bool shared;
        int palettes;
        int index_type;
    } cases[] = {
        {21845, false, 1, TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT},  // 65,535 vertices
        {21846, true, 1, TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT},     // 65,536
        {25000, false, 3, TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT},    // 75,000, each palette's share fewer
    };
    for (const auto& c : cases) {
        scratch_folder folder;
        std::string mesh = distinct_corners_mesh(c.triangles, c.shared, c.palettes);
        ASSERT_EQ(write_file(folder / "w.msh", mesh), 0);
        ASSERT_EQ(write_file(folder / "w.tex", std::string(131072, '\x43')), 0);
        ASSERT_EQ(run_mapconv(folder.path, {"--glb", "--all-palettes", "w"}).status, 0);
        tinygltf::Model model = load_glb(folder / "w.msh_w.tex.glb");
        const tinygltf::Mesh& terrain = model.meshes[0];
        ASSERT_EQ(terrain.primitives.size(), size_t(c.palettes));
        for (const tinygltf::Primitive& p : terrain.primitives) {
            EXPECT_EQ(model.accessors[size_t(p.attributes.at("POSITION"))].count,
                      size_t(c.triangles * 3 - c.shared * 2));
            EXPECT_EQ(model.accessors[size_t(p.indices)].componentType, c.index_type) << c.triangles;
        }
        expect_glb_matches_mesh(folder / "w.msh_w.tex.glb", mesh, true);
    }
}

// The names inside a .glb, as an importer that keeps them as files would name them: Godot turns
// '.' into '_', and a folder blind to case folds case.
std::vector<std::string> folded_names(const std::string& path)
{
    tinygltf::Model model = load_glb(path);
    std::vector<std::string> names;
    for (const tinygltf::Material& m : model.materials)
        names.push_back("material " + m.name);
    for (const tinygltf::Image& i : model.images)
        names.push_back("image " + i.name);
    for (const tinygltf::Mesh& m : model.meshes)
        names.push_back("mesh " + m.name);
    for (std::string& name : names)
        for (char& c : name)
            c = c == '.' ? '_' : char(tolower(static_cast<unsigned char>(c)));
    return names;
}

TEST(Glb, NamesInsideAreUniquePerFile)
{
    // Engines keep imported materials, images and meshes by name: two files must share none, even
    // after the folding importers apply.
    scratch_folder folder;
    ASSERT_EQ(write_file(folder / "m.msh", write_map_mesh(hill_mesh(false))), 0);
    ASSERT_EQ(write_file(folder / "m1.tex", std::string(131072, '\x11')), 0);
#if defined(_WIN32)
    const std::string second = "m2.tex";  // Windows names are UTF-16: each one is valid UTF-8
#else
    const std::string second = "m2\xff.tex";  // not UTF-8
#endif
    ASSERT_EQ(write_file(folder / second, std::string(131072, '\x22')), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"--glb", "--all-palettes", "m"}).status, 0);
    std::set<std::string> seen;
    for (const std::string& glb : {std::string("m.msh_m1.tex.glb"), "m.msh_" + second + ".glb"}) {
        std::vector<std::string> names = folded_names(folder / glb);
        EXPECT_GT(names.size(), 4u);
        for (const std::string& name : names)
            EXPECT_TRUE(seen.insert(name).second) << name;
    }
#if !defined(_WIN32)
    // The byte that is not UTF-8 becomes '_'.
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const std::string& n) {
        return n.rfind("material m_msh_m2__tex_", 0) == 0 && n.size() > 6 && n.substr(n.size() - 6) == "_skirt";
    }));
#endif
    // Four pairs whose names fold to one (m.1 and m_1, m.2 and m_2): four sets of names still.
    scratch_folder four;
    ASSERT_EQ(write_file(four / "m.1.msh", write_map_mesh(hill_mesh(false))), 0);
    ASSERT_EQ(write_file(four / "m_1.msh", write_map_mesh(hill_mesh(true))), 0);
    ASSERT_EQ(write_file(four / "m.2.tex", std::string(131072, '\x11')), 0);
    ASSERT_EQ(write_file(four / "m_2.tex", std::string(131072, '\x22')), 0);
    ASSERT_EQ(run_mapconv(four.path, {"--glb", "m"}).status, 0);
    std::set<std::string> folded;
    for (const char* glb : {"m.1.msh_m.2.tex.glb", "m.1.msh_m_2.tex.glb", "m_1.msh_m.2.tex.glb", "m_1.msh_m_2.tex.glb"})
        for (const std::string& name : folded_names(four / glb))
            EXPECT_TRUE(folded.insert(name).second) << glb << ": " << name;
}

TEST(Glb, ALaterRunIgnoresTheGlbFiles)
{
    scratch_folder folder;
    make_sample(folder);
    program_run first = run_mapconv(folder.path, {"--glb", "map"});
    program_run second = run_mapconv(folder.path, {"--glb", "map"});
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(second.out.substr(0, 35), "1 meshes found\n1 possible textures\n");
    EXPECT_EQ(list_names(folder.path).size(), 6u);
}

TEST(Glb, AnEditorsMoveOfOneSpotWritesBackOnlyItsCorners)
{
    // As an editor moves a vertex of the welded .glb: every corner at one spot, terrain and skirt,
    // moves; placed under a node that moves it back. Written back, exactly those corners change.
    scratch_folder folder;
    std::string original = write_map_mesh(hill_mesh(false));
    ASSERT_EQ(write_file(folder / "h.msh", original), 0);
    ASSERT_EQ(write_file(folder / "h.tex", write_texture([](int x, int, void*) { return x % 16; }, nullptr)), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"-q", "--glb", "--all-palettes", "h"}).status, 0);
    tinygltf::Model model = load_glb(folder / "h.msh_h.tex.glb");
    const float spot[3] = {3, 0, 0};  // a corner of the hills and of the skirt's walls
    size_t moved = 0;
    std::set<int> done;  // the terrain's primitives share their vertices
    for (const tinygltf::Mesh& mesh : model.meshes)
        for (const tinygltf::Primitive& primitive : mesh.primitives) {
            if (!done.insert(primitive.attributes.at("POSITION")).second)
                continue;
            const tinygltf::Accessor& a = model.accessors[size_t(primitive.attributes.at("POSITION"))];
            float* p = reinterpret_cast<float*>(
                const_cast<unsigned char*>(accessor_bytes(model, primitive.attributes.at("POSITION"))));
            for (size_t v = 0; v < a.count; v++, p += 3) {
                if (std::fabs(p[0] - spot[0]) < 1e-4 && std::fabs(p[1] - spot[1]) < 1e-4 &&
                    std::fabs(p[2] - spot[2]) < 1e-4) {
                    p[1] += 1.25f;
                    moved++;
                }
                p[1] += 2;  // the node below takes it away again
            }
        }
    ASSERT_GT(moved, 2u);
    for (tinygltf::Node& node : model.nodes)
        node.translation = {0, -2, 0};
    tinygltf::TinyGLTF writer;
    ASSERT_TRUE(writer.WriteGltfSceneToFile(&model, folder / "e.glb", true, true, false, true));
    program_run back = run_mapconv(folder.path, {"--write-back", "h.msh", "e.glb", "new.msh"});
    ASSERT_EQ(back.status, 0) << back.err;
    decoded_mesh before = decode_mesh_bytes(original), after = decode_mesh_bytes(read_file(folder / "new.msh"));
    ASSERT_EQ(after.result, 0);
    size_t changed = 0;
    auto check = [&](const std::vector<tri_vectors>& a, const std::vector<tri_vectors>& b) {
        for (size_t t = 0; t < a.size(); t++)
            for (int c = 0; c < 3; c++) {
                bool at_spot = std::equal(a[t].corner[c], a[t].corner[c] + 3, spot);
                float expected[3] = {a[t].corner[c][0], a[t].corner[c][1] + (at_spot ? 1.25f : 0), a[t].corner[c][2]};
                changed += at_spot;
                for (int k = 0; k < 3; k++)
                    EXPECT_NEAR(b[t].corner[c][k], expected[k], 1e-5) << t << " " << c;
            }
    };
    check(before.mesh.tex_positions, after.mesh.tex_positions);
    check(before.mesh.untex_positions, after.mesh.untex_positions);
    EXPECT_GT(changed, 2u);
    // Beyond the positions every byte stays.
    size_t normals = 204 + 18 * size_t(before.mesh.counts.tex_tri_count) +
                     24 * size_t(before.mesh.counts.tex_quad_count) + 18 * size_t(before.mesh.counts.untex_tri_count) +
                     24 * size_t(before.mesh.counts.untex_quad_count);
    std::string written = read_file(folder / "new.msh");
    EXPECT_TRUE(written.compare(normals, std::string::npos, original, normals, std::string::npos) == 0);
    EXPECT_TRUE(written.compare(0, 204, original, 0, 204) == 0);
}
