#include "gltf/read_glb.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "files.h"
#include "mesh/map_mesh.h"
#include "mesh/model_names.h"

namespace {

using json = nlohmann::json;

// No glTF file nests its JSON deeper than this: the deepest a writer goes is extras inside a node.
constexpr int deepest_json = 64;

// glTF's numbers for component types and modes.
constexpr long long unsigned_byte = 5121, unsigned_short = 5123, unsigned_int = 5125, float_type = 5126;
constexpr long long triangles_mode = 4;

uint32_t u32_at(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The container: a 12-byte header ("glTF", version 2, the length), then chunks of a length, a type
// and their bytes: the JSON first, then the binary one, if any (what follows is not glTF's).
struct glb_chunks {
    std::string json_text;
    bool has_bin = false;
    uint64_t bin_at = 0;  // where the binary chunk's bytes begin in the file
    size_t bin_size = 0;
};

int read_chunks(const byte_source* source, glb_chunks* chunks, std::string* error)
{
    long long size = source_size(source);
    if (size < 0)
        return *error = "its size cannot be told", -1;
    uint8_t header[12];
    if (size >= 20 && !read_exactly(source, 0, header, sizeof header, error))
        return -1;
    if (size < 20 || memcmp(header, "glTF", 4) != 0 || u32_at(header + 4) != 2)
        return *error = "not a glTF binary of version 2", -1;
    if (u32_at(header + 8) != uint64_t(size))
        return *error = "a glTF binary whose header says " + std::to_string(u32_at(header + 8)) + " bytes, found " +
                        std::to_string(size) + " (a copy cut short?)",
               -1;
    uint64_t at = 12;
    for (int chunk = 0; chunk < 2 && at < uint64_t(size); chunk++) {
        uint8_t head[8];
        if (uint64_t(size) - at >= 8 && !read_exactly(source, at, head, sizeof head, error))
            return -1;
        if (uint64_t(size) - at < 8 || u32_at(head) > uint64_t(size) - at - 8)
            return *error = "a glTF binary whose chunk " + std::to_string(chunk + 1) + " passes its end", -1;
        size_t length = u32_at(head);
        uint32_t type = u32_at(head + 4);
        if (chunk == 0 && type != 0x4E4F534A)
            return *error = "a glTF binary whose first chunk is not its JSON", -1;
        if (chunk == 0) {
            chunks->json_text.resize(length);
            if (!read_exactly(source, at + 8, &chunks->json_text[0], length, error))
                return -1;
        } else if (type == 0x004E4942) {
            chunks->has_bin = true;
            chunks->bin_at = at + 8;
            chunks->bin_size = length;
        }
        at += 8 + length;
    }
    return 0;
}

// How deep the text's arrays and objects nest, counted outside strings before anything parses it.
int nesting_depth(const uint8_t* text, size_t size)
{
    int depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < size; i++) {
        uint8_t c = text[i];
        if (in_string) {
            if (c == '\\')
                i++;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            depth--;
        }
    }
    return deepest;
}

struct glb_reading {
    const json* doc;
    const byte_source* source;
    glb_chunks chunks;
    edited_model* model;
    std::string error;
};

// The member key of object as a whole number from least to most, or fallback where it is absent.
// False, after a message, where it is of another type or out of range.
bool whole_number(glb_reading* r, const json& object, const char* key, long long least, long long most,
                  long long fallback, long long* out, const std::string& where)
{
    auto found = object.find(key);
    if (found == object.end()) {
        *out = fallback;
        return true;
    }
    if (!found->is_number_integer() || found->get<long long>() < least || found->get<long long>() > most) {
        r->error =
            where + ": " + key + " is not a whole number from " + std::to_string(least) + " to " + std::to_string(most);
        return false;
    }
    *out = found->get<long long>();
    return true;
}

// Element index of the document's array name, as an object. Null, after a message, where it has none.
const json* element(glb_reading* r, const char* name, long long index, const std::string& where)
{
    const json& doc = *r->doc;
    auto list = doc.find(name);
    if (list == doc.end() || !list->is_array() || index < 0 || size_t(index) >= list->size() ||
        !(*list)[size_t(index)].is_object()) {
        r->error = where + " names " + std::string(name).substr(0, std::strlen(name) - 1) + " " +
                   std::to_string(index) + ", which the file does not have";
        return nullptr;
    }
    return &(*list)[size_t(index)];
}

std::string name_of(const json& object)
{
    auto found = object.find("name");
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// An accessor's elements, checked to lie within the binary chunk.
struct accessor_view {
    size_t first;   // where element 0 begins in the binary chunk
    size_t length;  // from there to the end of the last element
    size_t stride;
    size_t count;
    long long component_type;
    bool normalized;
};

size_t component_size(long long type)
{
    return type == unsigned_byte ? 1 : type == unsigned_short ? 2 : type == unsigned_int || type == float_type ? 4 : 0;
}

// The elements of accessor index, of type ("VEC3", "VEC2", "SCALAR") with components numbers each.
// False, after a message, where the file does not hold them.
bool accessor_of(glb_reading* r, long long index, const char* type, int components, const std::string& where,
                 accessor_view* view)
{
    std::string what = where + ", accessor " + std::to_string(index);
    const json* a = element(r, "accessors", index, where);
    if (!a)
        return false;
    long long view_index, offset, component_type, count;
    if (!whole_number(r, *a, "bufferView", 0, 1ll << 31, -1, &view_index, what) ||
        !whole_number(r, *a, "byteOffset", 0, 1ll << 32, 0, &offset, what) ||
        !whole_number(r, *a, "componentType", 0, 1ll << 31, 0, &component_type, what) ||
        !whole_number(r, *a, "count", 1, 1ll << 32, 0, &count, what))
        return false;
    if (count == 0)
        return r->error = what + ": no count", false;
    auto t = a->find("type");
    size_t size = component_size(component_type);
    if (t == a->end() || !t->is_string() || *t != type || size == 0)
        return r->error = what + ": expected a " + type + " of numbers mapconv reads", false;
    if (a->contains("sparse") || view_index < 0)
        return r->error = what + ": expected a plain buffer view, found a sparse accessor or none", false;
    const json* v = element(r, "bufferViews", view_index, what);
    long long buffer, view_offset, view_length, stride;
    if (!v || !whole_number(r, *v, "buffer", 0, 1ll << 31, 0, &buffer, what) ||
        !whole_number(r, *v, "byteOffset", 0, 1ll << 32, 0, &view_offset, what) ||
        !whole_number(r, *v, "byteLength", 1, 1ll << 32, 0, &view_length, what) ||
        !whole_number(r, *v, "byteStride", 4, 252, 0, &stride, what))
        return false;
    const json* b = element(r, "buffers", buffer, what);
    if (!b)
        return false;
    if (buffer != 0 || b->contains("uri") || !r->chunks.has_bin)
        return r->error = what + ": expected its numbers in the file's own binary chunk, found another buffer", false;
    size_t element_size = size * size_t(components);
    size_t step = stride ? size_t(stride) : element_size;
    // Every number here is below 2^32 and step below 256, so the sums cannot overflow 64 bits.
    uint64_t end = uint64_t(offset) + uint64_t(step) * uint64_t(count - 1) + element_size;
    if (step < element_size || uint64_t(view_offset) + uint64_t(view_length) > r->chunks.bin_size ||
        end > uint64_t(view_length))
        return r->error = what + ": reaches past its buffer view or the binary chunk", false;
    bool normalized = a->contains("normalized") && (*a)["normalized"].is_boolean() && (*a)["normalized"].get<bool>();
    *view = accessor_view{
        size_t(view_offset + offset), size_t(end - uint64_t(offset)), step, size_t(count), component_type, normalized};
    return true;
}

// An accessor's elements as an array of the model: where they lie in the binary chunk, and their
// numbers.
number_array array_of(const accessor_view& view, const edited_model& model)
{
    number_array a;
    a.bytes = model.glb_binary.get();
    a.first = view.first;
    a.stride = view.stride;
    a.count = view.count;
    a.type = view.component_type == float_type      ? numbers_float
             : view.component_type == unsigned_byte ? (view.normalized ? numbers_u8_normalized : numbers_u8)
                                                    : (view.normalized ? numbers_u16_normalized : numbers_u16);
    return a;
}

// A node's own placement, column-major: its matrix, or translation x rotation x scale.
bool local_place(glb_reading* r, const json& node, double out[16], const std::string& where)
{
    static const double identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    memcpy(out, identity, sizeof identity);
    auto numbers = [&](const char* key, size_t n, double* to) {
        auto found = node.find(key);
        if (found == node.end())
            return true;
        if (!found->is_array() || found->size() != n)
            return false;
        for (size_t i = 0; i < n; i++) {
            if (!(*found)[i].is_number() || !std::isfinite((*found)[i].get<double>()))
                return false;
            to[i] = (*found)[i].get<double>();
        }
        return true;
    };
    double t[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
    if (!numbers("matrix", 16, out) || !numbers("translation", 3, t) || !numbers("rotation", 4, q) ||
        !numbers("scale", 3, s))
        return r->error = where + ": a matrix, translation, rotation or scale that is not numbers", false;
    if (node.contains("matrix"))
        return true;
    double x = q[0], y = q[1], z = q[2], w = q[3];
    double rotation[9] = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),
                          2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),
                          2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y)};
    for (int col = 0; col < 3; col++)
        for (int row = 0; row < 3; row++)
            out[col * 4 + row] = rotation[col * 3 + row] * s[col];
    out[12] = t[0];
    out[13] = t[1];
    out[14] = t[2];
    return true;
}

