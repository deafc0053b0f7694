#include "gltf/encode_glb.h"

#include "mesh/face_order.h"
#include "mesh/model_names.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <unordered_map>

// The library is compiled into this file alone. The sheets are embedded as the PNG bytes they
// are, so its image decoding and encoding (stb) are left out.
#define TINYGLTF_IMPLEMENTATION
#include <tiny_gltf.h>

const bool glb_built_in = true;

namespace {

constexpr int array_buffer = 34962;          // vertex attributes
constexpr int element_array_buffer = 34963;  // indices
constexpr int nearest = 9728;

struct vec3 {
    float x, y, z;
};

// The unit normal of a triangle's plane in this corner order; straight up for a triangle without
// area.
vec3 face_normal(const tri_vectors& t, corner_order order)
{
    double n[3];
    turn_normal(t, order, n);
    double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(length > 0))
        return vec3{0, 1, 0};
    return vec3{float(n[0] / length), float(n[1] / length), float(n[2] / length)};
}

// A stored normal scaled to unit length; a zero normal becomes its face's normal.
vec3 unit_normal(const float n[3], const tri_vectors& face, corner_order order)
{
    float unit[3];
    if (!unit_length(n, unit))
        return face_normal(face, order);
    return vec3{unit[0], unit[1], unit[2]};
}

// One welded vertex: identical corners share it.
struct vertex {
    float position[3];
    float normal[3];
    float uv[2];
    bool operator==(const vertex& o) const { return memcmp(this, &o, sizeof *this) == 0; }
};

struct vertex_hash {
    size_t operator()(const vertex& v) const
    {
        uint32_t words[8];
        memcpy(words, &v, sizeof words);
        uint64_t h = 1469598103934665603ull;
        for (uint32_t w : words)
            h = (h ^ w) * 1099511628211ull;
        return size_t(h);
    }
};

struct welded {
    std::vector<vertex> vertices;
    std::unordered_map<vertex, uint32_t, vertex_hash> index_of;
    uint32_t add(const vertex& v)
    {
        auto found = index_of.emplace(v, uint32_t(vertices.size()));
        if (found.second)
            vertices.push_back(v);
        return found.first->second;
    }
};

// Appends bytes to the one binary buffer as a view of their own, 4-byte aligned.
int add_view(tinygltf::Model* model, const void* data, size_t size, int target)
{
    std::vector<unsigned char>& buffer = model->buffers[0].data;
    while (buffer.size() % 4)
        buffer.push_back(0);
    tinygltf::BufferView view;
    view.buffer = 0;
    view.byteOffset = buffer.size();
    view.byteLength = size;
    view.target = target;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    buffer.insert(buffer.end(), bytes, bytes + size);
    model->bufferViews.push_back(view);
    return int(model->bufferViews.size() - 1);
}

// glTF's numbers are little-endian whatever the host's byte order: each is written byte by byte.
void put_u16_le(std::vector<unsigned char>* out, uint32_t v)
{
    out->push_back((unsigned char)(v & 0xff));
    out->push_back((unsigned char)(v >> 8 & 0xff));
}

void put_u32_le(std::vector<unsigned char>* out, uint32_t v)
{
    put_u16_le(out, v & 0xffff);
    put_u16_le(out, v >> 16);
}

void put_float_le(std::vector<unsigned char>* out, float v)
{
    uint32_t bits;
    memcpy(&bits, &v, sizeof bits);
    put_u32_le(out, bits);
}

int add_accessor(tinygltf::Model* model, int view, int component_type, size_t count, int type)
{
    tinygltf::Accessor a;
    a.bufferView = view;
    a.componentType = component_type;
    a.count = count;
    a.type = type;
    model->accessors.push_back(a);
    return int(model->accessors.size() - 1);
}

// Positions, normals and (when with_uv) texture coordinates of the welded vertices, as accessors.
std::map<std::string, int> add_attributes(tinygltf::Model* model, const welded& w, bool with_uv)
{
    size_t n = w.vertices.size();
    std::vector<unsigned char> positions, normals, uvs;
    positions.reserve(n * 12);
    normals.reserve(n * 12);
    uvs.reserve(with_uv ? n * 8 : 0);
    std::vector<double> low(3, INFINITY), high(3, -INFINITY);
    for (const vertex& v : w.vertices) {
        for (int k = 0; k < 3; k++) {
            put_float_le(&positions, v.position[k]);
            put_float_le(&normals, v.normal[k]);
            low[size_t(k)] = std::min(low[size_t(k)], double(v.position[k]));
            high[size_t(k)] = std::max(high[size_t(k)], double(v.position[k]));
        }
        if (with_uv) {
            put_float_le(&uvs, v.uv[0]);
            put_float_le(&uvs, v.uv[1]);
        }
    }
    std::map<std::string, int> attributes;
    int position = add_accessor(model, add_view(model, positions.data(), positions.size(), array_buffer),
                                TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC3);
    model->accessors[size_t(position)].minValues = low;
    model->accessors[size_t(position)].maxValues = high;
    attributes["POSITION"] = position;
    attributes["NORMAL"] = add_accessor(model, add_view(model, normals.data(), normals.size(), array_buffer),
                                        TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC3);
    if (with_uv)
        attributes["TEXCOORD_0"] = add_accessor(model, add_view(model, uvs.data(), uvs.size(), array_buffer),
                                                TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC2);
    return attributes;
}

