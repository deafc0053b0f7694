#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mesh/model_names.h"
#include "wavefront/format_number.h"
#include "wavefront/wavefront.h"

namespace {

constexpr size_t block_size = 1 << 20;
// Room one step may need past the block's limit: the longest step is a face of three 10-digit
// triples (103 characters); the table copies of format_u and format_v and the face writer's
// 16-byte copies run at most 16 bytes past their text.
constexpr size_t step_room = 256;

// Text is gathered into one large block and written to the sink whenever the block is nearly full.
struct text_block {
    char* start;
    char* p;
    char* limit;  // a step may begin at or before this point
    byte_sink* out;
    int result;  // 0, or -1 once a write failed
};

void begin_block(text_block* b, std::vector<char>* buffer, byte_sink* out)
{
    buffer->resize(block_size);
    b->start = buffer->data();
    b->p = b->start;
    b->limit = b->start + block_size - step_room;
    b->out = out;
    b->result = 0;
}

void write_block(text_block* b)
{
    if (sink_write(b->out, b->start, size_t(b->p - b->start)) != 0)
        b->result = -1;
    b->p = b->start;
}

// Makes room for the next step.
inline void reserve_step(text_block* b)
{
    if (b->p > b->limit)
        write_block(b);
}

void put_text(text_block* b, const char* text, size_t n)
{
    while (n > 0) {
        reserve_step(b);
        size_t take = std::min(n, size_t(b->limit + step_room - b->p));
        memcpy(b->p, text, take);
        b->p += take;
        text += take;
        n -= take;
    }
}

void put_text(text_block* b, const std::string& text)
{
    put_text(b, text.data(), text.size());
}

template <size_t n>
void put_text(text_block* b, const char (&text)[n])
{
    put_text(b, text, n - 1);
}

inline char* put_three(char* p, const float v[3])
{
    p = format_fixed6(p, v[0]);
    *p++ = ' ';
    p = format_fixed6(p, v[1]);
    *p++ = ' ';
    p = format_fixed6(p, v[2]);
    *p++ = '\n';
    return p;
}

void put_vector_lines(text_block* b, const char* keyword, const std::vector<tri_vectors>& list)
{
    // The keyword ("v " or "vn ") is copied as four bytes at once; the step's room covers the rest.
    char padded[4] = {0, 0, 0, 0};
    size_t keyword_length = strlen(keyword);
    memcpy(padded, keyword, keyword_length);
    for (const tri_vectors& tri : list) {
        for (int c = 0; c < 3; c++) {
            reserve_step(b);
            memcpy(b->p, padded, 4);
            b->p = put_three(b->p + keyword_length, tri.corner[c]);
        }
    }
}

void put_uv_lines(text_block* b, const std::vector<tri_uvs>& list)
{
    for (const tri_uvs& tri : list) {
        for (int c = 0; c < 3; c++) {
            reserve_step(b);
            char* p = b->p;
            memcpy(p, "vt ", 3);
            // The sheet's first file row is the image's bottom row, so v needs no flip.
            p = format_u(p + 3, tri.corner[c][0]);
            *p++ = ' ';
            p = format_v(p, tri.corner[c][1]);
            memcpy(p, " \n", 2);
            b->p = p + 2;
        }
    }
}

// Terrain face t names each of its corners' vertex, texture coordinate and normal, all three
// numbered 3t + 1 to 3t + 3, in the given order: "f i/i/i j/j/j k/k/k ".
void put_terrain_face(text_block* b, uint32_t t, corner_order order)
{
    reserve_step(b);
    char* p = b->p;
    *p++ = 'f';
    *p++ = ' ';
    for (int c : order.corner) {
        uint32_t index = 3 * t + 1 + uint32_t(c);
        // The same number three times: format it once, copy it as 16 bytes (the step has room).
        char digits[16];
        size_t n = size_t(format_uint(digits, index) - digits);
        memcpy(p, digits, 16);
        p[n] = '/';
        memcpy(p + n + 1, digits, 16);
        p[2 * n + 1] = '/';
        memcpy(p + 2 * n + 2, digits, 16);
        p[3 * n + 2] = ' ';
        p += 3 * n + 3;
    }
    *p++ = '\n';
    b->p = p;
}

// The skirt has no normals or texture coordinates: its faces name vertices only, "f i j k ".
void put_skirt_faces(text_block* b, uint32_t count, uint32_t first, corner_order order)
{
    for (uint32_t t = 0; t < count; t++) {
        reserve_step(b);
        char* p = b->p;
        *p++ = 'f';
        *p++ = ' ';
        for (int c : order.corner) {
            p = format_uint(p, first + 3 * t + uint32_t(c));
            *p++ = ' ';
        }
        *p++ = '\n';
        b->p = p;
    }
}

// Everything after the "mtllib" line: the terrain, the skirt.
void put_model(text_block* b, const map_mesh* mesh, const obj_materials& materials, const face_orders* orders)
{
    auto order_of = [&](uint32_t t) { return orders ? textured_order(*orders, t) : as_stored; };
    put_text(b, std::string("o ") + terrain_name + "\n");
    put_vector_lines(b, "v ", mesh->tex_positions);
    put_vector_lines(b, "vn ", mesh->tex_normals);
    put_uv_lines(b, mesh->tex_uvs);
    put_text(b, std::string("g ") + terrain_group_name + "\n");
    uint32_t count = uint32_t(mesh->tex_positions.size());
    if (!materials.by_palette) {
        put_text(b, "usemtl " + material_name(materials, 0) + "\n");
        for (uint32_t t = 0; t < count; t++)
            put_terrain_face(b, t, order_of(t));
    } else {
        // A terrain without faces still has a sheet and its material, but opens no group.
        uint16_t used = used_palette_mask(*mesh);
        for (int palette : *materials.palettes) {
            if (!(used & 1u << palette))
                continue;
            put_text(b, "usemtl " + material_name(materials, palette) + "\n");
            for (uint32_t t = 0; t < count; t++)
                if (sheet_palette(mesh->tex_faces[t]) == palette)
                    put_terrain_face(b, t, order_of(t));
        }
    }
    // The skirt's vertices follow the terrain's 3Nt; the running index is 32 bits wide, so even
    // the largest mesh never wraps.
    put_text(b, std::string("o ") + skirt_name + "\n");
    put_vector_lines(b, "v ", mesh->untex_positions);
    put_skirt_faces(b, uint32_t(mesh->untex_positions.size()), 3 * count + 1, orders ? orders->skirt : as_stored);
    write_block(b);
}

}  // namespace

std::string material_name(const obj_materials& materials, int palette)
{
    return materials.by_palette ? palette_material_name(palette) : single_material_name;
}

std::string obj_mtllib_line(const char* mtl_name)
{
    return std::string("mtllib ") + mtl_name + "\n";
}

uint64_t obj_body_size_estimate(const map_mesh* mesh)
{
    return mesh->tex_positions.size() * 3 * 110 + mesh->untex_positions.size() * 3 * 45 + 4096;
}

int write_obj_body(const map_mesh* mesh, const obj_materials& materials, const face_orders* orders,
                   std::vector<char>* block, byte_sink* out)
{
    text_block b;
    begin_block(&b, block, out);
    put_model(&b, mesh, materials, orders);
    return b.result;
}
