#include "gltf/encode_glb.h"

#include "mesh/face_order.h"
#include "mesh/model_names.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
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

// One vertex as the file holds it.
struct vertex {
    float position[3];
    float normal[3];
    float uv[2];
    bool operator==(const vertex& o) const { return memcmp(this, &o, sizeof *this) == 0; }
};

// Where a part's vertices come from: corner k (in the order written) of triangle t, numbered
// 3t + k, of the terrain or of the skirt. A vertex is worked out from its corner when it is needed,
// so that the welded vertices take a number each, not their 32 bytes.
struct vertex_source {
    const map_mesh* mesh;
    const face_orders* turn;
    bool skirt;
};

vertex terrain_vertex(const map_mesh& mesh, const face_orders& turn, uint32_t corner)
{
    size_t t = corner / 3;
    corner_order order = textured_order(turn, t);
    int c = order.corner[corner % 3];
    const tri_vectors& position = mesh.tex_positions[t];
    vertex v;
    memcpy(v.position, position.corner[c], sizeof v.position);
    vec3 n = unit_normal(mesh.tex_normals[t].corner[c], position, order);
    v.normal[0] = n.x;
    v.normal[1] = n.y;
    v.normal[2] = n.z;
    // glTF's texture origin is the image's top-left; the sheet's first row is its bottom.
    v.uv[0] = float(mesh.tex_uvs[t].corner[c][0] / 256.0);
    v.uv[1] = float(1.0 - mesh.tex_uvs[t].corner[c][1] / 1024.0);
    return v;
}

// The skirt has no normals of its own: each face gets its flat normal, in the order in which most
// of its walls face out of the map.
vertex skirt_vertex(const map_mesh& mesh, const face_orders& turn, uint32_t corner)
{
    const tri_vectors& t = mesh.untex_positions[corner / 3];
    vertex v = {};
    memcpy(v.position, t.corner[turn.skirt.corner[corner % 3]], sizeof v.position);
    vec3 n = face_normal(t, turn.skirt);
    v.normal[0] = n.x;
    v.normal[1] = n.y;
    v.normal[2] = n.z;
    return v;
}

vertex vertex_at(const vertex_source& source, uint32_t corner)
{
    return source.skirt ? skirt_vertex(*source.mesh, *source.turn, corner)
                        : terrain_vertex(*source.mesh, *source.turn, corner);
}

uint32_t vertex_hash(const vertex& v)
{
    uint32_t words[8];
    memcpy(words, &v, sizeof words);
    uint64_t h = 1469598103934665603ull;
    for (uint32_t w : words)
        h = (h ^ w) * 1099511628211ull;
    return uint32_t(h ^ h >> 32);
}

// Identical corners share a vertex, numbered in the order they first come. Each is kept as the
// corner it was first seen at, and found again through a table open addressed by its hash (a slot
// holds the hash and the vertex's number plus one; 0 is free).
struct welded {
    vertex_source source;
    std::vector<uint32_t> corners;
    std::vector<uint64_t> slots;
    uint32_t add(uint32_t corner, const vertex& v, uint32_t hash)
    {
        size_t mask = slots.size() - 1;
        for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            uint64_t held = slots[slot];
            if (held == 0) {
                corners.push_back(corner);
                slots[slot] = uint64_t(hash) << 32 | uint32_t(corners.size());
                return uint32_t(corners.size() - 1);
            }
            uint32_t number = uint32_t(held) - 1;
            if (uint32_t(held >> 32) == hash && vertex_at(source, corners[number]) == v)
                return number;
        }
    }
};

