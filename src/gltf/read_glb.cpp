#include "gltf/read_glb.h"

#include <algorithm>
#include <cstring>

#include <tiny_gltf.h>

#include "mesh/map_mesh.h"
#include "mesh/model_names.h"

namespace {

// One accessor's elements, checked to lie within their buffer.
struct element_list {
    const unsigned char* first;
    size_t stride;
    size_t count;
    int component_type;
    bool normalized;
};

size_t component_size(int type)
{
    switch (type) {
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return 1;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        return 2;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_FLOAT:
        return 4;
    default:
        return 0;
    }
}

// The elements of accessor index, which must be of type (a vector of components numbers, or a
// scalar). Returns false with *why when the file does not hold them.
bool elements_of(const tinygltf::Model& model, int index, int type, int components, element_list* list,
                 std::string* why)
{
    if (index < 0 || size_t(index) >= model.accessors.size())
        return *why = "an accessor it does not have", false;
    const tinygltf::Accessor& a = model.accessors[size_t(index)];
    size_t size = component_size(a.componentType);
    if (a.type != type || size == 0)
        return *why = "accessor " + std::to_string(index) + " is not of the type expected", false;
    if (a.sparse.isSparse || a.bufferView < 0 || size_t(a.bufferView) >= model.bufferViews.size())
        return *why = "accessor " + std::to_string(index) + " has no plain buffer view", false;
    const tinygltf::BufferView& view = model.bufferViews[size_t(a.bufferView)];
    if (view.buffer < 0 || size_t(view.buffer) >= model.buffers.size())
        return *why = "buffer view " + std::to_string(a.bufferView) + " names no buffer", false;
    const std::vector<unsigned char>& buffer = model.buffers[size_t(view.buffer)].data;
    size_t element = size * size_t(components);
    size_t stride = view.byteStride ? view.byteStride : element;
    // glTF allows strides up to 252 bytes; the bounds below are then free of overflow.
    if (stride > 252 || a.byteOffset > view.byteLength || a.count > (uint64_t(1) << 32))
        return *why = "accessor " + std::to_string(index) + " reaches past its buffer", false;
    uint64_t end = a.count == 0 ? 0 : uint64_t(a.byteOffset) + uint64_t(stride) * (a.count - 1) + element;
    if (stride < element || view.byteOffset > buffer.size() || view.byteLength > buffer.size() - view.byteOffset ||
        end > view.byteLength)
        return *why = "accessor " + std::to_string(index) + " reaches past its buffer", false;
    *list =
        element_list{buffer.data() + view.byteOffset + a.byteOffset, stride, a.count, a.componentType, a.normalized};
    return true;
}

// Component k of element i, as a number; normalized integers as fractions of their largest value.
double component(const element_list& list, size_t i, int k)
{
    const unsigned char* p = list.first + i * list.stride + size_t(k) * component_size(list.component_type);
    uint32_t bits = 0;
    for (size_t b = component_size(list.component_type); b-- > 0;)
        bits = bits << 8 | p[b];
    switch (list.component_type) {
    case TINYGLTF_COMPONENT_TYPE_FLOAT: {
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return list.normalized ? bits / 255.0 : bits;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
        return list.normalized ? bits / 65535.0 : bits;
    default:
        return bits;
    }
}

// A column-major 4 x 4 matrix, as glTF writes them.
struct matrix {
    double m[16];
};

constexpr matrix identity = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};

matrix multiply(const matrix& a, const matrix& b)
{
    matrix r;
    for (int col = 0; col < 4; col++)
        for (int row = 0; row < 4; row++) {
            double sum = 0;
            for (int k = 0; k < 4; k++)
                sum += a.m[k * 4 + row] * b.m[col * 4 + k];
            r.m[col * 4 + row] = sum;
        }
    return r;
}

// A node's own placement: its matrix, or its translation, rotation and scale.
matrix local_matrix(const tinygltf::Node& node)
{
    matrix r = identity;
    if (node.matrix.size() == 16) {
        std::copy(node.matrix.begin(), node.matrix.end(), r.m);
        return r;
    }
    double t[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
    if (node.translation.size() == 3)
        std::copy(node.translation.begin(), node.translation.end(), t);
    if (node.rotation.size() == 4)
        std::copy(node.rotation.begin(), node.rotation.end(), q);
    if (node.scale.size() == 3)
        std::copy(node.scale.begin(), node.scale.end(), s);
    double x = q[0], y = q[1], z = q[2], w = q[3];
    double rot[9] = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),
                     2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),
                     2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y)};
    for (int col = 0; col < 3; col++)
        for (int row = 0; row < 3; row++)
            r.m[col * 4 + row] = rot[col * 3 + row] * s[col];
    r.m[12] = t[0];
    r.m[13] = t[1];
    r.m[14] = t[2];
    return r;
}