void multiply(const double a[16], const double b[16], double out[16])
{
    double r[16];
    for (int col = 0; col < 4; col++)
        for (int row = 0; row < 4; row++) {
            double sum = 0;
            for (int k = 0; k < 4; k++)
                sum += a[k * 4 + row] * b[col * 4 + k];
            r[col * 4 + row] = sum;
        }
    memcpy(out, r, sizeof r);
}

// A node that holds a mesh of the terrain or the skirt, and where it places it.
struct mesh_node {
    bool terrain;
    long long mesh;
    double place[16];
};

// Which of the terrain and the skirt a node is: its own name says, or else the node above it.
enum node_kind { kind_none, kind_terrain, kind_skirt };

node_kind kind_named(const std::string& name, node_kind above)
{
    return names_terrain(name) ? kind_terrain : names_skirt(name) ? kind_skirt : above;
}

}  // namespace

namespace {

// Refuses what a file holds in a form mapconv cannot read back exactly: integers in place of its
// numbers, or compressed arrays. Returns false after a message.
bool extensions_readable(glb_reading* r)
{
    for (const char* list : {"extensionsRequired", "extensionsUsed"}) {
        auto names = r->doc->find(list);
        if (names == r->doc->end() || !names->is_array())
            continue;
        for (const json& name : *names) {
            if (name == "KHR_mesh_quantization")
                return r->error = "quantized (KHR_mesh_quantization): its positions, normals or texture coordinates "
                                  "are stored as integers, which cannot give the map's numbers back; export it "
                                  "again without quantization (gltf-transform: no quantize step)",
                       false;
            if (name == "KHR_draco_mesh_compression" || name == "EXT_meshopt_compression")
                return r->error = "compressed (" + name.get<std::string>() +
                                  "): export it again without compression (gltf-transform: optimize --compress "
                                  "false; Blender: glTF export with Compression off)",
                       false;
        }
    }
    return true;
}

// How many nodes list each node as a child. A node listed twice, by one node or by two, is
// refused: each node is reached once. Returns false after a message.
bool count_parents(glb_reading* r, const json& nodes, std::vector<int>* parents)
{
    parents->assign(nodes.size(), 0);
    for (size_t n = 0; n < nodes.size(); n++) {
        auto children = nodes[n].is_object() ? nodes[n].find("children") : nodes[n].end();
        if (!nodes[n].is_object() || (children != nodes[n].end() && !children->is_array()))
            return r->error = "node " + std::to_string(n) + " is not a node", false;
        if (children == nodes[n].end())
            continue;
        for (const json& c : *children) {
            if (!c.is_number_integer() || c.get<long long>() < 0 || c.get<long long>() >= (long long)nodes.size())
                return r->error = "node " + std::to_string(n) + " lists a child the file does not have", false;
            if (++(*parents)[c.get<size_t>()] > 1)
                return r->error = "node " + std::to_string(c.get<long long>()) + " has two parents", false;
        }
    }
    return true;
}

// The nodes the scene starts from: the default scene's (or the first's); where the file has no
// scene, every node that no node lists as a child. Returns false after a message.
bool scene_roots(glb_reading* r, const json& nodes, const std::vector<int>& parents, std::vector<size_t>* roots)
{
    const json& doc = *r->doc;
    auto scenes = doc.find("scenes");
    if (scenes == doc.end() || !scenes->is_array() || scenes->empty()) {
        for (size_t n = 0; n < nodes.size(); n++)
            if (parents[n] == 0)
                roots->push_back(n);
        return true;
    }
    long long scene;
    if (!whole_number(r, doc, "scene", 0, (long long)scenes->size() - 1, 0, &scene, "the file"))
        return false;
    const json& chosen = (*scenes)[size_t(scene)];
    auto listed = chosen.is_object() ? chosen.find("nodes") : chosen.end();
    if (!chosen.is_object() || listed == chosen.end())
        return true;
    for (const json& n : listed->is_array() ? *listed : json::array()) {
        if (!n.is_number_integer() || n.get<long long>() < 0 || n.get<long long>() >= (long long)nodes.size())
            return r->error = "scene " + std::to_string(scene) + " lists a node the file does not have", false;
        roots->push_back(n.get<size_t>());
    }
    return true;
}

// The nodes whose meshes are the terrain's and the skirt's, in the order the scene lists them,
// each with where the nodes above it place it. Each node is reached once: a cycle has no way in,
// and a root that a node lists too is refused. Returns false after a message.
bool find_mesh_nodes(glb_reading* r, std::vector<mesh_node>* found)
{
    auto nodes_at = r->doc->find("nodes");
    const json nothing = json::array();
    const json& nodes = nodes_at != r->doc->end() && nodes_at->is_array() ? *nodes_at : nothing;
    std::vector<int> parents;
    std::vector<size_t> roots;
    if (!count_parents(r, nodes, &parents) || !scene_roots(r, nodes, parents, &roots))
        return false;
    struct step {
        size_t node;
        node_kind kind;
        double place[16];
    };
    std::vector<step> stack;
    for (size_t i = roots.size(); i-- > 0;)
        stack.push_back(step{roots[i], kind_none, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}});
    std::vector<char> visited(nodes.size(), 0);
    while (!stack.empty()) {
        step s = stack.back();
        stack.pop_back();
        const json& node = nodes[s.node];
        std::string name = name_of(node);
        std::string where = "node " + std::to_string(s.node) + (name.empty() ? "" : " \"" + name + "\"");
        if (visited[s.node]++)
            return r->error = where + " is reached twice: the scene lists it and a node does", false;
        double local[16], place[16];
        if (!local_place(r, node, local, where))
            return false;
        multiply(s.place, local, place);
        node_kind kind = kind_named(name, s.kind);
        if (node.contains("mesh")) {
            long long mesh;
            if (!whole_number(r, node, "mesh", 0, 1ll << 31, 0, &mesh, where))
                return false;
            if (kind == kind_none)
                return r->error = where + ": expected only the nodes terrain and skirt, and the nodes inside them, " +
                                  "to hold meshes",
                       false;
            found->push_back(mesh_node{kind == kind_terrain, mesh, {}});
            memcpy(found->back().place, place, sizeof place);
        }
        auto children = node.find("children");
        for (size_t i = children != node.end() ? children->size() : 0; i-- > 0;) {
            stack.push_back(step{(*children)[i].get<size_t>(), kind, {}});
            memcpy(stack.back().place, place, sizeof place);
        }
    }
    return true;
}

