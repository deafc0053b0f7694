// The .glb reader of the write-back, in memory: a .glb of the mesh comes back as the mesh however
// its nodes hold and place it, and what no real file holds is refused in bounded time and memory.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "gltf/encode_glb.h"
#include "gltf/read_glb.h"
#include "map_writer.h"
#include "mesh/match_edit.h"
#include "mesh/read_map_mesh.h"
#include "mesh/write_map_mesh.h"
#include "platform.h"
#include "test_maps.h"

namespace {

using json = nlohmann::json;

struct glb_case {
    std::vector<uint8_t> file;  // the mesh's bytes
    map_mesh mesh;
    std::vector<uint8_t> glb;
};

// The map and its .glb, with one sheet or a sheet per palette.
glb_case glb_of(const std::string& bytes, bool by_palette)
{
    glb_case g;
    g.file.assign(bytes.begin(), bytes.end());
    std::vector<uint8_t> block;
    read_problem problem;
    byte_source source = memory_source(g.file.data(), g.file.size());
    EXPECT_EQ(read_map_mesh(&source, &g.mesh, &block, &problem), 0);
    static const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G'};
    std::vector<glb_sheet> sheets;
    for (int p = 0; p < 16; p++)
        if (by_palette ? (used_palette_mask(g.mesh) & 1u << p) != 0 : p == 0)
            sheets.push_back(glb_sheet{p, &png});
    byte_sink sink = memory_sink(&g.glb);
    std::string error;
    EXPECT_EQ(encode_glb(&g.mesh, sheets, "h", &sink, &error), 0) << error;
    return g;
}

glb_case hill_glb(bool reverse, bool by_palette)
{
    return glb_of(write_map_mesh(hill_mesh(reverse)), by_palette);
}

void put_u32(std::vector<uint8_t>* b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b->push_back(uint8_t(v >> (8 * i)));
}

uint32_t u32_at(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A container of JSON text and a binary chunk, as a .glb lays them out.
std::vector<uint8_t> pack(std::string text, const std::vector<uint8_t>& bin)
{
    while (text.size() % 4)
        text += ' ';
    std::vector<uint8_t> out = {'g', 'l', 'T', 'F'};
    put_u32(&out, 2);
    put_u32(&out, uint32_t(12 + 8 + text.size() + (bin.empty() ? 0 : 8 + bin.size())));
    put_u32(&out, uint32_t(text.size()));
    put_u32(&out, 0x4E4F534A);
    out.insert(out.end(), text.begin(), text.end());
    if (!bin.empty()) {
        put_u32(&out, uint32_t(bin.size()));
        put_u32(&out, 0x004E4942);
        out.insert(out.end(), bin.begin(), bin.end());
    }
    return out;
}

// The .glb with its JSON changed by edit.
std::vector<uint8_t> with_json(const std::vector<uint8_t>& glb, const std::function<void(json&)>& edit)
{
    size_t json_size = u32_at(&glb[12]);
    json doc = json::parse(glb.begin() + 20, glb.begin() + 20 + long(json_size));
    edit(doc);
    size_t bin_at = 20 + json_size;
    std::vector<uint8_t> bin(glb.begin() + long(bin_at) + 8, glb.end());
    return pack(doc.dump(), bin);
}

// Reads the .glb, its arrays last, with the bytes of the model's copy of the binary chunk set
// first to what no array holds: what is read of them is then what the file holds.
int read_glb(const std::vector<uint8_t>& glb, edited_model* model, std::string* error)
{
    byte_source source = memory_source(glb.data(), glb.size());
    if (read_glb_model(&source, model, error, false) != 0)
        return -1;
    std::fill_n(model->glb_binary.get(), model->glb_binary_size, 0x7f);
    return read_glb_arrays(&source, model, error);
}

// Reads the .glb and writes it back into the mesh. Returns the new bytes, or empty with *error set.
std::vector<uint8_t> written_back(const glb_case& g, const std::vector<uint8_t>& glb, std::string* error)
{
    edited_model model;
    mesh_values values;
    if (read_glb(glb, &model, error) != 0 ||
        match_edited_model(g.mesh, choose_face_orders(&g.mesh), records_of(g.file.data(), g.mesh.counts), model,
                           &values, error) != 0)
        return {};
    std::vector<uint8_t> out = g.file;
    edit_counts changed;
    write_mesh_records(out.data(), g.mesh.counts, values, &changed);
    return out;
}

// The index of the node named name.
size_t node_named(const json& doc, const std::string& name)
{
    for (size_t i = 0; i < doc["nodes"].size(); i++)
        if (doc["nodes"][i].value("name", "") == name)
            return i;
    return size_t(-1);
}

// Puts node index under a new parent node, which the scene lists in its place.
size_t put_under_parent(json& doc, size_t index, const json& parent_fields)
{
    json parent = parent_fields;
    parent["children"] = json::array({index});
    doc["nodes"].push_back(parent);
    size_t parent_index = doc["nodes"].size() - 1;
    for (json& n : doc["scenes"][0]["nodes"])
        if (n == index)
            n = parent_index;
    return parent_index;
}

// The .glb with the skirt's triangles listed without indices: each corner's position copied, in
// the order the indices named them, into an array of their own.
std::vector<uint8_t> skirt_unindexed(const std::vector<uint8_t>& glb)
{
    size_t json_size = u32_at(&glb[12]);
    json doc = json::parse(glb.begin() + 20, glb.begin() + 20 + long(json_size));
    std::vector<uint8_t> bin(glb.begin() + 20 + long(json_size) + 8, glb.end());
    json& primitive = doc["meshes"][size_t(doc["nodes"][node_named(doc, "skirt")]["mesh"])]["primitives"][0];
    auto at = [&](size_t accessor) {
        const json& a = doc["accessors"][accessor];
        return doc["bufferViews"][size_t(a["bufferView"])].value("byteOffset", size_t(0)) +
               a.value("byteOffset", size_t(0));
    };
    const json& indices = doc["accessors"][size_t(primitive["indices"])];
    size_t size = indices["componentType"] == 5121 ? 1 : indices["componentType"] == 5123 ? 2 : 4;
    size_t first_index = at(primitive["indices"]), positions = at(primitive["attributes"]["POSITION"]);
    size_t count = indices["count"];
    std::vector<uint8_t> corners;
    for (size_t i = 0; i < count; i++) {
        uint8_t index[4] = {};
        std::copy_n(&bin[first_index + size * i], size, index);
        size_t vertex = u32_at(index);
        corners.insert(corners.end(), bin.begin() + long(positions + 12 * vertex),
                       bin.begin() + long(positions + 12 * vertex + 12));
    }
    doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", bin.size()}, {"byteLength", corners.size()}});
    doc["accessors"].push_back(
        {{"bufferView", doc["bufferViews"].size() - 1}, {"componentType", 5126}, {"count", count}, {"type", "VEC3"}});
    bin.insert(bin.end(), corners.begin(), corners.end());
    primitive["attributes"] = {{"POSITION", doc["accessors"].size() - 1}};
    primitive.erase("indices");
    doc["buffers"][0]["byteLength"] = bin.size();
    return pack(doc.dump(), bin);
}

}  // namespace

TEST(ReadGlbModel, AGlbOfTheMeshComesBackAsTheMesh)
{
    // In memory, for meshes in either corner order, with one sheet and with a sheet per palette.
    for (bool reverse : {false, true})
        for (bool by_palette : {false, true}) {
            glb_case g = hill_glb(reverse, by_palette);
            edited_model model;
            std::string error;
            ASSERT_EQ(read_glb(g.glb, &model, &error), 0) << error;
            EXPECT_EQ(model.grouping, by_palette ? grouped_by_palette : grouped_as_stored);
            EXPECT_TRUE(model.prefers_turned);
            EXPECT_TRUE(written_back(g, g.glb, &error) == g.file) << reverse << by_palette << error;
            // The skirt's corners as vertices of their own, in order, without indices.
            EXPECT_TRUE(written_back(g, skirt_unindexed(g.glb), &error) == g.file) << reverse << by_palette << error;
        }
}

namespace {

// The .glb with shift bytes of 0xff before its binary chunk's own, its buffer views moved with
// them, and the bytes of the views named (ones the reader has no use for) set to 0xff too.
std::vector<uint8_t> shifted(const std::vector<uint8_t>& glb, size_t shift, const std::vector<size_t>& spoiled)
{
    size_t json_size = u32_at(&glb[12]);
    json doc = json::parse(glb.begin() + 20, glb.begin() + 20 + long(json_size));
    std::vector<uint8_t> bin(shift, 0xff);
    bin.insert(bin.end(), glb.begin() + 20 + long(json_size) + 8, glb.end());
    for (json& view : doc["bufferViews"])
        view["byteOffset"] = view.value("byteOffset", size_t(0)) + shift;
    for (size_t v : spoiled) {
        size_t at = doc["bufferViews"][v]["byteOffset"];
        std::fill_n(bin.begin() + long(at), size_t(doc["bufferViews"][v]["byteLength"]), 0xff);
    }
    return pack(doc.dump(), bin);
}

// The binary chunk's bytes the reader reads: each attribute of the terrain, and the skirt's
// positions, as [first, end) in the chunk; and the views of the skirt's normals.
void arrays_read(const std::vector<uint8_t>& glb, std::vector<std::pair<size_t, size_t>>* read,
                 std::vector<size_t>* skirt_normals)
{
    json doc = json::parse(glb.begin() + 20, glb.begin() + 20 + long(u32_at(&glb[12])));
    for (const json& node : doc["nodes"]) {
        if (!node.contains("mesh"))
            continue;
        bool terrain = node["name"] == "terrain";
        for (const json& p : doc["meshes"][size_t(node["mesh"])]["primitives"])
            for (const char* name : {"POSITION", "NORMAL", "TEXCOORD_0"}) {
                if (!p["attributes"].contains(name))
                    continue;
                const json& a = doc["accessors"][size_t(p["attributes"][name])];
                size_t view = a["bufferView"];
                if (!terrain && std::string(name) == "NORMAL") {
                    skirt_normals->push_back(view);
                    continue;
                }
                size_t first =
                    doc["bufferViews"][view].value("byteOffset", size_t(0)) + a.value("byteOffset", size_t(0));
                size_t element = std::string(name) == "TEXCOORD_0" ? 8 : 12;
                read->push_back({first, first + element * size_t(a["count"])});
            }
    }
}

}  // namespace

TEST(ReadGlbModel, ArraysComeBackWhereverTheBinaryChunkHoldsThem)
{
    // The binary chunk is read in blocks of 64 KiB: each array read starts and ends one byte before,
    // at and one byte after a block's edge, with the bytes around and the skirt's normals spoiled.
    for (bool by_palette : {false, true}) {
        glb_case g = glb_of(random_whole_range_mesh(300, 400, 200, 300, 5), by_palette);
        std::vector<std::pair<size_t, size_t>> read;
        std::vector<size_t> skirt_normals;
        arrays_read(g.glb, &read, &skirt_normals);
        ASSERT_EQ(read.size() % 3, 1u);  // three a terrain primitive, and the skirt's positions
        ASSERT_EQ(read.size() > 4, by_palette);
        ASSERT_EQ(skirt_normals.size(), 1u);
        std::vector<size_t> shifts = {0, 4};
        const size_t block = 65536;
        for (const auto& range : read)
            for (size_t edge : {range.first, range.second})
                for (size_t off : {block - 1, block, block + 1})
                    shifts.push_back((off - edge % block) % block);
        for (size_t shift : shifts) {
            std::string error;
            EXPECT_TRUE(written_back(g, shifted(g.glb, shift, skirt_normals), &error) == g.file)
                << by_palette << " " << shift << " " << error;
        }
    }
    // A file that changes between its JSON and its arrays is refused.
    glb_case g = hill_glb(false, false);
    edited_model model;
    std::string error;
    byte_source whole = memory_source(g.glb.data(), g.glb.size()), cut = memory_source(g.glb.data(), g.glb.size() - 1);
    ASSERT_EQ(read_glb_model(&whole, &model, &error, false), 0) << error;
    EXPECT_EQ(read_glb_arrays(&cut, &model, &error), -1);
    EXPECT_EQ(error, "it changed while it was read");
#ifndef _WIN32
    // One the system fails to read is refused with the system's reason.
    int folder = open(".", O_RDONLY);
    ASSERT_GE(folder, 0);
    byte_source unreadable = file_source(folder);
    EXPECT_EQ(read_glb_arrays(&unreadable, &model, &error), -1);
    EXPECT_EQ(error, error_text(EISDIR));
    close(folder);
#endif
    EXPECT_EQ(read_glb_arrays(&whole, &model, &error), 0) << error;
    // The skirt's records hold positions only: its normals and texture coordinates are not read.
    const model_part& skirt = model.parts[model.skirt[0].part];
    EXPECT_EQ(skirt.normals.count + skirt.uvs.count, 0u);
    EXPECT_FALSE(model.skirt[0].has_normal || model.skirt[0].has_uv);
}

TEST(ReadGlbModel, PlacementsDownAParentChainApplyInOrder)
{
    // Parents move, turn and scale; the terrain and skirt nodes undo it exactly, in the order glTF
    // gives (the parent's placement first, and in a node translation, rotation, then scale): read
    // in the right order, the map comes back byte for byte; in any other, its corners move.
    glb_case g = hill_glb(false, true);
    double angle = 0.7, s = 2.5, t[3] = {3, -1, 4};
    double half = angle / 2, q[4] = {0, std::sin(half), 0, std::cos(half)};  // about y
    // The inverse: scale 1/s, rotation -angle, translation -(1/s) R^-1 t.
    double c = std::cos(-angle), sn = std::sin(-angle);
    double back[3] = {-(c * t[0] + sn * t[2]) / s, -t[1] / s, -(-sn * t[0] + c * t[2]) / s};
    std::vector<uint8_t> glb = with_json(g.glb, [&](json& doc) {
        for (const char* name : {"terrain", "skirt"}) {
            size_t node = node_named(doc, name);
            doc["nodes"][node]["translation"] = {back[0], back[1], back[2]};
            doc["nodes"][node]["rotation"] = {0, -q[1], 0, q[3]};
            doc["nodes"][node]["scale"] = {1 / s, 1 / s, 1 / s};
            // Three levels, each with a part of the placement: the order of the product matters.
            size_t turned = put_under_parent(doc, node, json{{"name", "turned"}});
            doc["nodes"][turned]["rotation"] = {q[0], q[1], q[2], q[3]};
            doc["nodes"][turned]["scale"] = {s, s, s};
            size_t parent = put_under_parent(doc, turned, json{{"name", "moved"}});
            doc["nodes"][parent]["translation"] = {t[0], t[1], t[2]};
            put_under_parent(doc, parent,
                             json{{"name", "world"}, {"matrix", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}}});
        }
    });
    std::string error;
    EXPECT_TRUE(written_back(g, glb, &error) == g.file) << error;

