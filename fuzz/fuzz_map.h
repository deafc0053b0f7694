// The map the write-back target writes every edited input into, and whose OBJ and .glb seed it:
// textured and untextured triangles and quads over several palettes and pages.
#pragma once

#include "map_writer.h"

inline written_mesh fuzz_map()
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 8; i++) {
        written_polygon p = cell_quad(i % 4, i * 30, i / 4);
        for (int c = 0; c < 4; c++)
            p.uv[c] = {uint8_t(c * 60 + i), uint8_t(255 - c * 40)};
        p.page_byte = uint8_t(i);
        p.palette_byte = uint8_t(i * 37);
        (i < 2 ? m.tex_tris : i < 5 ? m.tex_quads : i < 6 ? m.untex_tris : m.untex_quads).push_back(p);
    }
    return m;
}