// A primitive to read: its node's placement, and the palette its material names.
struct primitive_ref {
    const json* primitive;
    const double* place;
    int palette;
    std::string what;  // "terrain primitive 2", for messages
};

// The terrain's or the skirt's primitives, in the order mapconv wrote them: the terrain's, when it
// has several, palette by palette (each named by its material), else as the file lists them.
bool primitives_of(glb_reading* r, const std::vector<mesh_node>& nodes, bool terrain, std::vector<primitive_ref>* out)
{
    const char* object = terrain ? "terrain" : "skirt";
    for (const mesh_node& node : nodes) {
        if (node.terrain != terrain)
            continue;
        const json* mesh = element(r, "meshes", node.mesh, std::string(object) + " node");
        if (!mesh)
            return false;
        auto primitives = mesh->find("primitives");
        if (primitives == mesh->end() || !primitives->is_array())
            return r->error = std::string(object) + " mesh " + std::to_string(node.mesh) + " has no primitives", false;
        for (const json& p : *primitives) {
            if (!p.is_object())
                return r->error = std::string(object) + " mesh " + std::to_string(node.mesh) + ": a primitive that " +
                                  "is not one",
                       false;
            out->push_back(primitive_ref{&p, node.place, -1,
                                         std::string(object) + " primitive " + std::to_string(out->size() + 1)});
        }
    }
    if (!terrain || out->size() < 2)
        return true;
    for (primitive_ref& p : *out) {
        long long material;
        if (!whole_number(r, *p.primitive, "material", 0, 1ll << 31, -1, &material, p.what))
            return false;
        const json* m = material >= 0 ? element(r, "materials", material, p.what) : nullptr;
        if (material >= 0 && !m)
            return false;
        std::string name = m ? name_of(*m) : "";
        if ((p.palette = names_palette(name)) < 0)
            return r->error = p.what + ": expected a material named ..._palette_P (P 0 to 15), found " +
                              (name.empty() ? "none" : "\"" + name + "\""),
                   false;
    }
    std::stable_sort(out->begin(), out->end(),
                     [](const primitive_ref& a, const primitive_ref& b) { return a.palette < b.palette; });
    // A tool that merges materials that look alike (gltf-transform dedup, where two palettes hold
    // the same colours) leaves two primitives naming one palette: then no material tells a face's
    // palette, the faces keep the mesh's, and their order tells which triangle each is.
    for (size_t i = 1; i < out->size(); i++)
        if ((*out)[i].palette == (*out)[i - 1].palette) {
            for (primitive_ref& p : *out)
                p.palette = -1;
            return true;
        }
    r->model->grouping = grouped_by_palette;
    return true;
}