    // Only the parent's placement: every corner is moved, and the map is refused as moved as a whole.
    glb = with_json(g.glb, [&](json& doc) {
        size_t node = node_named(doc, "terrain");
        size_t parent = put_under_parent(doc, node, json{{"name", "placed"}});
        doc["nodes"][parent]["rotation"] = {q[0], q[1], q[2], q[3]};
    });
    EXPECT_TRUE(written_back(g, glb, &error).empty());
    EXPECT_NE(error.find("turned, mirrored or scaled as a whole"), std::string::npos) << error;
}

TEST(ReadGlbModel, CornersAndNormalsArePlacedAsTheirNodeSays)
{
    // One part turned a quarter about y and scaled by 2: a point (1, 2, 3) goes to (6, 4, -2) and
    // the normal (1, 0, 0) to (0, 0, -1) at some positive length.
    edited_model model;
    model.pools[positions_pool] = {1, 2, 3};
    model.pools[normals_pool] = {1, 0, 0};
    model.pools[uvs_pool] = {0.25, 0.75};
    model_part part;
    part.positions = number_array{nullptr, positions_pool, 0, 24, 1};
    part.normals = number_array{nullptr, normals_pool, 0, 24, 1};
    part.uvs = number_array{nullptr, uvs_pool, 0, 16, 1};
    part.uv_from_top = true;
    part.placed = true;
    double place[16] = {0, 0, -2, 0, 0, 2, 0, 0, 2, 0, 0, 0, 0, 0, 0, 1};  // column-major
    memcpy(part.place, place, sizeof place);
    model.parts.push_back(part);
    edited_face f;
    f.has_normal = f.has_uv = true;
    face_corners corners;
    face_corners_of(model, f, &corners);
    EXPECT_DOUBLE_EQ(corners.position[0][0], 6);
    EXPECT_DOUBLE_EQ(corners.position[0][1], 4);
    EXPECT_DOUBLE_EQ(corners.position[0][2], -2);
    double n = std::sqrt(corners.normal[1][0] * corners.normal[1][0] + corners.normal[1][2] * corners.normal[1][2]);
    EXPECT_GT(n, 0);
    EXPECT_NEAR(corners.normal[0][0], 0, 1e-12);
    EXPECT_NEAR(corners.normal[0][1], 0, 1e-12);
    EXPECT_LT(corners.normal[0][2], 0);
    // glTF counts v from the image's top.
    EXPECT_EQ(corners.uv[0][0], 0.25);
    EXPECT_EQ(corners.uv[0][1], 0.25);
}

