// The decoded map mesh of one conversion: triangle lists with every quad split in two, and the
// 16 palettes expanded to 8-bit channels.
#pragma once

#include <cstdint>
#include <vector>

struct polygon_counts {
    uint16_t tex_tri_count;
    uint16_t tex_quad_count;
    uint16_t untex_tri_count;
    uint16_t untex_quad_count;
};

// One triangle's three corners of (x, y, z); used for positions and normals.
struct tri_vectors {
    float corner[3][3];
};

// One textured triangle's three corners of (u, v); v already includes the texture page.
struct tri_uvs {
    uint16_t corner[3][2];
};

struct face_texinfo {
    uint16_t palette_number;  // the palette byte, whole (0-255)
    uint16_t page_offset;     // texture page x 256
};

struct palette_colour {
    uint16_t zero;
    uint16_t red;
    uint16_t green;
    uint16_t blue;
};

constexpr int palette_count = 16;
constexpr int colours_per_palette = 16;

// Palette-major: colour c of palette p is entry 16p + c.
struct palette_table {
    palette_colour colours[palette_count * colours_per_palette];
};

struct map_mesh {
    polygon_counts counts;
    std::vector<tri_vectors> tex_positions;    // Nt entries
    std::vector<tri_vectors> untex_positions;  // Nu entries
    std::vector<tri_vectors> tex_normals;      // Nt entries
    std::vector<tri_uvs> tex_uvs;              // Nt entries
    std::vector<face_texinfo> tex_faces;       // Nt entries
    palette_table palettes;
};

// The file's layout. The header's 32-bit field at offset 64 holds the offset of the primary mesh
// block, which is always 196; the block is twelve sections back to back, sized by the counts.
constexpr uint32_t mesh_marker_offset = 64;
constexpr uint32_t mesh_block_offset = 0xC4;
constexpr uint32_t counts_size = 8;                               // four u16 counts
constexpr uint32_t counts_end = mesh_block_offset + counts_size;  // where the first section starts
constexpr uint32_t corner_vector_size = 6;                        // three i16 components
constexpr uint32_t tri_vector_size = 3 * corner_vector_size;      // positions or normals
constexpr uint32_t quad_vector_size = 4 * corner_vector_size;
constexpr uint32_t tri_texture_size = 10;      // three (u, v), palette byte, page byte, two unused
constexpr uint32_t quad_texture_size = 12;     // the same and corner D's (u, v)
constexpr uint32_t untextured_extra_size = 4;  // skipped area 1: per untextured polygon
constexpr uint32_t textured_extra_size = 2;    // skipped area 2: per textured polygon
constexpr uint32_t palette_area_size = palette_count * colours_per_palette * 2;

// Where each section of the block starts, counted from the block's first byte (its counts), in
// file order: vector sections hold the triangles' records, then the quads'.
struct mesh_sections {
    uint32_t tex_positions;    // textured triangles and quads: three or four corners each
    uint32_t untex_positions;  // untextured triangles and quads
    uint32_t tex_normals;      // textured corners' normals
    uint32_t tex_textures;     // texture records
    uint32_t untex_extra;      // skipped area 1
    uint32_t tex_extra;        // skipped area 2
    uint32_t palettes;         // the 16 palettes
    uint32_t end;              // the block's end
};

// The sections of a block with these counts. The reader walks them and the write-back writes into
// them: one layout for both.
inline mesh_sections mesh_section_offsets(const polygon_counts& c)
{
    uint32_t tt = c.tex_tri_count, tq = c.tex_quad_count, ut = c.untex_tri_count, uq = c.untex_quad_count;
    mesh_sections s;
    s.tex_positions = counts_size;
    s.untex_positions = s.tex_positions + tt * tri_vector_size + tq * quad_vector_size;
    s.tex_normals = s.untex_positions + ut * tri_vector_size + uq * quad_vector_size;
    s.tex_textures = s.tex_normals + tt * tri_vector_size + tq * quad_vector_size;
    s.untex_extra = s.tex_textures + tt * tri_texture_size + tq * quad_texture_size;
    s.tex_extra = s.untex_extra + (ut + uq) * untextured_extra_size;
    s.palettes = s.tex_extra + (tt + tq) * textured_extra_size;
    s.end = s.palettes + palette_area_size;
    return s;
}

// Where record k of a section lies from the section's start: its tris triangles' records come
// first, then its quads'.
inline uint32_t record_offset(uint32_t k, uint32_t tris, uint32_t tri_size, uint32_t quad_size)
{
    return k < tris ? tri_size * k : tri_size * tris + quad_size * (k - tris);
}

// A quad A, B, C, D becomes the triangles (A, B, C) and (B, D, C): the quad's corner at each
// corner of its first and its second triangle.
constexpr int quad_triangle_corners[2][3] = {{0, 1, 2}, {1, 3, 2}};

// A texture record: corners A, B, C of (u, v) at bytes 0, 4 and 8 (and a quad's D at 10), the
// palette byte at 2, the page in bits 0-1 of byte 6; bytes 3 and 7 and the page byte's other bits
// are not read.
constexpr int texture_record_uv_at[4] = {0, 4, 8, 10};
constexpr int texture_record_palette_at = 2;
constexpr int texture_record_page_at = 6;
constexpr int page_rows = 256;  // a page is a quarter of the sheet's 1024 rows

// Least size of a complete map mesh file with these counts: 716 + 48Tt + 62Tq + 22Ut + 28Uq.
inline uint32_t map_mesh_least_size(const polygon_counts& c)
{
    return mesh_block_offset + mesh_section_offsets(c).end;
}

// Triangles in the textured list: every quad becomes two.
inline uint32_t textured_triangle_count(const polygon_counts& c)
{
    return uint32_t(c.tex_tri_count) + 2u * c.tex_quad_count;
}

inline uint32_t untextured_triangle_count(const polygon_counts& c)
{
    return uint32_t(c.untex_tri_count) + 2u * c.untex_quad_count;
}

// The most triangles a list can hold: 65,535 triangles and 65,535 quads.
constexpr uint32_t most_list_triangles = 3 * 65535;

// The palette a textured triangle is coloured with: palette numbers 16-255 select palette
// (number mod 16).
inline int sheet_palette(const face_texinfo& face)
{
    return face.palette_number % palette_count;
}

// The palettes the textured triangles use, as a mask of bits 0-15.
inline uint16_t used_palette_mask(const map_mesh& mesh)
{
    uint16_t mask = 0;
    for (const face_texinfo& face : mesh.tex_faces)
        mask = uint16_t(mask | 1u << sheet_palette(face));
    return mask;
}