bool is_identity(const double m[16])
{
    for (int i = 0; i < 16; i++)
        if (m[i] != (i % 5 == 0 ? 1 : 0))
            return false;
    return true;
}

// The primitive's arrays as a part of the model. Returns false after a message.
bool part_of(glb_reading* r, const primitive_ref& ref, bool terrain, model_part* part, accessor_view* positions)
{
    const json& p = *ref.primitive;
    long long mode;
    if (!whole_number(r, p, "mode", 0, 6, triangles_mode, &mode, ref.what))
        return false;
    if (mode != triangles_mode)
        return r->error = ref.what + ": expected triangles, found primitive mode " + std::to_string(mode), false;
    auto attributes = p.find("attributes");
    if (attributes == p.end() || !attributes->is_object())
        return r->error = ref.what + ": no attributes", false;
    auto attribute = [&](const char* name, long long* index) {
        return whole_number(r, *attributes, name, 0, 1ll << 31, -1, index, ref.what);
    };
    long long position, normal, uv;
    if (!attribute("POSITION", &position) || !attribute("NORMAL", &normal) || !attribute("TEXCOORD_0", &uv))
        return false;
    if (position < 0)
        return r->error = ref.what + ": no positions", false;
    if (terrain && uv < 0)
        return r->error = ref.what + ": expected texture coordinates, found none", false;
    accessor_view normals = {}, uvs = {};
    if (!accessor_of(r, position, "VEC3", 3, ref.what + " positions", positions) ||
        (normal >= 0 && !accessor_of(r, normal, "VEC3", 3, ref.what + " normals", &normals)) ||
        (uv >= 0 && !accessor_of(r, uv, "VEC2", 2, ref.what + " texture coordinates", &uvs)))
        return false;
    if (positions->component_type != float_type || (normal >= 0 && normals.component_type != float_type) ||
        (uv >= 0 && uvs.component_type != float_type && !uvs.normalized))
        return r->error = ref.what + ": expected its positions and normals as floats, and its texture coordinates " +
                          "as floats or fractions",
               false;
    if ((normal >= 0 && normals.count != positions->count) || (uv >= 0 && uvs.count != positions->count))
        return r->error = ref.what + ": its attributes differ in length", false;
    // The skirt's records hold positions only: its normals and texture coordinates are not read.
    part->positions = array_of(*positions, *r->model);
    part->normals = terrain && normal >= 0 ? array_of(normals, *r->model) : number_array();
    part->uvs = terrain ? array_of(uvs, *r->model) : number_array();
    part->uv_from_top = true;
    part->placed = !is_identity(ref.place);
    memcpy(part->place, ref.place, sizeof part->place);
    return true;
}