TEST(ReadGlbModel, ATerrainWhoseChildrenHoldAPaletteEachComesBack)
{
    // As three.js exports a multi-primitive mesh: the terrain a node of its own, a child node with a
    // mesh of one primitive for each palette.
    glb_case g = hill_glb(true, true);
    std::vector<uint8_t> glb = with_json(g.glb, [&](json& doc) {
        size_t terrain = node_named(doc, "terrain");
        json mesh = doc["meshes"][doc["nodes"][terrain]["mesh"].get<size_t>()];
        doc["nodes"][terrain].erase("mesh");
        doc["nodes"][terrain]["children"] = json::array();
        // Children in the reverse of the palettes' order: the materials tell the order.
        for (size_t i = mesh["primitives"].size(); i-- > 0;) {
            json one = {{"name", "part"}, {"primitives", json::array({mesh["primitives"][i]})}};
            doc["meshes"].push_back(one);
            doc["nodes"].push_back({{"name", "Mesh_" + std::to_string(i)}, {"mesh", doc["meshes"].size() - 1}});
            doc["nodes"][terrain]["children"].push_back(doc["nodes"].size() - 1);
        }
    });
    std::string error;
    EXPECT_TRUE(written_back(g, glb, &error) == g.file) << error;
}

TEST(ReadGlbModel, RefusesWhatNoRealFileHolds)
{
    glb_case g = hill_glb(false, true);
    std::vector<std::pair<std::function<void(json&)>, std::string>> cases = {
        // A node listed as a child twice, by one node or by two; a cycle the scene enters.
        {[](json& d) {
             d["nodes"].push_back({{"name", "p"}, {"children", {0, 0}}});
         },
         "node 0 has two parents"},
        {[](json& d) {
             d["nodes"].push_back({{"name", "a"}, {"children", {0}}});
             d["nodes"].push_back({{"name", "b"}, {"children", {0}}});
         },
         "node 0 has two parents"},
        {[](json& d) {
             size_t n = d["nodes"].size();
             d["nodes"].push_back({{"name", "a"}, {"children", {n + 1}}});
             d["nodes"].push_back({{"name", "b"}, {"children", {n}}});
             d["scenes"][0]["nodes"].push_back(n);
         },
         "is reached twice: the scene lists it and a node does"},
        {[](json& d) { d["nodes"][0]["children"] = {99}; }, "node 0 lists a child the file does not have"},
        {[](json& d) { d["scenes"][0]["nodes"].push_back(77); }, "scene 0 lists a node the file does not have"},
        // Meshes where no terrain or skirt is; what the arrays cannot hold.
        {[](json& d) {
             d["nodes"].push_back({{"name", "Cube"}, {"mesh", 0}});
             d["scenes"][0]["nodes"].push_back(d["nodes"].size() - 1);
         },
         "expected only the nodes terrain and skirt, and the nodes inside them, to hold meshes"},
        {[](json& d) { d["accessors"][0]["count"] = 1ll << 31; }, "reaches past its buffer view or the binary chunk"},
        {[](json& d) { d["accessors"][3].erase("count"); }, "terrain primitive 1 indices, accessor 3: no count"},
        {[](json& d) { d["bufferViews"][0]["byteStride"] = 256; }, "byteStride is not a whole number from 4 to 252"},
        {[](json& d) { d["accessors"][0]["sparse"] = json::object(); }, "expected a plain buffer view"},
        {[](json& d) { d["buffers"][0]["uri"] = "data.bin"; }, "expected its numbers in the file's own binary chunk"},
        {[](json& d) { d["meshes"][0]["primitives"][0]["mode"] = 1; }, "expected triangles, found primitive mode 1"},
        {[](json& d) {
             d["nodes"][0]["scale"] = {1, "two", 1};
         },
         "a matrix, translation, rotation or scale"},
        // Integers in place of numbers, or compressed arrays: say how to export them.
        {[](json& d) { d["extensionsUsed"] = {"KHR_mesh_quantization"}; },
         "quantized (KHR_mesh_quantization): its positions, normals or texture coordinates are stored as integers"},
        {[](json& d) { d["extensionsRequired"] = {"EXT_meshopt_compression"}; },
         "compressed (EXT_meshopt_compression): export it again without compression"},
        {[](json& d) { d["extensionsRequired"] = {"KHR_draco_mesh_compression"}; },
         "compressed (KHR_draco_mesh_compression)"},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        edited_model model;
        std::string error;
        std::vector<uint8_t> glb = with_json(g.glb, cases[i].first);
        EXPECT_EQ(read_glb(glb, &model, &error), -1) << i;
        EXPECT_NE(error.find(cases[i].second), std::string::npos) << i << ": " << error;
    }
}

