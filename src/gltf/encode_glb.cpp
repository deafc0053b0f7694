#include "gltf/encode_glb.h"

#include <cmath>
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

vec3 corner_of(const tri_vectors& t, int c)
{
    return vec3{t.corner[c][0], t.corner[c][1], t.corner[c][2]};
}

// The unit normal of a triangle's plane; straight up for a triangle without area.
vec3 face_normal(const tri_vectors& t)
{
    vec3 a = corner_of(t, 0), b = corner_of(t, 1), c = corner_of(t, 2);
    double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    double length = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(length > 0))
        return vec3{0, 1, 0};
    return vec3{float(nx / length), float(ny / length), float(nz / length)};
}

// A stored normal scaled to unit length; a zero normal becomes its face's normal.
vec3 unit_normal(const float n[3], const tri_vectors& face)
{
    double length = std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]);
    if (!(length > 0))
        return face_normal(face);
    return vec3{float(n[0] / length), float(n[1] / length), float(n[2] / length)};
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
    std::vector<float> positions(n * 3), normals(n * 3), uvs(n * 2);
    std::vector<double> low(3, INFINITY), high(3, -INFINITY);
    for (size_t i = 0; i < n; i++) {
        const vertex& v = w.vertices[i];
        for (int k = 0; k < 3; k++) {
            positions[i * 3 + size_t(k)] = v.position[k];
            normals[i * 3 + size_t(k)] = v.normal[k];
            low[size_t(k)] = std::min(low[size_t(k)], double(v.position[k]));
            high[size_t(k)] = std::max(high[size_t(k)], double(v.position[k]));
        }
        uvs[i * 2] = v.uv[0];
        uvs[i * 2 + 1] = v.uv[1];
    }
    std::map<std::string, int> attributes;
    int position = add_accessor(model, add_view(model, positions.data(), positions.size() * 4, array_buffer),
                                TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC3);
    model->accessors[size_t(position)].minValues = low;
    model->accessors[size_t(position)].maxValues = high;
    attributes["POSITION"] = position;
    attributes["NORMAL"] = add_accessor(model, add_view(model, normals.data(), normals.size() * 4, array_buffer),
                                        TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC3);
    if (with_uv)
        attributes["TEXCOORD_0"] = add_accessor(model, add_view(model, uvs.data(), uvs.size() * 4, array_buffer),
                                                TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC2);
    return attributes;
}

// Indices as 16-bit values when every vertex fits, else 32-bit.
int add_indices(tinygltf::Model* model, const std::vector<uint32_t>& indices, size_t vertex_count)
{
    if (vertex_count <= 65535) {
        std::vector<uint16_t> narrow(indices.begin(), indices.end());
        return add_accessor(model, add_view(model, narrow.data(), narrow.size() * 2, element_array_buffer),
                            TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT, narrow.size(), TINYGLTF_TYPE_SCALAR);
    }
    return add_accessor(model, add_view(model, indices.data(), indices.size() * 4, element_array_buffer),
                        TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT, indices.size(), TINYGLTF_TYPE_SCALAR);
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
    mesh.name = name;
    model->meshes.push_back(mesh);
    tinygltf::Node node;
    node.name = name;
    node.mesh = int(model->meshes.size() - 1);
    model->nodes.push_back(node);
    model->scenes[0].nodes.push_back(int(model->nodes.size() - 1));
}

void add_terrain(tinygltf::Model* model, const map_mesh* mesh, const std::vector<glb_sheet>& sheets)
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
        for (int c = 0; c < 3; c++) {
            vertex v;
            memcpy(v.position, position.corner[c], sizeof v.position);
            vec3 n = unit_normal(mesh->tex_normals[t].corner[c], position);
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
    for (size_t s = 0; s < sheets.size(); s++) {
        if (indices[s].empty())
            continue;
        tinygltf::Image image;
        image.name = "palette_" + std::to_string(sheets[s].palette);
        image.mimeType = "image/png";
        image.bufferView = add_view(model, sheets[s].png->data(), sheets[s].png->size(), 0);  // no target: not vertex data
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
    add_node(model, "terrain", terrain);
}

void add_skirt(tinygltf::Model* model, const map_mesh* mesh)
{
    if (mesh->untex_positions.empty())
        return;
    welded w;
    std::vector<uint32_t> indices;
    for (const tri_vectors& t : mesh->untex_positions) {
        vec3 n = face_normal(t);
        for (int c = 0; c < 3; c++) {
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
    primitive.material = add_material(model, "skirt", -1, {0.35, 0.3, 0.25, 1.0});
    primitive.mode = TINYGLTF_MODE_TRIANGLES;
    tinygltf::Mesh skirt;
    skirt.primitives.push_back(primitive);
    add_node(model, "skirt", skirt);
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

int encode_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, byte_sink* out, std::string* error)
{
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = std::string("mapconv ") + MAPCONV_VERSION;
    model.buffers.resize(1);
    model.scenes.resize(1);
    model.defaultScene = 0;
    add_terrain(&model, mesh, sheets);
    add_skirt(&model, mesh);
    model.buffers[0].data.resize((model.buffers[0].data.size() + 3) / 4 * 4, 0);

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
