#include "preview/draw_preview.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// A map's coordinates are 16-bit hundredths: the decoded floats give them back exactly.
int32_t hundredths(float v)
{
    return int32_t(std::llround(double(v) * 100.0));
}

int64_t floor_div(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Where the picture lies on the map: the corners' extent in x and z, in hundredths, and the scale.
// A point's place in the picture is kept in 1/256 of a pixel, so every product below fits 64 bits.
struct frame {
    int32_t min_x = INT32_MAX, min_z = INT32_MAX, max_x = INT32_MIN, max_z = INT32_MIN;
    int64_t extent = 0;  // the longer side, in hundredths
    int size = 0;        // pixels along it
};

constexpr int64_t subpixels = 256;

int64_t place(int32_t coordinate, int32_t least, const frame& f)
{
    return int64_t(coordinate - least) * f.size * subpixels / f.extent;
}

// One triangle in picture space: corners in 1/256 pixel, heights in hundredths.
struct flat_triangle {
    int64_t x[3], z[3];
    int64_t height[3];
};

flat_triangle flatten(const tri_vectors& t, const frame& f)
{
    flat_triangle out;
    for (int c = 0; c < 3; c++) {
        out.x[c] = place(hundredths(t.corner[c][0]), f.min_x, f);
        out.z[c] = place(hundredths(t.corner[c][2]), f.min_z, f);
        out.height[c] = hundredths(t.corner[c][1]);
    }
    return out;
}

// Twice the signed area of a, b, p: which side of a-b the point p lies on.
int64_t edge(int64_t ax, int64_t az, int64_t bx, int64_t bz, int64_t px, int64_t pz)
{
    return (bx - ax) * (pz - az) - (bz - az) * (px - ax);
}

struct canvas {
    preview_image* image;
    std::vector<int64_t> depth;  // the height drawn at each pixel, in hundredths
};

// Fills the pixels whose centres the triangle covers and where it is the highest surface so far;
// colour(w) gives a pixel's colour from its corner weights w (summing to area).
template <typename colour_fn>
void fill(canvas* c, const flat_triangle& t, colour_fn colour)
{
    int64_t area = edge(t.x[0], t.z[0], t.x[1], t.z[1], t.x[2], t.z[2]);
    if (area == 0)
        return;
    int sign = area > 0 ? 1 : -1;
    area *= sign;
    int width = c->image->width, height = c->image->height;
    int64_t lo_x = std::min({t.x[0], t.x[1], t.x[2]}), hi_x = std::max({t.x[0], t.x[1], t.x[2]});
    int64_t lo_z = std::min({t.z[0], t.z[1], t.z[2]}), hi_z = std::max({t.z[0], t.z[1], t.z[2]});
    int first_x = int(std::max<int64_t>(0, lo_x / subpixels - 1));
    int last_x = int(std::min<int64_t>(width - 1, hi_x / subpixels + 1));
    int first_z = int(std::max<int64_t>(0, lo_z / subpixels - 1));
    int last_z = int(std::min<int64_t>(height - 1, hi_z / subpixels + 1));
    for (int row = first_z; row <= last_z; row++) {
        int64_t pz = int64_t(row) * subpixels + subpixels / 2;
        for (int column = first_x; column <= last_x; column++) {
            int64_t px = int64_t(column) * subpixels + subpixels / 2;
            int64_t w[3] = {sign * edge(t.x[1], t.z[1], t.x[2], t.z[2], px, pz),
                            sign * edge(t.x[2], t.z[2], t.x[0], t.z[0], px, pz),
                            sign * edge(t.x[0], t.z[0], t.x[1], t.z[1], px, pz)};
            if (w[0] < 0 || w[1] < 0 || w[2] < 0)
                continue;
            int64_t here = floor_div(w[0] * t.height[0] + w[1] * t.height[1] + w[2] * t.height[2], area);
            size_t at = size_t(row) * size_t(width) + size_t(column);
            uint8_t* pixel = &c->image->pixels[at * 4];
            if (pixel[3] != 0 && here <= c->depth[at])
                continue;  // a higher surface, or an equal one drawn first, is already there
            uint8_t rgb[3];
            colour(w, area, rgb);
            memcpy(pixel, rgb, 3);
            pixel[3] = 255;
            c->depth[at] = here;
        }
    }
}

}  // namespace

void draw_preview(const map_mesh* mesh, const uint8_t* sheet, int size, preview_image* image)
{
    frame f;
    f.size = size;
    for (const std::vector<tri_vectors>* list : {&mesh->tex_positions, &mesh->untex_positions})
        for (const tri_vectors& t : *list)
            for (int c = 0; c < 3; c++) {
                int32_t x = hundredths(t.corner[c][0]), z = hundredths(t.corner[c][2]);
                f.min_x = std::min(f.min_x, x);
                f.max_x = std::max(f.max_x, x);
                f.min_z = std::min(f.min_z, z);
                f.max_z = std::max(f.max_z, z);
            }
    f.extent = f.min_x > f.max_x ? 0 : std::max(int64_t(f.max_x) - f.min_x, int64_t(f.max_z) - f.min_z);
    if (f.extent == 0) {
        image->width = image->height = 1;
        image->pixels.assign(4, 0);
        return;
    }
    // As many pixels as the map's side covers, a part of one counting as one.
    auto pixels_along = [&](int64_t side) {
        return int(std::max<int64_t>(1, (side * size + f.extent - 1) / f.extent));
    };
    image->width = pixels_along(int64_t(f.max_x) - f.min_x);
    image->height = pixels_along(int64_t(f.max_z) - f.min_z);
    image->pixels.assign(size_t(image->width) * size_t(image->height) * 4, 0);
    canvas c = {image, std::vector<int64_t>(size_t(image->width) * size_t(image->height), 0)};

    for (size_t i = 0; i < mesh->tex_positions.size(); i++) {
        const tri_uvs& uv = mesh->tex_uvs[i];
        const palette_colour* palette =
            &mesh->palettes.colours[sheet_palette(mesh->tex_faces[i]) * colours_per_palette];
        fill(&c, flatten(mesh->tex_positions[i], f), [&](const int64_t w[3], int64_t area, uint8_t rgb[3]) {
            // The nearest texel: the one whose cell holds the interpolated (u, v).
            int64_t u = (w[0] * uv.corner[0][0] + w[1] * uv.corner[1][0] + w[2] * uv.corner[2][0]) / area;
            int64_t v = (w[0] * uv.corner[0][1] + w[1] * uv.corner[1][1] + w[2] * uv.corner[2][1]) / area;
            u = std::min<int64_t>(255, u);
            v = std::min<int64_t>(1023, v);
            uint8_t pair = sheet[v * 128 + u / 2];
            const palette_colour& colour = palette[(u & 1) ? pair & 15 : pair >> 4];
            rgb[0] = uint8_t(colour.red);
            rgb[1] = uint8_t(colour.green);
            rgb[2] = uint8_t(colour.blue);
        });
    }
    for (const tri_vectors& t : mesh->untex_positions)
        fill(&c, flatten(t, f), [](const int64_t*, int64_t, uint8_t rgb[3]) { memcpy(rgb, preview_untextured, 3); });
}
