#include <cstring>
#include <string>
#include <vector>

#include "wavefront/format_number.h"
#include "wavefront/wavefront.h"

namespace {

constexpr size_t block_size = 1 << 20;
// Room one step may need: the longest line is a face of three 10-digit triples, or a line of three
// numbers far larger than any map holds; it also covers the 16-byte copies of the writers.
constexpr size_t step_room = 3 * fixed6_large_room + 64;

// Text is gathered into one large block and, whenever the block is nearly full, written to the
// file or (when the text is kept for the next pair) appended to the kept text.
struct text_block {
    std::vector<char>* buffer;
    char* p;
    char* limit;
    output_file* out;         // or
    std::vector<char>* kept;  // when out is null
};

void begin_block(text_block* b, std::vector<char>* buffer, output_file* out, std::vector<char>* kept)
{
    buffer->resize(block_size);
    b->buffer = buffer;
    b->p = buffer->data();
    b->limit = buffer->data() + block_size - step_room;
    b->out = out;
    b->kept = kept;
}

void emit(text_block* b, const char* text, size_t n)
{
    if (b->out)
        output_write(b->out, text, n);
    else
        b->kept->insert(b->kept->end(), text, text + n);
}

void write_block(text_block* b)
{
    emit(b, b->buffer->data(), size_t(b->p - b->buffer->data()));
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
        emit(b, text, n);
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
// numbered 3t + 1 to 3t + 3: "f i/i/i j/j/j k/k/k ".
void put_terrain_face(text_block* b, uint32_t t)
{
    reserve_step(b);
    char* p = b->p;
    *p++ = 'f';
    *p++ = ' ';
    for (uint32_t index = 3 * t + 1; index <= 3 * t + 3; index++) {
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
void put_skirt_faces(text_block* b, uint32_t count, uint32_t index)
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
}

}  // namespace

namespace {

// Everything after the "mtllib" line: the same for every pair of one mesh.
void put_body(text_block* b, const map_mesh* mesh, int by_palette)
{
    put_text(b, "o terrain\n");
    put_vector_lines(b, "v ", mesh->tex_positions);
    put_vector_lines(b, "vn ", mesh->tex_normals);
    put_uv_lines(b, mesh->tex_uvs);
    put_text(b, "g tex\n");
    uint32_t count = uint32_t(mesh->tex_positions.size());
    if (!by_palette) {
        put_text(b, "usemtl blah\n");
        for (uint32_t t = 0; t < count; t++)
            put_terrain_face(b, t);
    } else {
        uint16_t used = used_palette_mask(*mesh);
        for (int palette = 0; palette < palette_count; palette++) {
            if (!(used & 1u << palette))
                continue;
            put_text(b, ("usemtl palette_" + std::to_string(palette) + "\n").c_str());
            for (uint32_t t = 0; t < count; t++)
                if (mesh->tex_faces[t].palette_number % palette_count == palette)
                    put_terrain_face(b, t);
        }
    }
    // The skirt's vertices follow the terrain's 3Nt; the running index is 32 bits wide, so even
    // the largest mesh never wraps.
    put_text(b, "o skirt\n");
    put_vector_lines(b, "v ", mesh->untex_positions);
    put_skirt_faces(b, uint32_t(mesh->untex_positions.size()), 3 * count + 1);
    write_block(b);
}

template <typename T>
bool same_list(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Whether the kept text was made from exactly this geometry.
bool cache_matches(const obj_text_cache* cache, const map_mesh* mesh, int by_palette)
{
    if (!cache->valid || cache->by_palette != by_palette || !same_list(cache->tex_positions, mesh->tex_positions) ||
        !same_list(cache->tex_normals, mesh->tex_normals) || !same_list(cache->tex_uvs, mesh->tex_uvs) ||
        !same_list(cache->untex_positions, mesh->untex_positions))
        return false;
    if (!by_palette)
        return true;
    if (cache->tex_faces.size() != mesh->tex_faces.size())
        return false;
    for (size_t t = 0; t < mesh->tex_faces.size(); t++)
        if (cache->tex_faces[t].palette_number % palette_count != mesh->tex_faces[t].palette_number % palette_count)
            return false;
    return true;
}

// Text this long or longer is streamed to the file instead of kept: the largest meshes would
// otherwise hold tens of megabytes.
constexpr size_t kept_text_limit = 16u << 20;

size_t estimated_text_size(const map_mesh* mesh)
{
    return mesh->tex_positions.size() * 3 * 110 + mesh->untex_positions.size() * 3 * 45 + 4096;
}

}  // namespace

int write_obj_text(const map_mesh* mesh, const char* mtl_name, int by_palette, obj_text_cache* cache,
                   output_file* out)
{
    std::string head = std::string("mtllib ") + mtl_name + "\n";
    if (cache && cache_matches(cache, mesh, by_palette)) {
        output_reserve(out, head.size() + cache->body.size());
        output_write(out, head.data(), head.size());
        output_write(out, cache->body.data(), cache->body.size());
        return out->error == 0 ? 0 : -1;
    }
    thread_local std::vector<char> buffer;
    text_block b;
    if (!cache || estimated_text_size(mesh) > kept_text_limit) {
        if (cache)
            cache->valid = false;
        output_reserve(out, estimated_text_size(mesh));
        begin_block(&b, &buffer, out, nullptr);
        put_text(&b, head.c_str());
        put_body(&b, mesh, by_palette);
        return out->error == 0 ? 0 : -1;
    }
    cache->valid = false;
    cache->body.clear();
    cache->body.reserve(estimated_text_size(mesh));
    begin_block(&b, &buffer, nullptr, &cache->body);
    put_body(&b, mesh, by_palette);
    cache->by_palette = by_palette;
    cache->tex_positions = mesh->tex_positions;
    cache->tex_normals = mesh->tex_normals;
    cache->tex_uvs = mesh->tex_uvs;
    cache->tex_faces = mesh->tex_faces;
    cache->untex_positions = mesh->untex_positions;
    cache->valid = true;
    output_reserve(out, head.size() + cache->body.size());
    output_write(out, head.data(), head.size());
    output_write(out, cache->body.data(), cache->body.size());
    return out->error == 0 ? 0 : -1;
}

int write_obj(const map_mesh* mesh, const char* mtl_name, output_file* out)
{
    return write_obj_text(mesh, mtl_name, 0, nullptr, out);
}
