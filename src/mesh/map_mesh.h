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

// Triangles in the textured list: every quad becomes two.
inline uint32_t textured_triangle_count(const polygon_counts& c)
{
    return uint32_t(c.tex_tri_count) + 2u * c.tex_quad_count;
}

inline uint32_t untextured_triangle_count(const polygon_counts& c)
{
    return uint32_t(c.untex_tri_count) + 2u * c.untex_quad_count;
}

// Least size of a complete map mesh file with these counts.
inline uint32_t map_mesh_least_size(const polygon_counts& c)
{
    return 716u + 48u * c.tex_tri_count + 62u * c.tex_quad_count + 22u * c.untex_tri_count +
           28u * c.untex_quad_count;
}

// The palettes the textured triangles name, as a mask of bits 0-15: palette numbers 16-255 select
// palette (number mod 16).
inline uint16_t used_palette_mask(const map_mesh& mesh)
{
    uint16_t mask = 0;
    for (const face_texinfo& face : mesh.tex_faces)
        mask = uint16_t(mask | 1u << (face.palette_number % palette_count));
    return mask;
}