TEST(ReadGlbModel, RefusesAContainerThatIsNotWhole)
{
    glb_case g = hill_glb(false, false);
    edited_model model;
    std::string error;
    // Every length short of the whole file.
    for (size_t n = 0; n < g.glb.size(); n += n < 64 ? 1 : 997) {
        std::vector<uint8_t> cut(g.glb.begin(), g.glb.begin() + long(n));
        EXPECT_EQ(read_glb(cut, &model, &error), -1) << n;
        EXPECT_FALSE(error.empty());
    }
    // The header's length against the file's, and chunks that pass the end by a byte.
    std::vector<uint8_t> cut(g.glb.begin(), g.glb.begin() + 100), longer = g.glb;
    longer.push_back(0);
    std::string says = "a glTF binary whose header says " + std::to_string(g.glb.size()) + " bytes, found ";
    EXPECT_EQ(read_glb(cut, &model, &error), -1);
    EXPECT_EQ(error, says + "100 (a copy cut short?)");
    EXPECT_EQ(read_glb(longer, &model, &error), -1);
    EXPECT_EQ(error, says + std::to_string(longer.size()) + " (a copy cut short?)");
    size_t bin_header = 20 + u32_at(&g.glb[12]);
    for (size_t length_at : {size_t(12), bin_header}) {
        std::vector<uint8_t> over = g.glb;
        over[length_at]++;
        EXPECT_EQ(read_glb(over, &model, &error), -1);
        EXPECT_EQ(error, "a glTF binary whose chunk 2 passes its end");  // the JSON's: its next header is off
    }
    std::vector<uint8_t> json_only(g.glb.begin(), g.glb.begin() + long(bin_header) + 4);
    for (int i = 0; i < 4; i++)
        json_only[8 + i] = uint8_t(json_only.size() >> (8 * i));
    EXPECT_EQ(read_glb(json_only, &model, &error), -1);
    EXPECT_EQ(error, "a glTF binary whose chunk 2 passes its end");
    // JSON nested 20,000 deep inside extras: refused before anything parses it.
    std::string deep = std::string(20000, '[') + std::string(20000, ']');
    std::string text(g.glb.begin() + 20, g.glb.begin() + 20 + long(u32_at(&g.glb[12])));
    text.insert(text.rfind('}'), ",\"extras\":" + deep);
    std::vector<uint8_t> bin(g.glb.begin() + 20 + long(u32_at(&g.glb[12])) + 8, g.glb.end());
    EXPECT_EQ(read_glb(pack(text, bin), &model, &error), -1);
    EXPECT_EQ(error, "a glTF binary whose JSON nests deeper than 64 (no glTF file does)");
    // JSON that does not parse; a first chunk that is not JSON.
    EXPECT_EQ(read_glb(pack("{\"nodes\": [", bin), &model, &error), -1);
    EXPECT_EQ(error, "a glTF binary whose JSON cannot be read");
    std::vector<uint8_t> wrong = pack("{}", bin);
    wrong[16] = 'X';
    EXPECT_EQ(read_glb(wrong, &model, &error), -1);
    EXPECT_EQ(error, "a glTF binary whose first chunk is not its JSON");
}
