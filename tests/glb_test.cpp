// --glb: the glTF binary passes the Khronos validator and says what the OBJ says.
#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <tiny_gltf.h>

#include "map_writer.h"
#include "run_program.h"

namespace {

// The sample map, written by the sample tool into folder.
void make_sample(const scratch_folder& folder)
{
    std::string command = std::string(MAKE_SAMPLE_EXE) + " '" + folder.path + "'";
    ASSERT_EQ(system(command.c_str()), 0);
}

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

std::vector<float> floats_of(const tinygltf::Model& model, int accessor_index)
{
    const tinygltf::Accessor& a = model.accessors[size_t(accessor_index)];
    const tinygltf::BufferView& view = model.bufferViews[size_t(a.bufferView)];
    const unsigned char* data = model.buffers[size_t(view.buffer)].data.data() + view.byteOffset + a.byteOffset;
    size_t width = a.type == TINYGLTF_TYPE_VEC3 ? 3 : a.type == TINYGLTF_TYPE_VEC2 ? 2 : 1;
    std::vector<float> values(a.count * width);
    memcpy(values.data(), data, values.size() * 4);
    return values;
}

std::vector<uint32_t> indices_of(const tinygltf::Model& model, int accessor_index)
{
    const tinygltf::Accessor& a = model.accessors[size_t(accessor_index)];
    const tinygltf::BufferView& view = model.bufferViews[size_t(a.bufferView)];
    const unsigned char* data = model.buffers[size_t(view.buffer)].data.data() + view.byteOffset + a.byteOffset;
    std::vector<uint32_t> values(a.count);
    for (size_t i = 0; i < a.count; i++) {
        if (a.componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT) {
            uint16_t v;
            memcpy(&v, data + 2 * i, 2);
            values[i] = v;
        } else {
            memcpy(&values[i], data + 4 * i, 4);
        }
    }
    return values;
}

// The "vt" lines of an OBJ, as (u, v) pairs.
std::vector<std::pair<double, double>> obj_uvs(const std::string& obj)
{
    std::vector<std::pair<double, double>> uvs;
    std::istringstream lines(obj);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("vt ", 0) == 0) {
            double u, v;
            sscanf(line.c_str() + 3, "%lf %lf", &u, &v);
            uvs.emplace_back(u, v);
        }
    return uvs;
}

}  // namespace

