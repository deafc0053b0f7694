// A picture of a map seen from straight above, drawn by the program itself: no GPU, no display,
// and the same bytes on every system, since every step is integer arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mesh/map_mesh.h"

constexpr int preview_default_size = 512;
constexpr int preview_least_size = 16;
constexpr int preview_most_size = 4096;

// The colour untextured triangles are drawn in: a neutral stone grey.
constexpr uint8_t preview_untextured[3] = {140, 132, 120};

// A band's canvas takes 8 bytes a pixel: 16 MiB for a band of this many pixels, where the whole of a
// 4096-pixel picture would take 128. Each band makes the triangles that reach it look at its tiles
// again, so bands are no smaller than a large picture needs.
constexpr size_t preview_band_pixels = size_t(2) << 20;

// An RGBA picture, rows top first.
struct preview_image {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // width x height x 4
};

// What a drawing cost: the pixels tested against a triangle and the tiles looked at.
struct preview_cost {
    uint64_t pixel_visits = 0;
    uint64_t tile_visits = 0;
};

// Draws the map seen from above, orthographic, north (-z, as the .glb's axes) up, its longest
// side size pixels and its aspect kept: each textured triangle filled with its own texels of the
// 131,072-byte sheet (nearest texel, coloured through the triangle's own palette), untextured
// triangles in preview_untextured, the highest surface where triangles overlap, and nothing
// (transparent) elsewhere; of equally high triangles, the first (textured before untextured).
// A mesh without area gives a 1 x 1 transparent picture. Its cost grows with the pixels plus the
// triangles, not with the pixels each triangle covers: what lies under what is drawn is skipped
// a tile at a time. A picture of more than band_pixels pixels is drawn in bands of rows of about as
// many, on as many threads as given: the same pixels however many of either.
void draw_preview(const map_mesh* mesh, const uint8_t* sheet, int size, preview_image* image,
                  preview_cost* cost = nullptr, int threads = 1, size_t band_pixels = preview_band_pixels);
