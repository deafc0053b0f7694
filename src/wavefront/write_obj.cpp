#include <cstring>
#include <string>
#include <vector>

#include "wavefront/format_number.h"
#include "wavefront/wavefront.h"

namespace {

constexpr size_t block_size = 1 << 20;
// Room one step may need: the longest line is a face of three 10-digit triples, or a line of three
// numbers far larger than any map holds.
constexpr size_t step_room = 3 * fixed6_large_room + 64;

// Text is gathered into one large block and written whenever the block is nearly full.
struct text_block {
    std::vector<char>* buffer;
    char* p;
    char* limit;
    output_file* out;
};

void begin_block(text_block* b, std::vector<char>* buffer, output_file* out)
{
    buffer->resize(block_size);
    b->buffer = buffer;
    b->p = buffer->data();
    b->limit = buffer->data() + block_size - step_room;
    b->out = out;
}

void write_block(text_block* b)
{
    output_write(b->out, b->buffer->data(), size_t(b->p - b->buffer->data()));
    b->p = b->buffer->data();
}

// Makes room for the next step.
inline void reserve_step(text_block* b)
{
    if (b->p > b->limit)
        write_block(b);
}

void put_text(text_block* b, const char* text)
{
    size_t n = strlen(text);
    if (n > block_size / 2) {
        write_block(b);
        output_write(b->out, text, n);
        return;
    }
    if (b->p + n > b->buffer->data() + block_size)
        write_block(b);
    memcpy(b->p, text, n);
    b->p += n;
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
    size_t keyword_length = strlen(keyword);
    for (const tri_vectors& tri : list) {
        for (int c = 0; c < 3; c++) {
            reserve_step(b);
            memcpy(b->p, keyword, keyword_length);
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
            p = format_fixed6(p + 3, tri.corner[c][0] / 256.0);
            *p++ = ' ';
            p = format_fixed6(p, tri.corner[c][1] / 1024.0);
            memcpy(p, " \n", 2);
            b->p = p + 2;
        }
    }
}

// Terrain face t names each of its corners' vertex, texture coordinate and normal, all three
// numbered 3t + 1 to 3t + 3: "f i/i/i j/j/j k/k/k ".
void put_terrain_face(text_block* b, uint32_t t)
{
    reserve_step(b);
    char* p = b->p;
    *p++ = 'f';
    *p++ = ' ';
    for (uint32_t index = 3 * t + 1; index <= 3 * t + 3; index++) {
        p = format_uint(p, index);
        *p++ = '/';
        p = format_uint(p, index);
        *p++ = '/';
        p = format_uint(p, index);
        *p++ = ' ';
    }
    *p++ = '\n';
    b->p = p;
}

// The skirt has no normals or texture coordinates: its faces name vertices only, "f i j k ".
uint32_t put_skirt_faces(text_block* b, uint32_t count, uint32_t index)
{
    for (uint32_t t = 0; t < count; t++) {
        reserve_step(b);
        char* p = b->p;
        *p++ = 'f';
        *p++ = ' ';
        for (int c = 0; c < 3; c++, index++) {
            p = format_uint(p, index);
            *p++ = ' ';
        }
        *p++ = '\n';
        b->p = p;
    }
    return index;
}

}  // namespace

namespace {

// Everything before the terrain's faces.
void put_head(text_block* b, const map_mesh* mesh, const char* mtl_name)
{
    put_text(b, "mtllib ");
    put_text(b, mtl_name);
    put_text(b, "\no terrain\n");
    put_vector_lines(b, "v ", mesh->tex_positions);
    put_vector_lines(b, "vn ", mesh->tex_normals);
    put_uv_lines(b, mesh->tex_uvs);
    put_text(b, "g tex\n");
}

// The skirt's vertices follow the terrain's 3Nt; the running index is 32 bits wide, so even the
// largest mesh never wraps.
int put_skirt_and_finish(text_block* b, const map_mesh* mesh)
{
    put_text(b, "o skirt\n");
    put_vector_lines(b, "v ", mesh->untex_positions);
    put_skirt_faces(b, uint32_t(mesh->untex_positions.size()), 3 * uint32_t(mesh->tex_positions.size()) + 1);
    write_block(b);
    return b->out->error == 0 ? 0 : -1;
}

}  // namespace

int write_obj(const map_mesh* mesh, const char* mtl_name, output_file* out)
{
    thread_local std::vector<char> buffer;
    text_block b;
    begin_block(&b, &buffer, out);
    put_head(&b, mesh, mtl_name);
    put_text(&b, "usemtl blah\n");
    uint32_t count = uint32_t(mesh->tex_positions.size());
    for (uint32_t t = 0; t < count; t++)
        put_terrain_face(&b, t);
    return put_skirt_and_finish(&b, mesh);
}

int write_obj_by_palette(const map_mesh* mesh, const char* mtl_name, output_file* out)
{
    thread_local std::vector<char> buffer;
    text_block b;
    begin_block(&b, &buffer, out);
    put_head(&b, mesh, mtl_name);
    uint16_t used = used_palette_mask(*mesh);
    uint32_t count = uint32_t(mesh->tex_positions.size());
    for (int palette = 0; palette < palette_count; palette++) {
        if (!(used & 1u << palette))
            continue;
        put_text(&b, ("usemtl palette_" + std::to_string(palette) + "\n").c_str());
        for (uint32_t t = 0; t < count; t++)
            if (mesh->tex_faces[t].palette_number % palette_count == palette)
                put_terrain_face(&b, t);
    }
    return put_skirt_and_finish(&b, mesh);
}