void prefetch(const void* p)
{
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Welds corners 0 to count - 1 in order, handing use each corner's vertex number. The table is
// sized for every corner at once (at most three quarters full), and each corner's slot is fetched
// a few corners ahead: the vertices of a large map fall all over the table.
template <typename use_fn>
void weld(welded* w, size_t count, use_fn use)
{
    size_t size = 4096;
    while (size * 3 < count * 4)
        size *= 2;
    w->slots.assign(size, 0);
    constexpr size_t ahead = 8;
    vertex pending[ahead];
    uint32_t hashes[ahead];
    auto prepare = [&](size_t corner) {
        pending[corner % ahead] = vertex_at(w->source, uint32_t(corner));
        hashes[corner % ahead] = vertex_hash(pending[corner % ahead]);
        prefetch(&w->slots[hashes[corner % ahead] & (size - 1)]);
    };
    for (size_t corner = 0; corner < std::min(count, ahead); corner++)
        prepare(corner);
    for (size_t corner = 0; corner < count; corner++) {
        vertex v = pending[corner % ahead];
        uint32_t hash = hashes[corner % ahead];
        if (corner + ahead < count)
            prepare(corner + ahead);
        use(corner, w->add(uint32_t(corner), v, hash));
    }
}

// The binary chunk, laid out before a byte of it is written: each piece at a 4-byte boundary, its
// bytes taken from where they already are (the welded vertices, the indices, a sheet's PNG) when
// the file is written, so that the chunk is never held whole.
enum class piece_kind { bytes, positions, normals, uvs, narrow_indices, wide_indices };

struct bin_piece {
    piece_kind kind;
    size_t offset, size;
    const welded* vertices;
    const std::vector<uint32_t>* indices;
    const std::vector<uint8_t>* bytes;
};

struct bin_layout {
    std::vector<bin_piece> pieces;
    size_t size = 0;
    // What the pieces point at, kept until the file is written.
    std::vector<std::unique_ptr<welded>> vertex_lists;
    std::vector<std::unique_ptr<std::vector<uint32_t>>> index_lists;
};

// A piece of the chunk as a view of its own.
int add_view(tinygltf::Model* model, bin_layout* bin, bin_piece piece, int target)
{
    piece.offset = (bin->size + 3) / 4 * 4;
    bin->size = piece.offset + piece.size;
    bin->pieces.push_back(piece);
    tinygltf::BufferView view;
    view.buffer = 0;
    view.byteOffset = piece.offset;
    view.byteLength = piece.size;
    view.target = target;
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
std::map<std::string, int> add_attributes(tinygltf::Model* model, bin_layout* bin, const welded* vertices, bool with_uv)
{
    size_t n = vertices->corners.size();
    std::vector<double> low(3, INFINITY), high(3, -INFINITY);
    for (uint32_t corner : vertices->corners) {
        vertex v = vertex_at(vertices->source, corner);
        for (size_t k = 0; k < 3; k++) {
            low[k] = std::min(low[k], double(v.position[k]));
            high[k] = std::max(high[k], double(v.position[k]));
        }
    }
    auto piece = [&](piece_kind kind, size_t size) { return bin_piece{kind, 0, size, vertices, nullptr, nullptr}; };
    std::map<std::string, int> attributes;
    int position = add_accessor(model, add_view(model, bin, piece(piece_kind::positions, n * 12), array_buffer),
                                TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC3);
    model->accessors[size_t(position)].minValues = low;
    model->accessors[size_t(position)].maxValues = high;
    attributes["POSITION"] = position;
    attributes["NORMAL"] = add_accessor(model, add_view(model, bin, piece(piece_kind::normals, n * 12), array_buffer),
                                        TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC3);
    if (with_uv)
        attributes["TEXCOORD_0"] =
            add_accessor(model, add_view(model, bin, piece(piece_kind::uvs, n * 8), array_buffer),
                         TINYGLTF_COMPONENT_TYPE_FLOAT, n, TINYGLTF_TYPE_VEC2);
    return attributes;
}

// Indices as 16-bit values when every vertex fits, else 32-bit. 65535 may not be an index of
// 16 bits (glTF keeps it for primitive restart), so 65,536 vertices need 32.
int add_indices(tinygltf::Model* model, bin_layout* bin, const std::vector<uint32_t>* indices, size_t vertex_count)
{
    bool narrow = vertex_count <= 65535;
    bin_piece piece = {narrow ? piece_kind::narrow_indices : piece_kind::wide_indices,
                       0,
                       indices->size() * (narrow ? 2 : 4),
                       nullptr,
                       indices,
                       nullptr};
    return add_accessor(model, add_view(model, bin, piece, element_array_buffer),
                        narrow ? TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT : TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT,
                        indices->size(), TINYGLTF_TYPE_SCALAR);
}

// The welded vertices and the indices stay, without the table that found them, until the file is
// written.
const welded* keep_vertices(bin_layout* bin, welded* w)
{
    w->slots = std::vector<uint64_t>();
    bin->vertex_lists.push_back(std::make_unique<welded>(std::move(*w)));
    return bin->vertex_lists.back().get();
}

const std::vector<uint32_t>* keep_indices(bin_layout* bin, std::vector<uint32_t>* indices)
{
    bin->index_lists.push_back(std::make_unique<std::vector<uint32_t>>(std::move(*indices)));
    return bin->index_lists.back().get();
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
void add_terrain(tinygltf::Model* model, bin_layout* bin, const map_mesh* mesh, const face_orders& turn,
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
    w.source = vertex_source{mesh, &turn, false};
    std::vector<std::vector<uint32_t>> indices(sheets.size());
    size_t group = 0;
    weld(&w, count * 3, [&](size_t corner, uint32_t number) {
        size_t t = corner / 3;
        if (corner % 3 == 0) {
            group = 0;
            if (sheets.size() > 1)
                while (group + 1 < sheets.size() && sheets[group].palette != sheet_palette(mesh->tex_faces[t]))
                    group++;
        }
        indices[group].push_back(number);
    });
    const welded* vertices = keep_vertices(bin, &w);
    std::map<std::string, int> attributes = add_attributes(model, bin, vertices, true);
    tinygltf::Mesh terrain;
    terrain.name = pair_name + "_" + terrain_name;
    for (size_t s = 0; s < sheets.size(); s++) {
        if (indices[s].empty())
            continue;
        tinygltf::Image image;
        image.name = pair_name + "_" + palette_material_name(sheets[s].palette);
        image.mimeType = "image/png";
        bin_piece png = {piece_kind::bytes, 0, sheets[s].png->size(), nullptr, nullptr, sheets[s].png};
        image.bufferView = add_view(model, bin, png, 0);  // no target: not vertex data
        model->images.push_back(image);
        tinygltf::Texture texture;
        texture.sampler = 0;
        texture.source = int(model->images.size() - 1);
        model->textures.push_back(texture);

        tinygltf::Primitive primitive;
        primitive.attributes = attributes;
        primitive.indices = add_indices(model, bin, keep_indices(bin, &indices[s]), vertices->corners.size());
        primitive.material = add_material(model, image.name, int(model->textures.size() - 1), {});
        primitive.mode = TINYGLTF_MODE_TRIANGLES;
        terrain.primitives.push_back(primitive);
    }
    add_node(model, terrain_name, terrain);
}

void add_skirt(tinygltf::Model* model, bin_layout* bin, const map_mesh* mesh, const face_orders& turn,
               const std::string& pair_name)
{
    if (mesh->untex_positions.empty())
        return;
    welded w;
    w.source = vertex_source{mesh, &turn, true};
    std::vector<uint32_t> indices;
    weld(&w, mesh->untex_positions.size() * 3, [&](size_t, uint32_t number) { indices.push_back(number); });
    tinygltf::Primitive primitive;
    const welded* vertices = keep_vertices(bin, &w);
    primitive.attributes = add_attributes(model, bin, vertices, false);
    primitive.indices = add_indices(model, bin, keep_indices(bin, &indices), vertices->corners.size());
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

// glTF's numbers are little-endian whatever the host's byte order: each is written byte by byte.
unsigned char* put_u16_le(unsigned char* out, uint32_t v)
{
    out[0] = (unsigned char)(v & 0xff);
    out[1] = (unsigned char)(v >> 8 & 0xff);
    return out + 2;
}

unsigned char* put_u32_le(unsigned char* out, uint32_t v)
{
    return put_u16_le(put_u16_le(out, v & 0xffff), v >> 16);
}

unsigned char* put_floats_le(unsigned char* out, const float* values, int count)
{
    for (int i = 0; i < count; i++) {
        uint32_t bits;
        memcpy(&bits, &values[i], sizeof bits);
        out = put_u32_le(out, bits);
    }
    return out;
}

// The bytes of one element of a piece: a vertex's attribute or an index.
unsigned char* put_element(const bin_piece& piece, size_t i, unsigned char* out)
{
    if (piece.kind == piece_kind::narrow_indices)
        return put_u16_le(out, (*piece.indices)[i]);
    if (piece.kind == piece_kind::wide_indices)
        return put_u32_le(out, (*piece.indices)[i]);
    const vertex_source& source = piece.vertices->source;
    uint32_t corner = piece.vertices->corners[i];
    if (piece.kind == piece_kind::positions) {
        const tri_vectors& t =
            source.skirt ? source.mesh->untex_positions[corner / 3] : source.mesh->tex_positions[corner / 3];
        corner_order order = source.skirt ? source.turn->skirt : textured_order(*source.turn, corner / 3);
        return put_floats_le(out, t.corner[order.corner[corner % 3]], 3);
    }
    if (piece.kind == piece_kind::uvs) {
        size_t t = corner / 3;
        int c = textured_order(*source.turn, t).corner[corner % 3];
        const float uv[2] = {float(source.mesh->tex_uvs[t].corner[c][0] / 256.0),
                             float(1.0 - source.mesh->tex_uvs[t].corner[c][1] / 1024.0)};
        return put_floats_le(out, uv, 2);
    }
    return put_floats_le(out, vertex_at(source, corner).normal, 3);
}

size_t element_count(const bin_piece& piece)
{
    if (piece.kind == piece_kind::bytes)
        return 0;
    return piece.vertices ? piece.vertices->corners.size() : piece.indices->size();
}

// The binary chunk's pieces, each after the zeros that bring it to its offset, through a buffer of
// 64 KiB.
int write_bin(const bin_layout& bin, byte_sink* out)
{
    std::vector<unsigned char> buffer(65536);
    size_t written = 0;
    const unsigned char zeros[4] = {0, 0, 0, 0};
    for (const bin_piece& piece : bin.pieces) {
        if (sink_write(out, zeros, piece.offset - written) != 0)
            return -1;
        if (piece.kind == piece_kind::bytes) {
            if (sink_write(out, piece.bytes->data(), piece.size) != 0)
                return -1;
        } else {
            unsigned char* end = buffer.data();
            for (size_t i = 0, n = element_count(piece); i < n; i++) {
                end = put_element(piece, i, end);
                if (size_t(end - buffer.data()) > buffer.size() - 16 || i + 1 == n) {
                    if (sink_write(out, buffer.data(), size_t(end - buffer.data())) != 0)
                        return -1;
                    end = buffer.data();
                }
            }
        }
        written = piece.offset + piece.size;
    }
    return sink_write(out, zeros, (4 - written % 4) % 4);
}

// The JSON chunk's text, as the library writes it for a model whose one buffer is the binary
// chunk of bin_size bytes: its own serialisation, called as its stream writer calls it.
std::string model_json(const tinygltf::Model& model, size_t bin_size)
{
    JsonDocument output;
    tinygltf::SerializeGltfModel(&model, output);
    json buffers, buffer;
    tinygltf::JsonReserveArray(buffers, 1);
    tinygltf::SerializeNumberProperty("byteLength", bin_size, buffer);
    tinygltf::JsonPushBack(buffers, std::move(buffer));
    tinygltf::JsonAddMember(output, "buffers", std::move(buffers));
    if (!model.images.empty()) {
        json images;
        tinygltf::JsonReserveArray(images, model.images.size());
        for (const tinygltf::Image& image : model.images) {
            json one;
            tinygltf::SerializeGltfImage(image, "", one);  // in the chunk: no URI
            tinygltf::JsonPushBack(images, std::move(one));
        }
        tinygltf::JsonAddMember(output, "images", std::move(images));
    }
    return tinygltf::JsonToString(output);
}

// The container: its header, the JSON chunk padded with spaces, the binary chunk.
int write_container(const std::string& text, const bin_layout& bin, byte_sink* out)
{
    size_t json_size = (text.size() + 3) / 4 * 4, bin_size = (bin.size + 3) / 4 * 4;
    unsigned char header[20], *p = header;
    memcpy(p, "glTF", 4);
    p = put_u32_le(p + 4, 2);
    p = put_u32_le(p, uint32_t(12 + 8 + json_size + (bin_size ? 8 + bin_size : 0)));
    p = put_u32_le(p, uint32_t(json_size));
    put_u32_le(p, 0x4E4F534A);  // "JSON"
    const char spaces[4] = {' ', ' ', ' ', ' '};
    if (sink_write(out, header, sizeof header) != 0 || sink_write(out, text.data(), text.size()) != 0 ||
        sink_write(out, spaces, json_size - text.size()) != 0)
        return -1;
    if (bin_size == 0)
        return 0;
    unsigned char chunk[8];
    put_u32_le(put_u32_le(chunk, uint32_t(bin_size)), 0x004E4942);  // "BIN"
    if (sink_write(out, chunk, sizeof chunk) != 0)
        return -1;
    return write_bin(bin, out);
}

}  // namespace

int encode_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, const std::string& pair_name, byte_sink* out,
               std::string* /* error: only the sink can fail, and its output keeps the reason */)
{
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = std::string("mapconv ") + MAPCONV_VERSION;
    model.scenes.resize(1);
    model.defaultScene = 0;
    face_orders turn = choose_face_orders(mesh);
    std::string name = importer_safe_name(utf8_name(pair_name));
    bin_layout bin;
    add_terrain(&model, &bin, mesh, turn, sheets, name);
    add_skirt(&model, &bin, mesh, turn, name);
    std::string text = model_json(model, (bin.size + 3) / 4 * 4);
    sink_reserve(out, 28 + text.size() + 3 + bin.size + 3);
    return write_container(text, bin, out);
}
