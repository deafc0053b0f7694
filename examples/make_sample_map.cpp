// Writes the bundled sample map: map01.msh, a hilly terrain of textured quads and triangles over
// four texture pages and several palettes with an untextured skirt around its border, and
// map01.tex, a sheet with a different pattern in each of its four pages.
//
// usage: make_sample_map FOLDER
#include <cmath>
#include <cstdio>
#include <string>

#include "map_writer.h"

namespace {

constexpr int cells = 16;          // cells along each side
constexpr double cell_size = 2.0;  // in the map's units

double height_at(int i, int j)
{
    double x = i - cells / 2.0, z = j - cells / 2.0;
    return 3.0 * std::exp(-(x * x + z * z) / 30.0) + 0.6 * std::sin(i * 0.9) * std::cos(j * 0.7);
}

int16_t hundredths(double v)
{
    return int16_t(std::lround(v * 100.0));
}

// Stored y has the opposite sign of the map's y.
corner_vector position_at(int i, int j, double y)
{
    return corner_vector{hundredths((i - cells / 2.0) * cell_size), hundredths(-y),
                         hundredths((j - cells / 2.0) * cell_size)};
}

corner_vector normal_at(int i, int j)
{
    double dx = height_at(i + 1, j) - height_at(i - 1, j);
    double dz = height_at(i, j + 1) - height_at(i, j - 1);
    double nx = -dx, ny = 2.0 * cell_size, nz = -dz;
    double length = std::sqrt(nx * nx + ny * ny + nz * nz);
    return corner_vector{hundredths(nx / length), hundredths(-ny / length), hundredths(nz / length)};
}

// Each cell takes a 64 x 64 tile of one page: the page by the cell's quarter of the map, the
// palette by its height.
void texture_cell(int i, int j, written_polygon* p, int corners_in_order[4][2])
{
    int page = (i >= cells / 2 ? 1 : 0) + (j >= cells / 2 ? 2 : 0);
    int tile_u = (i % 4) * 64, tile_v = (j % 4) * 64;
    for (int c = 0; c < 4; c++) {
        int di = corners_in_order[c][0] - i, dj = corners_in_order[c][1] - j;
        p->uv[c] = corner_uv{uint8_t(tile_u + di * 63), uint8_t(tile_v + dj * 63)};
    }
    double h = height_at(i, j);
    p->palette_byte = uint8_t(h > 2.0 ? 5 : h > 0.5 ? 3 : 0);
    p->page_byte = uint8_t(page | 0x40);  // the upper bits are not part of the page
}

uint32_t hash(uint32_t x, uint32_t y)
{
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

int sheet_index(int x, int y, void*)
{
    int page = y / 256, v = y % 256;
    switch (page) {
    case 0:  // grass: speckles with darker blades
        return 2 + int(hash(x, y) % 3) + ((x + v / 3) % 11 == 0 ? 3 : 0);
    case 1:  // stone bricks with mortar lines
        if (v % 32 < 2 || (x + (v / 32 % 2) * 16) % 32 < 2)
            return 1;
        return 8 + int(hash(x / 4, v / 4) % 3);
    case 2:  // water: bands of ripples
        return 11 + int(2.0 + 1.9 * std::sin(x * 0.12 + std::sin(v * 0.05) * 3.0));
    default:  // sand with a checker of dune shadows
        return ((x / 32 + v / 32) % 2 ? 6 : 7) + (hash(x, y) % 9 == 0 ? 1 : 0);
    }
}

}  // namespace

// Every textured corner's normal turned far from its face, as some generators write them: each
// leans 60 to 120 degrees from straight up, a way of its own.
void turn_normals_askew(written_mesh* m)
{
    for (std::vector<written_polygon>* list : {&m->tex_tris, &m->tex_quads})
        for (size_t i = 0; i < list->size(); i++)
            for (int c = 0; c < 4; c++) {
                uint32_t h = hash(int(i), c + int(list == &m->tex_quads) * 8);
                double around = (h % 3600) / 3600.0 * 6.2831853, lean = (60 + (h >> 12) % 61) * 0.0174533;
                (*list)[i].normal[c] = corner_vector{int16_t(std::lround(100 * std::sin(lean) * std::cos(around))),
                                                     int16_t(std::lround(-100 * std::cos(lean))),
                                                     int16_t(std::lround(100 * std::sin(lean) * std::sin(around)))};
            }
}

// usage: make_sample_map [FOLDER] [--clockwise] [--askew]
// --clockwise writes every polygon the other way round, as some generators of these maps do: the
// terrain then turns clockwise seen from above (the pictures of --face-up in the docs).
// --askew turns every textured corner's normal far from its face (tools/blender tries editors on it).
int main(int argc, char** argv)
{
    std::string folder = argc > 1 ? argv[1] : ".";
    written_mesh m = empty_mesh();
    bool askew = false;
    for (int i = 2; i < argc; i++) {
        m.reverse_corners = m.reverse_corners || std::string(argv[i]) == "--clockwise";
        askew = askew || std::string(argv[i]) == "--askew";
    }
    // Palette 0: black, mortar, grass greens, sand, stone greys and water blues, in the order the
    // sheet's patterns use them. The other palettes turn and darken it: other seasons and moods.
    static const int base[16][3] = {{0, 0, 0},    {6, 6, 6},    {6, 16, 4},   {8, 19, 5},   {10, 22, 6},  {4, 11, 3},
                                    {24, 21, 13}, {28, 25, 16}, {30, 28, 20}, {16, 16, 17}, {19, 19, 20}, {3, 8, 18},
                                    {4, 11, 22},  {6, 14, 25},  {10, 18, 28}, {18, 24, 30}};
    for (int p = 0; p < 16; p++)
        for (int c = 0; c < 16; c++) {
            // Each of the palettes the terrain uses (0, 3, 5) turns the colours its own way.
            int turn = (2 * p + p / 3) % 3, dim = p / 3;
            int r = base[c][turn], g = base[c][(turn + 1) % 3], b = base[c][(turn + 2) % 3];
            m.palette_words[p * 16 + c] = colour_word(r - r * dim / 8, g - g * dim / 8, b - b * dim / 8);
        }

    for (int i = 0; i < cells; i++)
        for (int j = 0; j < cells; j++) {
            written_polygon p = {};
            // A quad A, B, C, D is drawn as (A, B, C) and (B, D, C): in this order both turn
            // counter-clockwise seen from above, where the normals point.
            int quad[4][2] = {{i, j}, {i, j + 1}, {i + 1, j}, {i + 1, j + 1}};
            texture_cell(i, j, &p, quad);
            if ((i * 7 + j * 3) % 5 != 0) {
                for (int c = 0; c < 4; c++) {
                    p.position[c] = position_at(quad[c][0], quad[c][1], height_at(quad[c][0], quad[c][1]));
                    p.normal[c] = normal_at(quad[c][0], quad[c][1]);
                }
                m.tex_quads.push_back(p);
                continue;
            }
            // Some cells are two textured triangles instead.
            int tris[2][3] = {{0, 1, 2}, {1, 3, 2}};
            for (auto& tri : tris) {
                written_polygon t = p;
                for (int c = 0; c < 3; c++) {
                    int* q = quad[tri[c]];
                    t.position[c] = position_at(q[0], q[1], height_at(q[0], q[1]));
                    t.normal[c] = normal_at(q[0], q[1]);
                    t.uv[c] = p.uv[tri[c]];
                }
                m.tex_tris.push_back(t);
            }
        }

    // The skirt: untextured walls from the border down to below the lowest ground, turning
    // counter-clockwise seen from outside.
    const double floor_y = -2.0;
    int border[4][2] = {{0, 0}, {cells, 0}, {cells, cells}, {0, cells}};
    for (int side = 0; side < 4; side++) {
        int* from = border[side];
        int* to = border[(side + 1) % 4];
        int di = (to[0] > from[0]) - (to[0] < from[0]), dj = (to[1] > from[1]) - (to[1] < from[1]);
        for (int k = 0; k < cells; k++) {
            int i0 = from[0] + di * k, j0 = from[1] + dj * k, i1 = i0 + di, j1 = j0 + dj;
            written_polygon w = {};
            w.position[0] = position_at(i0, j0, height_at(i0, j0));
            w.position[1] = position_at(i1, j1, height_at(i1, j1));
            w.position[2] = position_at(i0, j0, floor_y);
            w.position[3] = position_at(i1, j1, floor_y);
            if (k == cells - 1) {
                // Each corner is closed by one triangle.
                w.position[1] = w.position[3];
                m.untex_tris.push_back(w);
            } else {
                m.untex_quads.push_back(w);
            }
        }
    }

    if (askew)
        turn_normals_askew(&m);
    std::string mesh_name = folder + "/map01.msh";
    std::string texture_name = folder + "/map01.tex";
    if (write_file(mesh_name, write_map_mesh(m)) != 0 ||
        write_file(texture_name, write_texture(sheet_index, nullptr)) != 0) {
        fprintf(stderr, "make_sample_map: cannot write into %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