TEST(Glb, TheKhronosValidatorFindsNothing)
{
    // CI always runs the validator; elsewhere it needs Node.js, which building does not.
    if (!getenv("CI") && system("command -v node >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Node.js is not installed: the Khronos glTF validator cannot run";
    scratch_folder sample, palettes, untextured, textured;
    make_sample(sample);
    make_sample(palettes);
    ASSERT_EQ(write_file(untextured / "map_u.msh", only_textured_or_untextured(false)), 0);
    ASSERT_EQ(write_file(untextured / "map_u.tex", std::string(131072, '\x12')), 0);
    ASSERT_EQ(write_file(textured / "map_t.msh", only_textured_or_untextured(true)), 0);
    ASSERT_EQ(write_file(textured / "map_t.tex", std::string(131072, '\x34')), 0);
    ASSERT_EQ(run_mapconv(sample.path, {"--glb", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(palettes.path, {"--glb", "--all-palettes", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(untextured.path, {"--glb", "map"}).status, 0);
    ASSERT_EQ(run_mapconv(textured.path, {"--glb", "map"}).status, 0);
    bool clean = false;
    std::string report = validate({sample / "map01.msh_map01.tex.glb", palettes / "map01.msh_map01.tex.glb",
                                   untextured / "map_u.msh_map_u.tex.glb", textured / "map_t.msh_map_t.tex.glb"},
                                  &clean);
    EXPECT_TRUE(clean) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 4) << report;
}

TEST(Glb, ReadsBackAsTheObjSaysWithUnitNormals)
{
    scratch_folder folder;
    make_sample(folder);
    ASSERT_EQ(run_mapconv(folder.path, {"--glb", "--all-palettes", "map"}).status, 0);

    tinygltf::Model model;
    tinygltf::TinyGLTF loader;
    loader.SetImageLoader(keep_image_bytes, nullptr);
    std::string error, warning;
    ASSERT_TRUE(loader.LoadBinaryFromFile(&model, &error, &warning, folder / "map01.msh_map01.tex.glb")) << error;
    EXPECT_EQ(warning, "");
    ASSERT_EQ(model.nodes.size(), 2u);
    EXPECT_EQ(model.nodes[0].name, "terrain");
    EXPECT_EQ(model.nodes[1].name, "skirt");

    // The sample: 104 textured triangles and 204 quads, 4 untextured triangles and 60 quads.
    const size_t textured = 104 + 2 * 204, untextured = 4 + 2 * 60;
    std::vector<std::pair<double, double>> uvs = obj_uvs(read_file(folder / "map01.msh_map01.tex.obj"));
    ASSERT_EQ(uvs.size(), 3 * textured);

    const tinygltf::Mesh& terrain = model.meshes[size_t(model.nodes[0].mesh)];
    ASSERT_EQ(terrain.primitives.size(), 3u);  // palettes 0, 3 and 5
    size_t terrain_indices = 0;
    std::vector<float> texcoords = floats_of(model, terrain.primitives[0].attributes.at("TEXCOORD_0"));
    std::vector<float> normals = floats_of(model, terrain.primitives[0].attributes.at("NORMAL"));
    std::vector<float> positions = floats_of(model, terrain.primitives[0].attributes.at("POSITION"));
    for (size_t i = 0; i < normals.size(); i += 3)
        EXPECT_NEAR(std::sqrt(normals[i] * normals[i] + normals[i + 1] * normals[i + 1] + normals[i + 2] * normals[i + 2]),
                    1.0, 1e-6);
    // Every corner's (u, v) is one of the OBJ's, with v flipped: 1 - v.
    std::set<std::pair<double, double>> obj_set(uvs.begin(), uvs.end());
    for (const tinygltf::Primitive& p : terrain.primitives) {
        const tinygltf::Material& material = model.materials[size_t(p.material)];
        EXPECT_EQ(material.pbrMetallicRoughness.metallicFactor, 0.0);
        const tinygltf::Texture& texture = model.textures[size_t(material.pbrMetallicRoughness.baseColorTexture.index)];
        EXPECT_EQ(model.samplers[size_t(texture.sampler)].magFilter, 9728);
        EXPECT_EQ(model.samplers[size_t(texture.sampler)].minFilter, 9728);
        // The embedded sheet is the very PNG file of its palette.
        const tinygltf::Image& image = model.images[size_t(texture.source)];
        const tinygltf::BufferView& view = model.bufferViews[size_t(image.bufferView)];
        std::string embedded(reinterpret_cast<const char*>(model.buffers[0].data.data() + view.byteOffset), view.byteLength);
        EXPECT_EQ(embedded, read_file(folder / ("map01.tex_tex_" + material.name.substr(8) + ".png")));

        for (uint32_t i : indices_of(model, p.indices)) {
            ASSERT_LT(size_t(i) * 2, texcoords.size());
            std::pair<double, double> flipped(std::round(texcoords[i * 2] * 1e6) / 1e6,
                                              std::round((1.0 - texcoords[i * 2 + 1]) * 1e6) / 1e6);
            EXPECT_TRUE(obj_set.count(flipped)) << flipped.first << " " << flipped.second;
            terrain_indices++;
        }
    }
    EXPECT_EQ(terrain_indices, 3 * textured);

    const tinygltf::Mesh& skirt = model.meshes[size_t(model.nodes[1].mesh)];
    ASSERT_EQ(skirt.primitives.size(), 1u);
    EXPECT_EQ(model.materials[size_t(skirt.primitives[0].material)].name, "skirt");
    std::vector<uint32_t> skirt_indices = indices_of(model, skirt.primitives[0].indices);
    EXPECT_EQ(skirt_indices.size(), 3 * untextured);
    size_t skirt_vertices = model.accessors[size_t(skirt.primitives[0].attributes.at("POSITION"))].count;
    for (uint32_t i : skirt_indices)
        EXPECT_LT(i, skirt_vertices);
    EXPECT_EQ(positions.size() % 3, 0u);
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