bool is_identity(const matrix& a)
{
    return std::equal(a.m, a.m + 16, identity.m);
}

void transform_point(const matrix& a, double p[3])
{
    double r[3];
    for (int row = 0; row < 3; row++)
        r[row] = a.m[row] * p[0] + a.m[4 + row] * p[1] + a.m[8 + row] * p[2] + a.m[12 + row];
    std::copy(r, r + 3, p);
}

// Normals turn with the inverse transpose of the placement: the cofactors of its 3 x 3 part, which
// differ from it only by a positive factor where the placement does not mirror.
void transform_normal(const matrix& a, double n[3])
{
    auto e = [&](int row, int col) { return a.m[col * 4 + row]; };
    double c[3][3];
    for (int row = 0; row < 3; row++)
        for (int col = 0; col < 3; col++) {
            int r1 = (row + 1) % 3, r2 = (row + 2) % 3, c1 = (col + 1) % 3, c2 = (col + 2) % 3;
            c[row][col] = e(r1, c1) * e(r2, c2) - e(r1, c2) * e(r2, c1);
        }
    double r[3];
    for (int row = 0; row < 3; row++)
        r[row] = c[row][0] * n[0] + c[row][1] * n[1] + c[row][2] * n[2];
    std::copy(r, r + 3, n);
}

struct glb_reading {
    const tinygltf::Model* model;
    int terrain_node = -1, skirt_node = -1;
    matrix terrain_place = identity, skirt_place = identity;
    std::string error;
};

void find_nodes(glb_reading* r, int index, const matrix& parent, int depth)
{
    const tinygltf::Model& model = *r->model;
    if (index < 0 || size_t(index) >= model.nodes.size() || depth > 64) {
        r->error = "a node it does not have, or nodes nested past 64";
        return;
    }
    const tinygltf::Node& node = model.nodes[size_t(index)];
    matrix place = multiply(parent, local_matrix(node));
    if (node.mesh >= 0) {
        int* slot = names_as(node.name, 0, terrain_name) ? &r->terrain_node
                    : names_as(node.name, 0, skirt_name) ? &r->skirt_node
                                                         : nullptr;
        if (!slot) {
            r->error = "node \"" + node.name + "\": expected only the nodes terrain and skirt to hold meshes";
            return;
        }
        if (*slot >= 0) {
            r->error = std::string("a second node named ") + (slot == &r->terrain_node ? "terrain" : "skirt");
            return;
        }
        *slot = index;
        (slot == &r->terrain_node ? r->terrain_place : r->skirt_place) = place;
    }
    for (int child : node.children)
        if (r->error.empty())
            find_nodes(r, child, place, depth + 1);
}

// A primitive's arrays, each checked to lie within its buffer.
struct primitive_arrays {
    element_list positions, normals, uvs, indices;
    bool has_normals, has_uvs, has_indices;
    size_t corners;  // the indices', or the positions' count
};

