#include "gltf/encode_glb.h"

#include "mesh/face_order.h"
#include "mesh/model_names.h"
#include "prefetch.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

// Numbers are written as nlohmann's JSON writes them (shortest digits that read back, ".0" on
// whole numbers), the only part of that library used here: a tree of its values must not be
// built, since freeing one allocates, and a run short of memory would end there.
#include <nlohmann/json.hpp>

const bool glb_built_in = true;

namespace {

constexpr int array_buffer = 34962;          // vertex attributes
constexpr int element_array_buffer = 34963;  // indices
constexpr int nearest = 9728;
constexpr int repeat = 10497;
constexpr int component_float = 5126, component_u16 = 5123, component_u32 = 5125;
constexpr int mode_triangles = 4;

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

// A terrain corner's normal: its stored one at unit length, or its face's.
vec3 terrain_normal(const map_mesh& mesh, const face_orders& turn, uint32_t corner)
{
    size_t t = corner / 3;
    corner_order order = textured_order(turn, t);
    return unit_normal(mesh.tex_normals[t].corner[order.corner[corner % 3]], mesh.tex_positions[t], order);
}

vertex terrain_vertex(const map_mesh& mesh, const face_orders& turn, uint32_t corner)
{
    size_t t = corner / 3;
    int c = textured_order(turn, t).corner[corner % 3];
    vertex v;
    memcpy(v.position, mesh.tex_positions[t].corner[c], sizeof v.position);
    vec3 n = terrain_normal(mesh, turn, corner);
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

// A corner's position alone: what the bounds and the positions' piece need.
const float* vertex_position(const vertex_source& source, uint32_t corner)
{
    size_t t = corner / 3;
    const tri_vectors& position = source.skirt ? source.mesh->untex_positions[t] : source.mesh->tex_positions[t];
    corner_order order = source.skirt ? source.turn->skirt : textured_order(*source.turn, t);
    return position.corner[order.corner[corner % 3]];
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
    w->corners.reserve(count);  // as many as there are corners at most: no room left over from growing
    constexpr size_t ahead = 8;
    vertex pending[ahead];
    uint32_t hashes[ahead];
    auto prepare = [&](size_t corner) {
        // A skirt face's three corners share its flat normal: worked out once.
        if (w->source.skirt && corner % 3 != 0) {
            vertex& v = pending[corner % ahead];
            v = pending[(corner - 1) % ahead];
            memcpy(v.position, vertex_position(w->source, uint32_t(corner)), sizeof v.position);
        } else {
            pending[corner % ahead] = vertex_at(w->source, uint32_t(corner));
        }
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

// What the JSON chunk says, as plain records: the parts of glTF this file uses.
struct gltf_view {
    size_t offset, length;
    int target;  // 0: none (an image)
};

struct gltf_accessor {
    int view;
    int component_type;
    size_t count;
    const char* type;
    bool bounded;  // positions carry their least and greatest values
    double low[3], high[3];
};

struct gltf_primitive {
    int position, normal, texcoord;  // accessors; texcoord -1 where there is none
    int indices, material;
};

struct gltf_mesh {
    std::string name;
    std::vector<gltf_primitive> primitives;
};

struct gltf_material {
    std::string name;
    int texture;       // -1: the colour instead
    double colour[4];  // where there is no texture
    bool double_sided;
};

struct gltf_image {
    int view;
    std::string name;
};

struct gltf_node {
    int mesh;
    std::string name;
};

struct gltf_model {
    std::vector<gltf_view> views;
    std::vector<gltf_accessor> accessors;
    std::vector<gltf_mesh> meshes;
    std::vector<gltf_material> materials;
    std::vector<gltf_image> images;  // each the source of the texture of the same number
    std::vector<gltf_node> nodes;    // every node is in the scene
    bool sampler = false;            // one sampler, the nearest texel, for every texture
};

// A piece of the chunk as a view of its own.
int add_view(gltf_model* model, bin_layout* bin, bin_piece piece, int target)
{
    piece.offset = (bin->size + 3) / 4 * 4;
    bin->size = piece.offset + piece.size;
    bin->pieces.push_back(piece);
    model->views.push_back(gltf_view{piece.offset, piece.size, target});
    return int(model->views.size() - 1);
}

int add_accessor(gltf_model* model, int view, int component_type, size_t count, const char* type)
{
    model->accessors.push_back(gltf_accessor{view, component_type, count, type, false, {}, {}});
    return int(model->accessors.size() - 1);
}

// Positions, normals and (when with_uv) texture coordinates of the welded vertices, as accessors.
gltf_primitive add_attributes(gltf_model* model, bin_layout* bin, const welded* vertices, bool with_uv)
{
    size_t n = vertices->corners.size();
    gltf_accessor bounds = {};
    for (int k = 0; k < 3; k++) {
        bounds.low[k] = INFINITY;
        bounds.high[k] = -INFINITY;
    }
    for (uint32_t corner : vertices->corners) {
        const float* position = vertex_position(vertices->source, corner);
        for (int k = 0; k < 3; k++) {
            bounds.low[k] = std::min(bounds.low[k], double(position[k]));
            bounds.high[k] = std::max(bounds.high[k], double(position[k]));
        }
    }
    auto piece = [&](piece_kind kind, size_t size) { return bin_piece{kind, 0, size, vertices, nullptr, nullptr}; };
    gltf_primitive p = {-1, -1, -1, -1, -1};
    p.position = add_accessor(model, add_view(model, bin, piece(piece_kind::positions, n * 12), array_buffer),
                              component_float, n, "VEC3");
    gltf_accessor& position = model->accessors[size_t(p.position)];
    position.bounded = true;
    std::copy(bounds.low, bounds.low + 3, position.low);
    std::copy(bounds.high, bounds.high + 3, position.high);
    p.normal = add_accessor(model, add_view(model, bin, piece(piece_kind::normals, n * 12), array_buffer),
                            component_float, n, "VEC3");
    if (with_uv)
        p.texcoord = add_accessor(model, add_view(model, bin, piece(piece_kind::uvs, n * 8), array_buffer),
                                  component_float, n, "VEC2");
    return p;
}

// Indices as 16-bit values when every vertex fits, else 32-bit. 65535 may not be an index of
// 16 bits (glTF keeps it for primitive restart), so 65,536 vertices need 32.
int add_indices(gltf_model* model, bin_layout* bin, const std::vector<uint32_t>* indices, size_t vertex_count)
{
    bool narrow = vertex_count <= 65535;
    bin_piece piece = {narrow ? piece_kind::narrow_indices : piece_kind::wide_indices,
                       0,
                       indices->size() * (narrow ? 2 : 4),
                       nullptr,
                       indices,
                       nullptr};
    return add_accessor(model, add_view(model, bin, piece, element_array_buffer),
                        narrow ? component_u16 : component_u32, indices->size(), "SCALAR");
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

int add_material(gltf_model* model, const std::string& name, int texture)
{
    model->materials.push_back(gltf_material{name, texture, {1, 1, 1, 1}, false});
    return int(model->materials.size() - 1);
}

void add_node(gltf_model* model, const std::string& name, gltf_mesh mesh)
{
    model->meshes.push_back(std::move(mesh));
    model->nodes.push_back(gltf_node{int(model->meshes.size() - 1), name});
}

// Names inside the file begin with the pair's own name: engines that keep imported materials,
// images and meshes by name (in one folder for all files) must never mix two files' sheets.
void add_terrain(gltf_model* model, bin_layout* bin, const map_mesh* mesh, const face_orders& turn,
                 const std::vector<glb_sheet>& sheets, const std::string& pair_name)
{
    size_t count = mesh->tex_positions.size();
    if (count == 0)
        return;
    model->sampler = true;
    welded w;
    w.source = vertex_source{mesh, &turn, false};
    // Each face's sheet (its palette's, when there are several), and each sheet's corners counted
    // first, so that the indices take just their room.
    std::vector<uint8_t> group_of(count, 0);
    std::vector<size_t> corners_of(sheets.size(), 0);
    for (size_t t = 0; t < count; t++) {
        size_t group = 0;
        if (sheets.size() > 1)
            while (group + 1 < sheets.size() && sheets[group].palette != sheet_palette(mesh->tex_faces[t]))
                group++;
        group_of[t] = uint8_t(group);
        corners_of[group] += 3;
    }
    std::vector<std::vector<uint32_t>> indices(sheets.size());
    for (size_t g = 0; g < sheets.size(); g++)
        indices[g].reserve(corners_of[g]);
    weld(&w, count * 3, [&](size_t corner, uint32_t number) { indices[group_of[corner / 3]].push_back(number); });
    group_of = std::vector<uint8_t>();
    const welded* vertices = keep_vertices(bin, &w);
    gltf_primitive attributes = add_attributes(model, bin, vertices, true);
    gltf_mesh terrain;
    terrain.name = pair_name + "_" + terrain_name;
    for (size_t s = 0; s < sheets.size(); s++) {
        if (indices[s].empty())
            continue;
        std::string name = pair_name + "_" + palette_material_name(sheets[s].palette);
        bin_piece png = {piece_kind::bytes, 0, sheets[s].png->size(), nullptr, nullptr, sheets[s].png};
        model->images.push_back(gltf_image{add_view(model, bin, png, 0), name});  // no target: not vertex data
        gltf_primitive primitive = attributes;
        primitive.indices = add_indices(model, bin, keep_indices(bin, &indices[s]), vertices->corners.size());
        primitive.material = add_material(model, name, int(model->images.size() - 1));
        terrain.primitives.push_back(primitive);
    }
    add_node(model, terrain_name, std::move(terrain));
}

void add_skirt(gltf_model* model, bin_layout* bin, const map_mesh* mesh, const face_orders& turn,
               const std::string& pair_name)
{
    if (mesh->untex_positions.empty())
        return;
    welded w;
    w.source = vertex_source{mesh, &turn, true};
    std::vector<uint32_t> indices;
    indices.reserve(mesh->untex_positions.size() * 3);
    weld(&w, mesh->untex_positions.size() * 3, [&](size_t, uint32_t number) { indices.push_back(number); });
    const welded* vertices = keep_vertices(bin, &w);
    gltf_primitive primitive = add_attributes(model, bin, vertices, false);
    primitive.indices = add_indices(model, bin, keep_indices(bin, &indices), vertices->corners.size());
    primitive.material = add_material(model, pair_name + "_" + skirt_name, -1);
    gltf_material& material = model->materials[size_t(primitive.material)];
    const double stone[4] = {0.35, 0.3, 0.25, 1.0};
    std::copy(stone, stone + 4, material.colour);
    // Untextured triangles carry no normals to tell their outside by, and form outer walls and pits
    // whose outsides face opposite ways: the skirt is seen from both sides, lit by its normal on
    // the front and by the reversed one on the back, as glTF draws a double-sided material.
    material.double_sided = true;
    gltf_mesh skirt;
    skirt.name = pair_name + "_" + skirt_name;
    skirt.primitives.push_back(primitive);
    add_node(model, skirt_name, std::move(skirt));
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

// The last skirt face whose normal was worked out: its corners come one after another in the
// normals' piece, and share it.
struct skirt_normal {
    size_t face = SIZE_MAX;
    vec3 normal = {0, 0, 0};
};

// A vertex's normal alone, as vertex_at gives it.
vec3 vertex_normal(const vertex_source& source, uint32_t corner, skirt_normal* last)
{
    size_t t = corner / 3;
    if (source.skirt) {
        if (last->face != t) {
            last->face = t;
            last->normal = face_normal(source.mesh->untex_positions[t], source.turn->skirt);
        }
        return last->normal;
    }
    return terrain_normal(*source.mesh, *source.turn, corner);
}

// The bytes of one element of a piece: a vertex's attribute or an index.
unsigned char* put_element(const bin_piece& piece, size_t i, unsigned char* out, skirt_normal* last)
{
    if (piece.kind == piece_kind::narrow_indices)
        return put_u16_le(out, (*piece.indices)[i]);
    if (piece.kind == piece_kind::wide_indices)
        return put_u32_le(out, (*piece.indices)[i]);
    const vertex_source& source = piece.vertices->source;
    uint32_t corner = piece.vertices->corners[i];
    if (piece.kind == piece_kind::positions)
        return put_floats_le(out, vertex_position(source, corner), 3);
    if (piece.kind == piece_kind::uvs) {
        size_t t = corner / 3;
        int c = textured_order(*source.turn, t).corner[corner % 3];
        const float uv[2] = {float(source.mesh->tex_uvs[t].corner[c][0] / 256.0),
                             float(1.0 - source.mesh->tex_uvs[t].corner[c][1] / 1024.0)};
        return put_floats_le(out, uv, 2);
    }
    vec3 n = vertex_normal(source, corner, last);
    const float normal[3] = {n.x, n.y, n.z};
    return put_floats_le(out, normal, 3);
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
            skirt_normal last;
            for (size_t i = 0, n = element_count(piece); i < n; i++) {
                end = put_element(piece, i, end, &last);
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

// The JSON chunk's text, compact, every object's keys in byte order, and what glTF takes as a
// default left out: as JSON libraries write a document of these values.
struct json_text {
    std::string text;
    void raw(const char* s) { text += s; }
    void number(size_t n) { text += std::to_string(n); }
    void number(int n) { text += std::to_string(n); }
    void number(double x)
    {
        char digits[64];
        char* end = nlohmann::detail::to_chars(digits, digits + sizeof digits, x);
        text.append(digits, size_t(end - digits));
    }
    // A name, valid UTF-8 already: quotes, backslashes and control characters escaped.
    void string(const std::string& s)
    {
        text += '"';
        for (unsigned char c : s) {
            const char* escape = c == '"'    ? "\\\""
                                 : c == '\\' ? "\\\\"
                                 : c == '\b' ? "\\b"
                                 : c == '\f' ? "\\f"
                                 : c == '\n' ? "\\n"
                                 : c == '\r' ? "\\r"
                                 : c == '\t' ? "\\t"
                                             : nullptr;
            if (escape) {
                text += escape;
            } else if (c < 0x20) {
                char code[8];
                snprintf(code, sizeof code, "\\u%04x", unsigned(c));
                text += code;
            } else {
                text += char(c);
            }
        }
        text += '"';
    }
    bool fresh = true;  // nothing yet in the object or array just opened
    void open(char bracket)
    {
        text += bracket;
        fresh = true;
    }
    void close(char bracket)
    {
        text += bracket;
        fresh = false;
    }
    void key(const char* name)
    {
        if (!fresh)
            text += ',';
        fresh = false;
        text += '"';
        text += name;
        text += "\":";
    }
    template <typename item, typename write_fn>
    void array(const char* name, const std::vector<item>& items, write_fn write)
    {
        if (items.empty())
            return;
        key(name);
        open('[');
        for (size_t i = 0; i < items.size(); i++) {
            if (i > 0)
                text += ',';
            write(items[i], i);
        }
        close(']');
    }
    void numbers(const double* values, int count)
    {
        open('[');
        for (int i = 0; i < count; i++) {
            if (i > 0)
                text += ',';
            number(values[i]);
        }
        close(']');
    }
    template <typename value>
    void member(const char* name, const value& v)
    {
        key(name);
        number(v);
    }
    void member(const char* name, const std::string& v)
    {
        key(name);
        string(v);
    }
    void member(const char* name, const char* v)
    {
        key(name);
        string(v);
    }
};

void write_accessor(json_text* j, const gltf_accessor& a)
{
    j->open('{');
    j->member("bufferView", a.view);
    j->member("componentType", a.component_type);
    j->member("count", a.count);
    if (a.bounded) {
        j->key("max");
        j->numbers(a.high, 3);
        j->key("min");
        j->numbers(a.low, 3);
    }
    j->member("type", a.type);
    j->close('}');
}

void write_view(json_text* j, const gltf_view& v)
{
    j->open('{');
    j->member("buffer", 0);
    j->member("byteLength", v.length);
    if (v.offset != 0)
        j->member("byteOffset", v.offset);
    if (v.target != 0)
        j->member("target", v.target);
    j->close('}');
}

void write_material(json_text* j, const gltf_material& m)
{
    j->open('{');
    if (m.double_sided) {
        j->key("doubleSided");
        j->raw("true");
    }
    j->member("name", m.name);
    j->key("pbrMetallicRoughness");
    j->open('{');
    if (m.texture >= 0) {
        j->key("baseColorTexture");
        j->open('{');
        j->member("index", m.texture);
        j->close('}');
    } else {
        j->key("baseColorFactor");
        j->numbers(m.colour, 4);
    }
    j->member("metallicFactor", 0.0);
    j->close('}');
    j->close('}');
}

void write_mesh(json_text* j, const gltf_mesh& mesh)
{
    j->open('{');
    j->member("name", mesh.name);
    j->array("primitives", mesh.primitives, [&](const gltf_primitive& p, size_t) {
        j->open('{');
        j->key("attributes");
        j->open('{');
        j->member("NORMAL", p.normal);
        j->member("POSITION", p.position);
        if (p.texcoord >= 0)
            j->member("TEXCOORD_0", p.texcoord);
        j->close('}');
        j->member("indices", p.indices);
        j->member("material", p.material);
        j->member("mode", mode_triangles);
        j->close('}');
    });
    j->close('}');
}

std::string model_json(const gltf_model& model, size_t bin_size)
{
    json_text j;
    j.open('{');
    j.array("accessors", model.accessors, [&](const gltf_accessor& a, size_t) { write_accessor(&j, a); });
    j.key("asset");
    j.open('{');
    j.member("generator", std::string("mapconv ") + MAPCONV_VERSION);
    j.member("version", "2.0");
    j.close('}');
    j.array("bufferViews", model.views, [&](const gltf_view& v, size_t) { write_view(&j, v); });
    j.key("buffers");
    j.open('[');
    j.open('{');
    j.member("byteLength", bin_size);
    j.close('}');
    j.close(']');
    j.array("images", model.images, [&](const gltf_image& image, size_t) {
        j.open('{');
        j.member("bufferView", image.view);
        j.member("mimeType", "image/png");
        j.member("name", image.name);
        j.close('}');
    });
    j.array("materials", model.materials, [&](const gltf_material& m, size_t) { write_material(&j, m); });
    j.array("meshes", model.meshes, [&](const gltf_mesh& mesh, size_t) { write_mesh(&j, mesh); });
    j.array("nodes", model.nodes, [&](const gltf_node& node, size_t) {
        j.open('{');
        j.member("mesh", node.mesh);
        j.member("name", node.name);
        j.close('}');
    });
    if (model.sampler) {
        j.key("samplers");
        j.open('[');
        j.open('{');
        j.member("magFilter", nearest);
        j.member("minFilter", nearest);
        j.member("wrapS", repeat);
        j.member("wrapT", repeat);
        j.close('}');
        j.close(']');
    }
    j.member("scene", 0);
    j.key("scenes");
    j.open('[');
    j.open('{');
    j.array("nodes", model.nodes, [&](const gltf_node&, size_t i) { j.number(i); });
    j.close('}');
    j.close(']');
    j.array("textures", model.images, [&](const gltf_image&, size_t i) {
        j.open('{');
        j.member("sampler", 0);
        j.member("source", i);
        j.close('}');
    });
    j.close('}');
    return j.text;
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

// What a planned .glb holds until it is written: the binary chunk's pieces point into the turns
// and the welded vertices.
struct glb_layout {
    face_orders turn;
    gltf_model model;
    bin_layout bin;
};

glb_plan::glb_plan() = default;
glb_plan::~glb_plan() = default;

void plan_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, const std::string& pair_name, glb_plan* plan)
{
    auto layout = std::make_unique<glb_layout>();
    layout->turn = choose_face_orders(mesh);
    std::string name = importer_safe_name(utf8_name(pair_name));
    add_terrain(&layout->model, &layout->bin, mesh, layout->turn, sheets, name);
    add_skirt(&layout->model, &layout->bin, mesh, layout->turn, name);
    plan->layout = std::move(layout);
}

int write_planned_glb(const glb_plan& plan, byte_sink* out)
{
    const glb_layout& layout = *plan.layout;
    std::string text = model_json(layout.model, (layout.bin.size + 3) / 4 * 4);
    sink_reserve(out, 28 + text.size() + 3 + layout.bin.size + 3);
    return write_container(text, layout.bin, out);
}

int encode_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, const std::string& pair_name, byte_sink* out,
               std::string* /* error: only the sink can fail, and its output keeps the reason */)
{
    glb_plan plan;
    plan_glb(mesh, sheets, pair_name, &plan);
    return write_planned_glb(plan, out);
}