// Reads one primitive's triangles into the model. Returns false after a message.
bool read_primitive(glb_reading* r, const primitive_ref& ref, bool terrain)
{
    edited_model* model = r->model;
    if (model->parts.size() == 65535)
        return r->error = ref.what + ": more primitives than mapconv reads (65,535)", false;
    model_part part;
    accessor_view positions, indices = {};
    if (!part_of(r, ref, terrain, &part, &positions))
        return false;
    long long index_accessor;
    if (!whole_number(r, *ref.primitive, "indices", 0, 1ll << 31, -1, &index_accessor, ref.what))
        return false;
    if (index_accessor >= 0 && (!accessor_of(r, index_accessor, "SCALAR", 1, ref.what + " indices", &indices) ||
                                indices.component_type == float_type || indices.normalized))
        return r->error.empty() ? (r->error = ref.what + ": indices that are not whole numbers", false) : false;
    size_t corners = index_accessor >= 0 ? indices.count : positions.count;
    std::vector<edited_face>* faces = terrain ? &model->terrain : &model->skirt;
    if (corners % 3 != 0)
        return r->error = ref.what + ": expected whole triangles, found " + std::to_string(corners) + " corners", false;
    if (faces->size() + corners / 3 > most_list_triangles)
        return r->error =
                   ref.what + ": more triangles than a map mesh holds (" + std::to_string(most_list_triangles) + ")",
               false;
    model->parts.push_back(part);
    edited_face f;
    f.part = uint16_t(model->parts.size() - 1);
    f.palette = int8_t(ref.palette);
    f.has_normal = part.normals.count > 0;
    f.has_uv = part.uvs.count > 0;
    size_t size = component_size(indices.component_type);
    std::vector<uint8_t> index_bytes(index_accessor >= 0 ? indices.length : 0);
    if (index_accessor >= 0 &&
        !read_exactly(r->source, r->chunks.bin_at + indices.first, index_bytes.data(), index_bytes.size(), &r->error))
        return false;
    for (size_t i = 0; i < corners; i += 3) {
        for (int c = 0; c < 3; c++) {
            size_t vertex = i + size_t(c);
            if (index_accessor >= 0) {
                const uint8_t* p = index_bytes.data() + vertex * indices.stride;
                vertex = size == 1 ? p[0] : size == 2 ? size_t(p[0] | p[1] << 8) : size_t(u32_at(p));
                if (vertex >= positions.count)
                    return r->error = ref.what + ": index " + std::to_string(vertex) + " names no vertex", false;
            }
            f.position[c] = uint32_t(vertex);  // the normal's and uv's element too
        }
        faces->push_back(f);
    }
    return true;
}