// Indices as 16-bit values when every vertex fits, else 32-bit. 65535 may not be an index of
// 16 bits (glTF keeps it for primitive restart), so 65,536 vertices need 32.
int add_indices(tinygltf::Model* model, const std::vector<uint32_t>& indices, size_t vertex_count)
{
    bool narrow = vertex_count <= 65535;
    std::vector<unsigned char> bytes;
    bytes.reserve(indices.size() * (narrow ? 2 : 4));
    for (uint32_t i : indices) {
        if (narrow)
            put_u16_le(&bytes, i);
        else
            put_u32_le(&bytes, i);
    }
    return add_accessor(model, add_view(model, bytes.data(), bytes.size(), element_array_buffer),
                        narrow ? TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT : TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT,
                        indices.size(), TINYGLTF_TYPE_SCALAR);
}

int add_material(tinygltf::Model* model, const std::string& name, int texture, const std::vector<double>& colour)
{
    tinygltf::Material m;
    m.name = name;
    m.pbrMetallicRoughness.metallicFactor = 0.0;
    m.pbrMetallicRoughness.roughnessFactor = 1.0;
    if (texture >= 0)
        m.pbrMetallicRoughness.baseColorTexture.index = texture;
    else
        m.pbrMetallicRoughness.baseColorFactor = colour;
    model->materials.push_back(m);
    return int(model->materials.size() - 1);
}

void add_node(tinygltf::Model* model, const std::string& name, tinygltf::Mesh mesh)
{
    model->meshes.push_back(mesh);
    tinygltf::Node node;
    node.name = name;
    node.mesh = int(model->meshes.size() - 1);
    model->nodes.push_back(node);
    model->scenes[0].nodes.push_back(int(model->nodes.size() - 1));
}

// Names inside the file begin with the pair's own name: engines that keep imported materials,
// images and meshes by name (in one folder for all files) must never mix two files' sheets.
void add_terrain(tinygltf::Model* model, const map_mesh* mesh, const face_orders& turn,
                 const std::vector<glb_sheet>& sheets, const std::string& pair_name)
{
    size_t count = mesh->tex_positions.size();
    if (count == 0)
        return;
    // One sampler for every sheet: the nearest texel, so the pixels stay crisp.
    tinygltf::Sampler sampler;
    sampler.magFilter = nearest;
    sampler.minFilter = nearest;
    model->samplers.push_back(sampler);

    welded w;
    std::vector<std::vector<uint32_t>> indices(sheets.size());
    for (size_t t = 0; t < count; t++) {
        size_t group = 0;
        if (sheets.size() > 1)
            while (group + 1 < sheets.size() && sheets[group].palette != sheet_palette(mesh->tex_faces[t]))
                group++;
        const tri_vectors& position = mesh->tex_positions[t];
        corner_order order = textured_order(turn, t);
        for (int c : order.corner) {
            vertex v;
            memcpy(v.position, position.corner[c], sizeof v.position);
            vec3 n = unit_normal(mesh->tex_normals[t].corner[c], position, order);
            v.normal[0] = n.x;
            v.normal[1] = n.y;
            v.normal[2] = n.z;
            // glTF's texture origin is the image's top-left; the sheet's first row is its bottom.
            v.uv[0] = float(mesh->tex_uvs[t].corner[c][0] / 256.0);
            v.uv[1] = float(1.0 - mesh->tex_uvs[t].corner[c][1] / 1024.0);
            indices[group].push_back(w.add(v));
        }
    }
    std::map<std::string, int> attributes = add_attributes(model, w, true);
    tinygltf::Mesh terrain;
    terrain.name = pair_name + "_" + terrain_name;
    for (size_t s = 0; s < sheets.size(); s++) {
        if (indices[s].empty())
            continue;
        tinygltf::Image image;
        image.name = pair_name + "_" + palette_material_name(sheets[s].palette);
        image.mimeType = "image/png";
        image.bufferView =
            add_view(model, sheets[s].png->data(), sheets[s].png->size(), 0);  // no target: not vertex data
        model->images.push_back(image);
        tinygltf::Texture texture;
        texture.sampler = 0;
        texture.source = int(model->images.size() - 1);
        model->textures.push_back(texture);

        tinygltf::Primitive primitive;
        primitive.attributes = attributes;
        primitive.indices = add_indices(model, indices[s], w.vertices.size());
        primitive.material = add_material(model, image.name, int(model->textures.size() - 1), {});
        primitive.mode = TINYGLTF_MODE_TRIANGLES;
        terrain.primitives.push_back(primitive);
    }
    add_node(model, terrain_name, terrain);
}

