// Maps the tests share.
#include "test_maps.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include "run_program.h"

// The sample map, written by the sample tool into folder.
void make_sample(const scratch_folder& folder)
{
#if defined(_WIN32)
    std::string command = "\"\"" + native_path(MAKE_SAMPLE_EXE) + "\" \"" + folder.path + "\"\"";
#else
    std::string command = std::string(MAKE_SAMPLE_EXE) + " '" + folder.path + "'";
#endif
    ASSERT_EQ(system(command.c_str()), 0);
}

// Hills of quads and triangles over several palettes and pages with a skirt, normals that lean
// with the slope and some that are zero, a few triangles wound against the rest, in either corner
// order.
written_mesh hill_mesh(bool reverse_corners)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 8; i++)
        for (int j = 0; j < 8; j++) {
            written_polygon p = cell_quad(i, (i * j) % 7 * 20, j);
            for (int c = 0; c < 4; c++)
                p.normal[c] = {int16_t(i * 3 - 10), -90, int16_t(j * 2 - 7)};
            p.palette_byte = uint8_t(i * 8 + j);
            p.page_byte = uint8_t(i + j);
            if ((i + j) % 9 == 0)
                p.normal[0] = p.normal[1] = p.normal[2] = {0, 0, 0};  // undecided: takes the majority
            if ((i * j) % 5 == 1) {
                written_polygon t = p;
                std::swap(t.position[1], t.position[2]);  // wound the other way, normals still up
                std::swap(t.uv[1], t.uv[2]);
                m.tex_tris.push_back(t);
            } else {
                m.tex_quads.push_back(p);
            }
        }
    for (int k = 0; k < 8; k++) {
        written_polygon wall = cell_quad(k, 0, 0);
        wall.position[1] = {int16_t(k * 100), 200, 0};  // hangs below the first row of cells
        wall.position[3] = {int16_t(k * 100 + 100), 200, 0};
        (k % 3 == 0 ? m.untex_tris : m.untex_quads).push_back(wall);
    }
    m.reverse_corners = reverse_corners;
    return m;
}

namespace {

// A mesh of these counts, each polygon made by make_polygon in file order.
template <typename maker>
written_mesh mesh_of(int tex_tris, int tex_quads, int untex_tris, int untex_quads, maker make_polygon)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < tex_tris; i++)
        m.tex_tris.push_back(make_polygon());
    for (int i = 0; i < tex_quads; i++)
        m.tex_quads.push_back(make_polygon());
    for (int i = 0; i < untex_tris; i++)
        m.untex_tris.push_back(make_polygon());
    for (int i = 0; i < untex_quads; i++)
        m.untex_quads.push_back(make_polygon());
    return m;
}

}  // namespace

// A mesh of random corners and random normals of any length (zero included), seeded.
std::string random_mesh(int tex_tris, int tex_quads, int untex_tris, int untex_quads)
{
    uint32_t state = 12345;
    auto next = [&](int range) {
        state = state * 1664525u + 1013904223u;
        return int16_t(int(state >> 16) % (2 * range + 1) - range);
    };
    auto polygon = [&] {
        written_polygon p = {};
        for (int c = 0; c < 4; c++) {
            p.position[c] = corner_vector{next(3000), next(3000), next(3000)};
            int scale = 1 + (state >> 9) % 300;
            p.normal[c] = corner_vector{int16_t(next(100) * scale % 32767), int16_t(next(100) * scale % 32767),
                                        int16_t(next(100) * scale % 32767)};
        }
        return p;
    };
    written_mesh m = mesh_of(tex_tris, tex_quads, untex_tris, untex_quads, polygon);
    return write_map_mesh(m);
}

std::string random_whole_range_mesh(int tex_tris, int tex_quads, int untex_tris, int untex_quads, uint32_t seed)
{
    uint32_t state = seed * 2654435761u + 1;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    // Either end of the range now and then, else anything.
    auto coordinate = [&] {
        uint32_t r = next();
        return int16_t(r % 16 == 0 ? -32768 : r % 16 == 1 ? 32767 : r % 16 == 2 ? 0 : int(r >> 16) - 32768);
    };
    auto polygon = [&] {
        written_polygon p = {};
        for (int c = 0; c < 4; c++) {
            p.position[c] = corner_vector{coordinate(), coordinate(), coordinate()};
            p.normal[c] = corner_vector{coordinate(), coordinate(), coordinate()};
            p.uv[c] = corner_uv{uint8_t(next()), uint8_t(next())};
        }
        p.palette_byte = uint8_t(next());
        p.page_byte = uint8_t(next());
        return p;
    };
    written_mesh m = mesh_of(tex_tris, tex_quads, untex_tris, untex_quads, polygon);
    for (uint16_t& word : m.palette_words)
        word = uint16_t(next());
    for (int i = 0; i < 64; i++)
        m.header_fill += char(next());
    for (int i = 0; i < 37; i++)
        m.trailer += char(next());
    std::string bytes = write_map_mesh(m);
    // The header's unread bytes after the block offset, the texture records' unused bytes and the
    // skipped areas, all noise.
    for (size_t i = 68; i < 196; i++)
        bytes[i] = char(next());
    size_t textures = 204 + 36u * tex_tris + 48u * tex_quads + 18u * untex_tris + 24u * untex_quads;
    for (int k = 0; k < tex_tris + tex_quads; k++) {
        size_t record = k < tex_tris ? textures + 10u * k : textures + 10u * tex_tris + 12u * (k - tex_tris);
        bytes[record + 3] = char(next());
        bytes[record + 7] = char(next());
    }
    size_t skipped = textures + 10u * tex_tris + 12u * tex_quads;
    for (size_t i = skipped; i < skipped + 4u * (untex_tris + untex_quads) + 2u * (tex_tris + tex_quads); i++)
        bytes[i] = char(next());
    return bytes;
}