// Finds the primitive's arrays. Returns 0, or -1 with *error.
int arrays_of(const tinygltf::Model& model, const tinygltf::Primitive& p, bool terrain, const std::string& what,
              primitive_arrays* a, std::string* error)
{
    if (p.mode != -1 && p.mode != TINYGLTF_MODE_TRIANGLES)
        return *error = what + ": expected triangles, found primitive mode " + std::to_string(p.mode), -1;
    auto attribute = [&](const char* name) {
        auto found = p.attributes.find(name);
        return found == p.attributes.end() ? -1 : found->second;
    };
    std::string why;
    a->has_normals = attribute("NORMAL") >= 0;
    a->has_uvs = attribute("TEXCOORD_0") >= 0;
    a->has_indices = p.indices >= 0;
    if (!elements_of(model, attribute("POSITION"), TINYGLTF_TYPE_VEC3, 3, &a->positions, &why) ||
        a->positions.component_type != TINYGLTF_COMPONENT_TYPE_FLOAT ||
        (a->has_normals && !elements_of(model, attribute("NORMAL"), TINYGLTF_TYPE_VEC3, 3, &a->normals, &why)) ||
        (a->has_uvs && !elements_of(model, attribute("TEXCOORD_0"), TINYGLTF_TYPE_VEC2, 2, &a->uvs, &why)))
        return *error = what + ": its positions, normals or texture coordinates cannot be read" +
                        (why.empty() ? "" : ": " + why),
               -1;
    if ((a->has_normals && a->normals.count != a->positions.count) ||
        (a->has_uvs && a->uvs.count != a->positions.count))
        return *error = what + ": its attributes differ in length", -1;
    if (terrain && !a->has_uvs)
        return *error = what + ": expected texture coordinates, found none", -1;
    a->corners = a->positions.count;
    if (a->has_indices) {
        if (!elements_of(model, p.indices, TINYGLTF_TYPE_SCALAR, 1, &a->indices, &why) ||
            a->indices.component_type == TINYGLTF_COMPONENT_TYPE_FLOAT)
            return *error = what + ": its indices cannot be read" + (why.empty() ? "" : ": " + why), -1;
        a->corners = a->indices.count;
    }
    if (a->corners % 3 != 0)
        return *error = what + ": expected whole triangles, found " + std::to_string(a->corners) + " corners", -1;
    return 0;
}

// Reads one primitive's triangles into faces. Returns 0, or -1 with *error.
int read_primitive(const tinygltf::Model& model, const tinygltf::Primitive& p, const matrix& place, bool terrain,
                   const std::string& what, std::vector<edited_face>* faces, std::string* error)
{
    primitive_arrays a;
    if (arrays_of(model, p, terrain, what, &a, error) != 0)
        return -1;
    if (faces->size() + a.corners / 3 > most_list_triangles)
        return *error = what + ": more triangles than a map mesh holds (" + std::to_string(most_list_triangles) + ")",
               -1;
    bool placed = !is_identity(place);
    for (size_t i = 0; i < a.corners; i += 3) {
        edited_face f;
        f.has_normal = a.has_normals;
        f.has_uv = a.has_uvs;
        for (int c = 0; c < 3; c++) {
            size_t v = i + size_t(c);
            if (a.has_indices) {
                double index = component(a.indices, v, 0);
                if (index >= double(a.positions.count))
                    return *error = what + ": index " + std::to_string(uint64_t(index)) + " names no vertex", -1;
                v = size_t(index);
            }
            edited_corner& corner = f.corner[c];
            for (int k = 0; k < 3; k++) {
                corner.position[k] = component(a.positions, v, k);
                corner.normal[k] = a.has_normals ? component(a.normals, v, k) : 0;
            }
            if (a.has_uvs) {
                // glTF's texture origin is the image's top-left; the sheet's first row is its bottom.
                corner.uv[0] = component(a.uvs, v, 0);
                corner.uv[1] = 1 - component(a.uvs, v, 1);
            }
            if (placed) {
                transform_point(place, corner.position);
                transform_normal(place, corner.normal);
            }
        }
        faces->push_back(f);
    }
    return 0;
}

bool keep_image(tinygltf::Image*, const int, std::string*, std::string*, int, int, const unsigned char*, int, void*)
{
    return true;
}

}  // namespace

