#include "wavefront/read_obj.h"

#include <cstdlib>
#include <cstring>
#include <istream>
#include <streambuf>

// The library is compiled into this file alone.
#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>

#include "mesh/map_mesh.h"
#include "mesh/model_names.h"

namespace {

enum object_kind { no_object, terrain_object, skirt_object, other_object };

struct obj_reading {
    edited_model* model;
    std::vector<double> v, vn, vt;  // three, three and two numbers each
    object_kind object = no_object;
    std::string object_name;
    std::string material;                        // the name of the last usemtl, or "" before any
    std::vector<std::string> terrain_materials;  // per terrain face
    std::string error;
};

void fail(obj_reading* r, const std::string& message)
{
    if (r->error.empty())
        r->error = message;
}

void on_vertex(void* user, tinyobj::real_t x, tinyobj::real_t y, tinyobj::real_t z, tinyobj::real_t)
{
    std::vector<double>& v = static_cast<obj_reading*>(user)->v;
    v.insert(v.end(), {double(x), double(y), double(z)});
}

void on_normal(void* user, tinyobj::real_t x, tinyobj::real_t y, tinyobj::real_t z)
{
    std::vector<double>& vn = static_cast<obj_reading*>(user)->vn;
    vn.insert(vn.end(), {double(x), double(y), double(z)});
}

void on_texcoord(void* user, tinyobj::real_t u, tinyobj::real_t v, tinyobj::real_t)
{
    std::vector<double>& vt = static_cast<obj_reading*>(user)->vt;
    vt.insert(vt.end(), {double(u), double(v)});
}

void on_object(void* user, const char* name)
{
    obj_reading* r = static_cast<obj_reading*>(user);
    r->object_name = name;
    r->object = names_as(name, 0, terrain_name) ? terrain_object
                : names_as(name, 0, skirt_name) ? skirt_object
                                                : other_object;
}

void on_material(void* user, const char* name, int)
{
    static_cast<obj_reading*>(user)->material = name;
}

// An index as the file writes it (from 1, or from the end when negative; 0 for none) as an entry
// of a list of count entries. Returns -1 for none, -2 when the list has no such entry.
long long list_entry(int index, size_t count)
{
    if (index == 0)
        return -1;
    long long entry = index > 0 ? (long long)index - 1 : (long long)count + index;
    return entry >= 0 && (unsigned long long)entry < count ? entry : -2;
}

void on_face(void* user, tinyobj::index_t* indices, int count)
{
    obj_reading* r = static_cast<obj_reading*>(user);
    if (!r->error.empty())
        return;
    bool terrain = r->object == terrain_object;
    std::vector<edited_face>& list = terrain ? r->model->terrain : r->model->skirt;
    // The face's name, made only for a message.
    auto face = [&] { return std::string(terrain ? "terrain" : "skirt") + " face " + std::to_string(list.size() + 1); };
    if (r->object == no_object)
        return fail(r, "a face before any object; expected the objects terrain and skirt");
    if (r->object == other_object)
        return fail(r, "object \"" + r->object_name + "\": expected only the objects terrain and skirt");
    if (list.size() == most_list_triangles)
        return fail(r, face() + ": more faces than a map mesh holds (" + std::to_string(most_list_triangles) + ")");
    if (count != 3)
        return fail(r, face() + ": expected a triangle, found " + std::to_string(count) +
                           " corners (export with faces triangulated)");
    edited_face f;
    for (int c = 0; c < 3; c++) {
        const tinyobj::index_t& i = indices[c];
        long long v = list_entry(i.vertex_index, r->v.size() / 3);
        long long vt = list_entry(i.texcoord_index, r->vt.size() / 2);
        long long vn = list_entry(i.normal_index, r->vn.size() / 3);
        if (v < 0 || vt == -2 || vn == -2)
            return fail(r, face() + ": corner " + std::to_string(c + 1) + " names a vertex, texture coordinate or " +
                               "normal the file does not have before it");
        edited_corner& corner = f.corner[c];
        memcpy(corner.position, &r->v[size_t(v) * 3], sizeof corner.position);
        bool has_uv = vt >= 0, has_normal = vn >= 0;
        if (has_uv)
            memcpy(corner.uv, &r->vt[size_t(vt) * 2], sizeof corner.uv);
        if (has_normal)
            memcpy(corner.normal, &r->vn[size_t(vn) * 3], sizeof corner.normal);
        if (c > 0 && (has_uv != f.has_uv || has_normal != f.has_normal))
            return fail(r, face() + ": some corners have texture coordinates or normals, and some do not");
        f.has_uv = has_uv;
        f.has_normal = has_normal;
    }
    if (terrain && !f.has_uv)
        return fail(r, face() + ": expected texture coordinates at its corners, found none");
    if (terrain)
        r->terrain_materials.push_back(r->material);
    list.push_back(f);
}

// The file's bytes as a stream, read where they lie rather than copied.
struct memory_buffer : std::streambuf {
    memory_buffer(const char* data, size_t size)
    {
        char* start = const_cast<char*>(data);
        setg(start, start, start + size);
    }
};

}  // namespace

int read_obj_model(const char* data, size_t size, edited_model* model, std::string* error)
{
    *model = edited_model();
    model->format = "OBJ";
    obj_reading r;
    r.model = model;
    tinyobj::callback_t callbacks;
    callbacks.vertex_cb = on_vertex;
    callbacks.normal_cb = on_normal;
    callbacks.texcoord_cb = on_texcoord;
    callbacks.index_cb = on_face;
    callbacks.usemtl_cb = on_material;
    callbacks.object_cb = on_object;
    memory_buffer buffer(data, size);
    std::istream stream(&buffer);
    std::string warning, library_error;
    // No material library is read: a face's material is known by its name alone.
    if (!tinyobj::LoadObjWithCallback(stream, callbacks, &r, nullptr, &warning, &library_error)) {
        *error = library_error.empty() ? "not an OBJ file" : library_error;
        return -1;
    }
    if (!r.error.empty()) {
        *error = r.error;
        return -1;
    }
    // Materials named palette_P group the terrain's faces by palette, and each face's names its palette.
    for (const std::string& name : r.terrain_materials)
        if (palette_named(name, 0) >= 0)
            model->grouping = grouped_by_palette;
    if (model->grouping == grouped_by_palette) {
        for (size_t i = 0; i < model->terrain.size(); i++) {
            model->terrain[i].palette = palette_named(r.terrain_materials[i], 0);
            if (model->terrain[i].palette < 0) {
                *error = "terrain face " + std::to_string(i + 1) + ": expected a material palette_P (P 0 to 15), " +
                         "found " + (r.terrain_materials[i].empty() ? "none" : "\"" + r.terrain_materials[i] + "\"");
                return -1;
            }
        }
    }
    return 0;
}