// How many triangles the primitives hold, as their accessors' counts say (checked as each is read):
// the faces are held in one allocation, as growing it primitive by primitive would leave the
// earlier allocations' memory behind.
size_t listed_triangles(glb_reading* r, const std::vector<primitive_ref>& primitives)
{
    // The member key of object, or null.
    auto member = [](const json& object, const char* key) -> const json* {
        auto found = object.is_object() ? object.find(key) : object.end();
        return found != object.end() ? &*found : nullptr;
    };
    const size_t most = most_list_triangles;
    const json* accessors = member(*r->doc, "accessors");
    size_t corners = 0;
    for (const primitive_ref& p : primitives) {
        const json* attributes = member(*p.primitive, "attributes");
        const json* index = member(*p.primitive, "indices");
        if (!index && attributes)
            index = member(*attributes, "POSITION");
        if (!accessors || !accessors->is_array() || !index || !index->is_number_unsigned() ||
            index->get<size_t>() >= accessors->size())
            continue;
        const json* count = member((*accessors)[index->get<size_t>()], "count");
        if (count && count->is_number_unsigned())
            corners += std::min(count->get<size_t>(), 3 * most);
    }
    return std::min(corners / 3, most);
}

}  // namespace

int read_glb_model(const byte_source* source, edited_model* model, std::string* error, bool arrays)
{
    *model = edited_model();
    model->format = "glTF binary";
    model->prefers_turned = true;
    glb_chunks chunks;
    if (read_chunks(source, &chunks, error) != 0)
        return -1;
    const uint8_t* text = reinterpret_cast<const uint8_t*>(chunks.json_text.data());
    if (nesting_depth(text, chunks.json_text.size()) > deepest_json)
        return *error = "a glTF binary whose JSON nests deeper than " + std::to_string(deepest_json) +
                        " (no glTF file does)",
               -1;
    json doc = json::parse(chunks.json_text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return *error = "a glTF binary whose JSON cannot be read", -1;
    std::string().swap(chunks.json_text);
    // Left unset: only what the parts read is ever written or read.
    model->glb_binary.reset(new uint8_t[chunks.bin_size]);
    model->glb_binary_at = chunks.bin_at;
    model->glb_binary_size = chunks.bin_size;
    glb_reading r{&doc, source, chunks, model, ""};
    std::vector<mesh_node> nodes;
    std::vector<primitive_ref> terrain, skirt;
    bool read = extensions_readable(&r) && find_mesh_nodes(&r, &nodes) && primitives_of(&r, nodes, true, &terrain) &&
                primitives_of(&r, nodes, false, &skirt);
    if (read) {
        model->terrain.reserve(listed_triangles(&r, terrain));
        model->skirt.reserve(listed_triangles(&r, skirt));
    }
    for (size_t i = 0; read && i < terrain.size(); i++)
        read = read_primitive(&r, terrain[i], true);
    for (size_t i = 0; read && i < skirt.size(); i++)
        read = read_primitive(&r, skirt[i], false);
    if (!read)
        return *error = r.error, -1;
    return arrays ? read_glb_arrays(source, model, error) : 0;
}

namespace {

// The binary chunk is read a block at a time as the parts' arrays need it, each block once, into
// the model's copy of the chunk: what no part reads (the skirt's normals, the pictures, indices,
// which the faces hold) is never read, and its pages take no memory.
constexpr size_t bin_block = 64 << 10;

// Reads the binary chunk's bytes from to to into the model's copy, but the blocks already loaded.
// Returns false with the reason in *error.
bool load_bin(const byte_source* source, edited_model* model, std::vector<bool>* loaded, size_t from, size_t to,
              std::string* error)
{
    for (size_t b = from / bin_block; b * bin_block < to;) {
        if ((*loaded)[b]) {
            b++;
            continue;
        }
        size_t first = b;
        for (; b * bin_block < to && !(*loaded)[b]; b++)
            (*loaded)[b] = true;
        size_t start = first * bin_block, end = std::min(b * bin_block, model->glb_binary_size);
        if (!read_exactly(source, model->glb_binary_at + start, model->glb_binary.get() + start, end - start, error))
            return false;
    }
    return true;
}

// Bytes from an array's first element to the end of its last.
size_t array_length(const number_array& a, int components)
{
    size_t size = a.type == numbers_float ? 4 : a.type == numbers_u16 || a.type == numbers_u16_normalized ? 2 : 1;
    return a.stride * (a.count - 1) + size * size_t(components);
}

}  // namespace

int read_glb_arrays(const byte_source* source, edited_model* model, std::string* error)
{
    std::vector<bool> loaded((model->glb_binary_size + bin_block - 1) / bin_block);
    for (const model_part& part : model->parts)
        for (auto array : {std::make_pair(&part.positions, 3), {&part.normals, 3}, {&part.uvs, 2}})
            if (array.first->count > 0 &&
                !load_bin(source, model, &loaded, array.first->first,
                          array.first->first + array_length(*array.first, array.second), error))
                return -1;
    return 0;
}