namespace {

// Finds the nodes terrain and skirt: from the default scene (or the first), or from every node
// where the file has no scene.
void find_model_nodes(glb_reading* r)
{
    const tinygltf::Model& gltf = *r->model;
    if (gltf.scenes.empty()) {
        for (size_t n = 0; n < gltf.nodes.size() && r->error.empty(); n++)
            find_nodes(r, int(n), identity, 0);
        return;
    }
    size_t scene =
        gltf.defaultScene >= 0 && size_t(gltf.defaultScene) < gltf.scenes.size() ? size_t(gltf.defaultScene) : 0;
    for (int n : gltf.scenes[scene].nodes)
        if (r->error.empty())
            find_nodes(r, n, identity, 0);
}

// The order a node's primitives are read in, each with its palette: the terrain's, one per palette
// when there are several, in the order of their palettes (-1: no palette). Returns 0, or -1 with
// *error.
int primitive_order(const tinygltf::Model& gltf, const std::vector<tinygltf::Primitive>& primitives, bool terrain,
                    std::vector<std::pair<int, size_t>>* order, edited_model* model, std::string* error)
{
    for (size_t i = 0; i < primitives.size(); i++) {
        int palette = -1;
        if (terrain && primitives.size() > 1) {
            int material = primitives[i].material;
            std::string name =
                material >= 0 && size_t(material) < gltf.materials.size() ? gltf.materials[size_t(material)].name : "";
            palette = palette_at_end(name);
            if (palette < 0)
                return *error = "terrain primitive " + std::to_string(i + 1) +
                                ": expected a material named ..._palette_P (P 0 to 15), found " +
                                (name.empty() ? "none" : "\"" + name + "\""),
                       -1;
            model->grouping = grouped_by_palette;
        }
        order->emplace_back(palette, i);
    }
    std::stable_sort(
        order->begin(), order->end(),
        [](const std::pair<int, size_t>& a, const std::pair<int, size_t>& b) { return a.first < b.first; });
    return 0;
}

// Reads the faces of the terrain or the skirt node into model. Returns 0, or -1 with *error.
int read_node(const tinygltf::Model& gltf, const glb_reading& r, bool terrain, edited_model* model, std::string* error)
{
    int node = terrain ? r.terrain_node : r.skirt_node;
    if (node < 0)
        return 0;
    int mesh = gltf.nodes[size_t(node)].mesh;
    if (size_t(mesh) >= gltf.meshes.size())
        return *error = "node " + gltf.nodes[size_t(node)].name + " names a mesh the file does not have", -1;
    const std::vector<tinygltf::Primitive>& primitives = gltf.meshes[size_t(mesh)].primitives;
    std::vector<std::pair<int, size_t>> order;
    if (primitive_order(gltf, primitives, terrain, &order, model, error) != 0)
        return -1;
    std::vector<edited_face>* faces = terrain ? &model->terrain : &model->skirt;
    for (const std::pair<int, size_t>& o : order) {
        size_t first = faces->size();
        std::string what = std::string(terrain ? "terrain" : "skirt") + " primitive " + std::to_string(o.second + 1);
        if (read_primitive(gltf, primitives[o.second], terrain ? r.terrain_place : r.skirt_place, terrain, what, faces,
                           error) != 0)
            return -1;
        for (size_t f = first; f < faces->size(); f++)
            (*faces)[f].palette = o.first;
    }
    return 0;
}

}  // namespace

int read_glb_model(const uint8_t* data, size_t size, edited_model* model, std::string* error)
{
    *model = edited_model();
    model->format = "glTF binary";
    model->always_turned = true;
    tinygltf::Model gltf;
    tinygltf::TinyGLTF loader;
    loader.SetImageLoader(keep_image, nullptr);
    std::string warning, library_error;
    if (size > 0xffffffffu || !loader.LoadBinaryFromMemory(&gltf, &library_error, &warning, data, unsigned(size), "")) {
        *error = "not a glTF binary that can be read";
        if (!library_error.empty())
            *error += ": " + library_error.substr(0, library_error.find('\n'));
        return -1;
    }
    glb_reading r;
    r.model = &gltf;
    find_model_nodes(&r);
    if (!r.error.empty())
        return *error = r.error, -1;
    if (read_node(gltf, r, true, model, error) != 0 || read_node(gltf, r, false, model, error) != 0)
        return -1;
    return 0;
}