// The skirt has no normals of its own: each face gets its flat normal, in the order in which most
// of its walls face out of the map.
void add_skirt(tinygltf::Model* model, const map_mesh* mesh, const face_orders& turn, const std::string& pair_name)
{
    if (mesh->untex_positions.empty())
        return;
    welded w;
    std::vector<uint32_t> indices;
    for (const tri_vectors& t : mesh->untex_positions) {
        vec3 n = face_normal(t, turn.skirt);
        for (int c : turn.skirt.corner) {
            vertex v = {};
            memcpy(v.position, t.corner[c], sizeof v.position);
            v.normal[0] = n.x;
            v.normal[1] = n.y;
            v.normal[2] = n.z;
            indices.push_back(w.add(v));
        }
    }
    tinygltf::Primitive primitive;
    primitive.attributes = add_attributes(model, w, false);
    primitive.indices = add_indices(model, indices, w.vertices.size());
    primitive.material = add_material(model, pair_name + "_" + skirt_name, -1, {0.35, 0.3, 0.25, 1.0});
    // Untextured triangles carry no normals to tell their outside by, and form outer walls and pits
    // whose outsides face opposite ways: the skirt is seen from both sides, lit by its normal on
    // the front and by the reversed one on the back, as glTF draws a double-sided material.
    model->materials[size_t(primitive.material)].doubleSided = true;
    primitive.mode = TINYGLTF_MODE_TRIANGLES;
    tinygltf::Mesh skirt;
    skirt.name = pair_name + "_" + skirt_name;
    skirt.primitives.push_back(primitive);
    add_node(model, skirt_name, skirt);
}

// The length of the valid UTF-8 sequence at p (end bounds it), or 0 when there is none: the rules of
// the JSON writer, which refuses overlong forms, surrogates and code points past U+10FFFF.
size_t utf8_length(const unsigned char* p, const unsigned char* end)
{
    auto within = [&](size_t i, unsigned low, unsigned high) { return p + i < end && p[i] >= low && p[i] <= high; };
    if (p[0] < 0x80)
        return 1;
    if (p[0] >= 0xC2 && p[0] <= 0xDF)
        return within(1, 0x80, 0xBF) ? 2 : 0;
    if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        unsigned low = p[0] == 0xE0 ? 0xA0 : 0x80, high = p[0] == 0xED ? 0x9F : 0xBF;
        return within(1, low, high) && within(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        unsigned low = p[0] == 0xF0 ? 0x90 : 0x80, high = p[0] == 0xF4 ? 0x8F : 0xBF;
        return within(1, low, high) && within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

// A file name as a glTF name: JSON text must be UTF-8, and a file name may be any bytes. Each byte
// that begins no valid sequence becomes '_'.
std::string utf8_name(const std::string& name)
{
    std::string text;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name.data());
    const unsigned char* end = p + name.size();
    while (p < end) {
        size_t n = utf8_length(p, end);
        if (n == 0) {
            text += '_';
            n = 1;
        } else {
            text.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
    }
    return text;
}

// Importers that keep materials, images and meshes as files name those files after these names,
// folding some characters: Godot turns '.' into '_', and a folder blind to case folds case. Where
// folding changes a pair's name, six hex digits of a hash of the name as it is keep it apart from
// another pair's that folds the same (m.1.msh_m.2.tex and m_1.msh_m_2.tex).
std::string importer_safe_name(const std::string& name)
{
    bool folds = false;
    uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        folds = folds || c == '.' || (c >= 'A' && c <= 'Z');
        hash = (hash ^ c) * 16777619u;
    }
    if (!folds)
        return name;
    char tag[8];
    snprintf(tag, sizeof tag, "%06x", unsigned(hash & 0xffffff));
    return name + "_" + tag;
}

// The library writes to a stream: this one hands its bytes to the sink.
struct sink_buffer : std::streambuf {
    byte_sink* out;
    int result = 0;
    explicit sink_buffer(byte_sink* sink) : out(sink) {}
    std::streamsize xsputn(const char* data, std::streamsize n) override
    {
        if (sink_write(out, data, size_t(n)) != 0)
            result = -1;
        return n;
    }
    int_type overflow(int_type c) override
    {
        if (c != traits_type::eof()) {
            char one = char(c);
            xsputn(&one, 1);
        }
        return traits_type::not_eof(c);
    }
};

}  // namespace

int encode_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, const std::string& pair_name, byte_sink* out,
               std::string* error)
{
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = std::string("mapconv ") + MAPCONV_VERSION;
    model.buffers.resize(1);
    model.scenes.resize(1);
    model.defaultScene = 0;
    face_orders turn = choose_face_orders(mesh);
    std::string name = importer_safe_name(utf8_name(pair_name));
    add_terrain(&model, mesh, turn, sheets, name);
    add_skirt(&model, mesh, turn, name);
    model.buffers[0].data.resize((model.buffers[0].data.size() + 3) / 4 * 4, 0);
    // The JSON is small; the binary chunk is the buffer.
    sink_reserve(out, model.buffers[0].data.size() + 65536);

    sink_buffer buffer(out);
    std::ostream stream(&buffer);
    tinygltf::TinyGLTF writer;
    if (!writer.WriteGltfSceneToStream(&model, stream, false, true)) {
        *error = "cannot write the glTF binary";
        return -1;
    }
    // A failed file write keeps its reason in the output; the pair reports it.
    return buffer.result;
}
