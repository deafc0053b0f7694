// Writes map mesh files and texture sheets in memory, for the tests, the sample map, the
// benchmark and the fuzz seeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct corner_vector {
    int16_t x, y, z;  // as stored: hundredths, y with the file's sign
};

struct corner_uv {
    uint8_t u, v;
};

struct written_polygon {
    corner_vector position[4];  // triangles use three corners
    corner_vector normal[4];    // textured polygons only
    corner_uv uv[4];            // textured polygons only
    uint8_t palette_byte;
    uint8_t page_byte;
};

struct written_mesh {
    std::vector<written_polygon> tex_tris, tex_quads, untex_tris, untex_quads;
    uint16_t palette_words[256];  // 16 palettes of 16 15-bit colours
    uint32_t block_offset = 0xC4;
    std::string header_fill;  // bytes 0-63, when not zero
    std::string trailer;      // bytes after the palette area
    // Polygons are written in the corner order given, which turns counter-clockwise around their
    // normals once the reader has mirrored y. Set, every polygon is written the other way round:
    // triangles (0, 2, 1), quads A C B D. The format does not say which order a file uses.
    bool reverse_corners = false;
};

// A mesh with no polygons and a grey ramp in every palette.
written_mesh empty_mesh();

// A flat quad over grid cell (x, z), one unit (100 hundredths) a side at the given height, corners
// A B C D = (x, z), (x, z + 1), (x + 1, z), (x + 1, z + 1), so that (A, B, C) and (B, D, C) turn
// counter-clockwise seen from above; normals straight up; the whole 255 x 255 tile of page 0, u
// along x and v along z. Triangles use its first three corners.
written_polygon cell_quad(int x, int height, int z);

// The file bytes of a mesh, laid out section by section.
std::string write_map_mesh(const written_mesh& mesh);

// A 131,072-byte sheet whose pixel (x, file row y) has colour index index_of(x, y).
std::string write_texture(int (*index_of)(int x, int y, void* context), void* context);

// Writes bytes to a file. Returns 0, or -1.
int write_file(const std::string& name, const std::string& bytes);

// Reads a whole file; empty when it cannot.
std::string read_file(const std::string& name);

// A 15-bit colour word from 5-bit channels.
inline uint16_t colour_word(int r, int g, int b)
{
    return uint16_t((r & 31) | (g & 31) << 5 | (b & 31) << 10);
}
