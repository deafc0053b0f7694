#include "mesh/write_map_mesh.h"

#include "prefetch.h"

#include <cstring>

namespace {

// One corner as the file stores it: hundredths with y negated. -327.68 is stored as -32768 in y
// too, since negating -32768 in 16 bits gives -32768 (the reading does the same); +327.68 cannot be
// stored in y and is refused before it gets here.
void put_corner(uint8_t* p, const int16_t h[3])
{
    uint16_t words[3] = {uint16_t(h[0]), uint16_t(-h[1]), uint16_t(h[2])};
    for (int k = 0; k < 3; k++) {
        p[2 * k] = uint8_t(words[k] & 0xff);
        p[2 * k + 1] = uint8_t(words[k] >> 8);
    }
}

// What one polygon's record is written from: its triangle of the list, or a quad's two.
template <typename values>
struct polygon_values {
    const values* triangle[2];
    int halves;  // 1 for a triangle, 2 for a quad
};

// Record k of a section of tris triangles and then quads, from the list's triangles.
template <typename values>
polygon_values<values> polygon_of(const std::vector<values>& list, uint32_t k, uint32_t tris)
{
    if (k < tris)
        return polygon_values<values>{{&list[k], nullptr}, 1};
    size_t t = tris + 2 * size_t(k - tris);
    return polygon_values<values>{{&list[t], &list[t + 1]}, 2};
}

// Which of the polygon's triangle corners holds its record corner: a triangle's own, a quad's by
// the corner table (B and C, which both triangles hold, are written from either: they agree).
template <typename values, typename put>
void for_each_corner(const polygon_values<values>& p, put put_one)
{
    for (int half = 0; half < p.halves; half++)
        for (int c = 0; c < 3; c++)
            put_one(p.halves == 1 ? c : quad_triangle_corners[half][c], *p.triangle[half], c);
}

// Writes a vector section from the vector (a position or a normal) of each of the list's corners,
// and counts the records that changed.
template <typename values, typename vector_of>
void put_vector_section(uint8_t* section, const std::vector<values>& list, uint32_t tris, uint32_t quads,
                        vector_of vector, size_t* changed)
{
    for (uint32_t k = 0; k < tris + quads; k++) {
        uint32_t at = record_offset(k, tris, tri_vector_size, quad_vector_size);
        uint32_t size = k < tris ? tri_vector_size : quad_vector_size;
        uint8_t before[quad_vector_size];
        memcpy(before, section + at, size);
        for_each_corner(polygon_of(list, k, tris), [&](int corner, const values& v, int c) {
            put_corner(section + at + corner_vector_size * uint32_t(corner), vector(v, c));
        });
        *changed += memcmp(section + at, before, size) != 0;
    }
}

// Writes the texture records, and counts those that changed. The page (v / 256) goes into bits 0-1
// of the page byte, each v's row within it into its corner; bytes 3 and 7 and the page byte's other
// bits stay as they were.
void put_texture_section(uint8_t* section, const std::vector<triangle_values>& list, uint32_t tris, uint32_t quads,
                         size_t* changed)
{
    for (uint32_t k = 0; k < tris + quads; k++) {
        uint8_t* record = section + record_offset(k, tris, tri_texture_size, quad_texture_size);
        uint32_t size = k < tris ? tri_texture_size : quad_texture_size;
        uint8_t before[quad_texture_size];
        memcpy(before, record, size);
        polygon_values<triangle_values> p = polygon_of(list, k, tris);
        for_each_corner(p, [&](int corner, const triangle_values& v, int c) {
            record[texture_record_uv_at[corner]] = uint8_t(v.uv[c][0]);
            record[texture_record_uv_at[corner] + 1] = uint8_t(v.uv[c][1] % page_rows);
        });
        const triangle_values& first = *p.triangle[0];
        record[texture_record_palette_at] = uint8_t(first.palette_byte);
        uint8_t page = uint8_t(first.uv[0][1] / page_rows);
        record[texture_record_page_at] = uint8_t((record[texture_record_page_at] & ~3) | page);
        *changed += memcmp(record, before, size) != 0;
    }
}

// One corner as values: hundredths with y negated in 16 bits, as the reader decodes it.
void get_corner(const uint8_t* p, int16_t h[3])
{
    uint16_t words[3];
    for (int k = 0; k < 3; k++)
        words[k] = uint16_t(p[2 * k] | p[2 * k + 1] << 8);
    h[0] = int16_t(words[0]);
    h[1] = int16_t(uint16_t(0u - words[1]));
    h[2] = int16_t(words[2]);
}

}  // namespace

stored_records records_of(const uint8_t* file, const polygon_counts& counts)
{
    return stored_records{file + mesh_block_offset, counts};
}

namespace {

// Which record of its list holds triangle t: a triangle's own, or its quad's.
uint32_t record_of(const stored_records& stored, bool textured, size_t t)
{
    uint32_t tris = textured ? stored.counts.tex_tri_count : stored.counts.untex_tri_count;
    return t >= tris ? tris + uint32_t((t - tris) / 2) : uint32_t(t);
}

}  // namespace

void prefetch_stored_triangle(const stored_records& stored, size_t t)
{
    mesh_sections s = mesh_section_offsets(stored.counts);
    uint32_t tris = stored.counts.tex_tri_count, k = record_of(stored, true, t);
    uint32_t vectors = record_offset(k, tris, tri_vector_size, quad_vector_size);
    prefetch(stored.block + s.tex_positions + vectors);
    prefetch(stored.block + s.tex_normals + vectors);
    prefetch(stored.block + s.tex_textures + record_offset(k, tris, tri_texture_size, quad_texture_size));
}

void stored_triangle(const stored_records& stored, bool textured, size_t t, triangle_values* out)
{
    const polygon_counts& counts = stored.counts;
    mesh_sections s = mesh_section_offsets(counts);
    uint32_t tris = textured ? counts.tex_tri_count : counts.untex_tri_count;
    // The record that holds the triangle, and the record's corners it takes.
    bool quad = t >= tris;
    uint32_t k = record_of(stored, textured, t);
    const int* corners = quad ? quad_triangle_corners[(t - tris) % 2] : quad_triangle_corners[0];
    const uint8_t* positions = stored.block + (textured ? s.tex_positions : s.untex_positions) +
                               record_offset(k, tris, tri_vector_size, quad_vector_size);
    memset(out, 0, sizeof *out);
    for (int c = 0; c < 3; c++)
        get_corner(positions + corner_vector_size * uint32_t(corners[c]), out->position[c]);
    if (!textured)
        return;
    const uint8_t* normals = stored.block + s.tex_normals + record_offset(k, tris, tri_vector_size, quad_vector_size);
    const uint8_t* texture =
        stored.block + s.tex_textures + record_offset(k, tris, tri_texture_size, quad_texture_size);
    int page = (texture[texture_record_page_at] & 3) * page_rows;
    out->palette_byte = texture[texture_record_palette_at];
    for (int c = 0; c < 3; c++) {
        get_corner(normals + corner_vector_size * uint32_t(corners[c]), out->normal[c]);
        out->uv[c][0] = texture[texture_record_uv_at[corners[c]]];
        out->uv[c][1] = int16_t(texture[texture_record_uv_at[corners[c]] + 1] + page);
    }
}

void write_mesh_records(uint8_t* file, const polygon_counts& counts, const mesh_values& values, edit_counts* changed)
{
    *changed = edit_counts();
    mesh_sections s = mesh_section_offsets(counts);
    uint8_t* block = file + mesh_block_offset;
    uint32_t tt = counts.tex_tri_count, tq = counts.tex_quad_count;
    auto position = [](const auto& v, int c) { return v.position[c]; };
    put_vector_section(block + s.tex_positions, values.textured, tt, tq, position, &changed->positions);
    put_vector_section(block + s.untex_positions, values.untextured, counts.untex_tri_count, counts.untex_quad_count,
                       position, &changed->positions);
    put_vector_section(
        block + s.tex_normals, values.textured, tt, tq, [](const triangle_values& v, int c) { return v.normal[c]; },
        &changed->normals);
    put_texture_section(block + s.tex_textures, values.textured, tt, tq, &changed->textures);
}
