// --preview: maps whose pictures are known pixel for pixel, a random map whose every pixel is a
// colour its triangles may show, and the index page's names and links.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>

#include <gtest/gtest.h>
#include <zlib.h>

#include "map_writer.h"
#include "preview/draw_preview.h"
#include "preview/encode_preview.h"
#include "preview/index_page.h"
#include "readers.h"
#include "run_program.h"

namespace {

// Sixteen vertical bands of the sheet: texel column u shows colour index u / 16; page 1 is all 15.
int bands(int x, int y, void*)
{
    return y >= 256 && y < 512 ? 15 : x / 16;
}

// The colour of palette p, index c, as the mesh reader decodes the writer's ramp.
struct rgb {
    uint8_t r, g, b;
    bool operator<(const rgb& o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
    bool operator==(const rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

rgb colour_of(const map_mesh& mesh, int palette, int index)
{
    const palette_colour& c = mesh.palettes.colours[palette * 16 + index];
    return rgb{uint8_t(c.red), uint8_t(c.green), uint8_t(c.blue)};
}

struct picture {
    decoded_png png;
    rgb at(uint32_t x, uint32_t y) const
    {
        const uint8_t* p = &png.rgb[(y * png.width + x) * 4];
        return rgb{p[0], p[1], p[2]};
    }
    uint8_t alpha(uint32_t x, uint32_t y) const { return png.rgb[(y * png.width + x) * 4 + 3]; }
};

// Converts mesh with the band sheet, a preview of size pixels. Returns the picture and the mesh.
picture preview_of(const written_mesh& m, int size, map_mesh* decoded)
{
    scratch_folder folder;
    std::string bytes = write_map_mesh(m);
    EXPECT_EQ(write_file(folder / "p.msh", bytes), 0);
    EXPECT_EQ(write_file(folder / "p.tex", write_texture(bands, nullptr)), 0);
    program_run run = run_mapconv(folder.path, {"--preview-size", std::to_string(size), "p"});
    EXPECT_EQ(run.status, 0) << run.err;
    *decoded = decode_mesh_bytes(bytes).mesh;
    return picture{read_png(read_file(folder / "p.msh_p.tex_top.png"), true)};
}

// Sixteen colours a palette byte selects, different for each palette.
written_mesh banded_mesh()
{
    written_mesh m = empty_mesh();
    for (int p = 0; p < 16; p++)
        for (int c = 0; c < 16; c++)
            m.palette_words[p * 16 + c] = colour_word(c * 2, p * 2, 31 - c);
    return m;
}

}  // namespace

TEST(Preview, KnownPicturesPixelForPixel)
{
    // One flat quad over the whole of page 0, through each palette: column k shows band k.
    for (int palette = 0; palette < 16; palette++) {
        written_mesh m = banded_mesh();
        written_polygon quad = cell_quad(0, 0, 0);
        quad.palette_byte = uint8_t(palette + 16 * (palette % 3));  // 16-255 select (number mod 16)
        m.tex_quads.push_back(quad);
        map_mesh mesh;
        picture p = preview_of(m, 16, &mesh);
        ASSERT_TRUE(p.png.ok);
        ASSERT_EQ(p.png.width, 16u);
        ASSERT_EQ(p.png.height, 16u);
        for (uint32_t y = 0; y < 16; y++)
            for (uint32_t x = 0; x < 16; x++) {
                ASSERT_EQ(p.alpha(x, y), 255);
                ASSERT_TRUE(p.at(x, y) == colour_of(mesh, palette, int(x))) << palette << " " << x << "," << y;
            }
    }

    // Two layers: a high quad showing page 1 over the middle of a low one; the higher wins, and a
    // cell left out of a 3 x 1 row is a hole (transparent).
    written_mesh layers = banded_mesh();
    for (int x : {0, 2})
        layers.tex_quads.push_back(cell_quad(x, 0, 0));
    written_polygon high = cell_quad(1, 50, 0);
    high.page_byte = 1;
    layers.tex_quads.push_back(high);
    written_polygon under = cell_quad(1, -50, 0);
    layers.tex_quads.push_back(under);
    map_mesh mesh;
    picture p = preview_of(layers, 48, &mesh);
    ASSERT_EQ(p.png.width, 48u);
    ASSERT_EQ(p.png.height, 16u);
    for (uint32_t x = 0; x < 48; x++) {
        rgb want = x >= 16 && x < 32 ? colour_of(mesh, 0, 15) : colour_of(mesh, 0, int(x % 16));
        EXPECT_TRUE(p.at(x, 8) == want) << x;
    }
    written_mesh holed = banded_mesh();
    for (int x : {0, 2})
        holed.tex_quads.push_back(cell_quad(x, 0, 0));
    picture gap = preview_of(holed, 48, &mesh);
    for (uint32_t x = 0; x < 48; x++)
        EXPECT_EQ(gap.alpha(x, 8), x >= 16 && x < 32 ? 0 : 255) << x;
}

TEST(Preview, EveryPixelIsAColourItsTrianglesMayShow)
{
    // Random triangles over one another, with every palette: each opaque pixel is a colour of a
    // palette the terrain uses, or the untextured grey.
    written_mesh m = banded_mesh();
    uint32_t state = 7;
    auto next = [&](int range) {
        state = state * 1664525u + 1013904223u;
        return int(state >> 16) % range;
    };
    for (int i = 0; i < 300; i++) {
        written_polygon t = {};
        for (int c = 0; c < 3; c++) {
            t.position[c] = corner_vector{int16_t(next(2000) - 1000), int16_t(next(400)), int16_t(next(2000) - 1000)};
            t.uv[c] = corner_uv{uint8_t(next(256)), uint8_t(next(256))};
        }
        t.palette_byte = uint8_t(next(256));
        t.page_byte = uint8_t(next(256));
        (i % 10 ? m.tex_tris : m.untex_tris).push_back(t);
    }
    map_mesh mesh;
    picture p = preview_of(m, 200, &mesh);
    ASSERT_TRUE(p.png.ok);
    std::set<rgb> allowed = {rgb{140, 132, 120}};
    for (const face_texinfo& face : mesh.tex_faces)
        for (int c = 0; c < 16; c++)
            allowed.insert(colour_of(mesh, sheet_palette(face), c));
    size_t opaque = 0;
    for (uint32_t y = 0; y < p.png.height; y++)
        for (uint32_t x = 0; x < p.png.width; x++) {
            if (p.alpha(x, y) == 0)
                continue;
            opaque++;
            ASSERT_TRUE(allowed.count(p.at(x, y))) << x << "," << y;
        }
    EXPECT_GT(opaque, 1000u);
}

namespace {

// The picture drawn the plain way, pixel by pixel over every triangle: the highest surface at
// the pixel's centre, the first of equals (textured before untextured), in the same integer steps.
preview_image reference_picture(const map_mesh& mesh, const uint8_t* sheet, int size)
{
    struct flat {
        int64_t x[3], z[3], h[3];
        int64_t lo_x, hi_x, lo_z, hi_z;  // no pixel centre outside these is inside the triangle
    };
    auto hundredths = [](float v) { return int64_t(std::llround(double(v) * 100.0)); };
    std::vector<const tri_vectors*> all;
    for (const tri_vectors& t : mesh.tex_positions)
        all.push_back(&t);
    for (const tri_vectors& t : mesh.untex_positions)
        all.push_back(&t);
    int64_t min_x = INT64_MAX, min_z = INT64_MAX, max_x = INT64_MIN, max_z = INT64_MIN;
    for (const tri_vectors* t : all)
        for (int c = 0; c < 3; c++) {
            min_x = std::min(min_x, hundredths(t->corner[c][0]));
            max_x = std::max(max_x, hundredths(t->corner[c][0]));
            min_z = std::min(min_z, hundredths(t->corner[c][2]));
            max_z = std::max(max_z, hundredths(t->corner[c][2]));
        }
    preview_image image;
    int64_t extent = all.empty() ? 0 : std::max(max_x - min_x, max_z - min_z);
    if (extent == 0) {
        image.width = image.height = 1;
        image.pixels.assign(4, 0);
        return image;
    }
    image.width = int(std::max<int64_t>(1, ((max_x - min_x) * size + extent - 1) / extent));
    image.height = int(std::max<int64_t>(1, ((max_z - min_z) * size + extent - 1) / extent));
    image.pixels.assign(size_t(image.width) * image.height * 4, 0);
    std::vector<flat> flats;
    for (const tri_vectors* t : all) {
        flat f;
        for (int c = 0; c < 3; c++) {
            f.x[c] = (hundredths(t->corner[c][0]) - min_x) * size * 256 / extent;
            f.z[c] = (hundredths(t->corner[c][2]) - min_z) * size * 256 / extent;
            f.h[c] = hundredths(t->corner[c][1]);
        }
        f.lo_x = std::min({f.x[0], f.x[1], f.x[2]});
        f.hi_x = std::max({f.x[0], f.x[1], f.x[2]});
        f.lo_z = std::min({f.z[0], f.z[1], f.z[2]});
        f.hi_z = std::max({f.z[0], f.z[1], f.z[2]});
        flats.push_back(f);
    }
    auto side = [](int64_t ax, int64_t az, int64_t bx, int64_t bz, int64_t px, int64_t pz) {
        return (bx - ax) * (pz - az) - (bz - az) * (px - ax);
    };
    for (int row = 0; row < image.height; row++)
        for (int column = 0; column < image.width; column++) {
            int64_t px = column * 256 + 128, pz = row * 256 + 128;
            bool found = false;
            int64_t best = 0;
            size_t shown = 0;
            int64_t shown_w[3] = {}, shown_area = 1;
            for (size_t i = 0; i < flats.size(); i++) {
                const flat& f = flats[i];
                if (px < f.lo_x || px > f.hi_x || pz < f.lo_z || pz > f.hi_z)
                    continue;
                int64_t area = side(f.x[0], f.z[0], f.x[1], f.z[1], f.x[2], f.z[2]);
                if (area == 0)
                    continue;
                int64_t sign = area > 0 ? 1 : -1, w[3];
                for (int c = 0; c < 3; c++)
                    w[c] = sign * side(f.x[(c + 1) % 3], f.z[(c + 1) % 3], f.x[(c + 2) % 3], f.z[(c + 2) % 3], px, pz);
                if (w[0] < 0 || w[1] < 0 || w[2] < 0)
                    continue;
                area *= sign;
                int64_t sum = w[0] * f.h[0] + w[1] * f.h[1] + w[2] * f.h[2];
                int64_t height = sum / area - (sum % area < 0 ? 1 : 0);
                if (!found || height > best) {
                    found = true;
                    best = height;
                    shown = i;
                    std::copy(w, w + 3, shown_w);
                    shown_area = area;
                }
            }
            if (!found)
                continue;
            uint8_t* pixel = &image.pixels[(size_t(row) * image.width + column) * 4];
            pixel[3] = 255;
            if (shown >= mesh.tex_positions.size()) {
                std::copy(preview_untextured, preview_untextured + 3, pixel);
                continue;
            }
            const tri_uvs& uv = mesh.tex_uvs[shown];
            int64_t u = 0, v = 0;
            for (int c = 0; c < 3; c++) {
                u += shown_w[c] * uv.corner[c][0];
                v += shown_w[c] * uv.corner[c][1];
            }
            u = std::min<int64_t>(255, u / shown_area);
            v = std::min<int64_t>(1023, v / shown_area);
            uint8_t pair = sheet[v * 128 + u / 2];
            const palette_colour& colour =
                mesh.palettes.colours[sheet_palette(mesh.tex_faces[shown]) * 16 + ((u & 1) ? pair & 15 : pair >> 4)];
            pixel[0] = uint8_t(colour.red);
            pixel[1] = uint8_t(colour.green);
            pixel[2] = uint8_t(colour.blue);
        }
    return image;
}

}  // namespace

TEST(Preview, EveryPixelIsTheHighestSurfaceThereAndTheFirstOfEquals)
{
    // Random maps of every kind against the plain drawing: flat layers at a few heights (ties
    // everywhere), heights at the ends of their range, slopes, slivers, triangles far apart,
    // pictures of every size around the tiles', pictures a few pixels high (all rim), a high quad
    // over all but the rim above a low one over everything (the rim shows the low one only). Each
    // is drawn whole and in bands of a few rows on one to three threads.
    uint32_t state = 11;
    auto next = [&](int range) {
        state = state * 1664525u + 1013904223u;
        return int(state >> 8) % range;
    };
    std::vector<uint8_t> sheet(131072);
    for (uint8_t& b : sheet)
        b = uint8_t(next(256));
    for (int round = 0; round < 60; round++) {
        written_mesh m = banded_mesh();
        int spread = 1 + next(round % 4 == 0 ? 40 : 4000), heights = 1 + next(round % 3 == 0 ? 3 : 2000);
        int spread_z = round % 7 == 6 ? spread / 40 + 1 : spread;
        if (round % 8 == 7) {
            spread = spread_z = 4000;
            for (int16_t half : {int16_t(1960), int16_t(2000)}) {
                written_polygon p = cell_quad(0, half == 2000 ? -1000 : 0, 0);
                for (int c = 0; c < 4; c++) {
                    p.position[c].x = int16_t(p.position[c].x == 0 ? -half : half);
                    p.position[c].z = int16_t(p.position[c].z == 0 ? -half : half);
                }
                m.tex_quads.push_back(p);
            }
        }
        for (int i = 0, n = 1 + next(120); i < n; i++) {
            written_polygon p = {};
            for (int c = 0; c < 4; c++) {
                p.position[c] = corner_vector{int16_t(next(spread) - spread / 2), int16_t(next(heights) - heights / 2),
                                              int16_t(next(spread_z) - spread_z / 2)};
                if (round % 5 == 1)
                    p.position[c].y = int16_t(i % 3);  // flat layers: only the order decides
                if (round % 6 == 3)                    // the least and greatest heights a map holds
                    p.position[c].y = int16_t(next(2) ? INT16_MAX - next(2) : INT16_MIN + next(2));
                p.uv[c] = corner_uv{uint8_t(next(256)), uint8_t(next(256))};
            }
            p.palette_byte = uint8_t(next(256));
            p.page_byte = uint8_t(next(4));
            std::vector<written_polygon>* lists[4] = {&m.tex_tris, &m.tex_quads, &m.untex_tris, &m.untex_quads};
            lists[next(4)]->push_back(p);
        }
        map_mesh mesh = decode_mesh_bytes(write_map_mesh(m)).mesh;
        // A few pictures whose rim is wider than a tile, so that tiles lie wholly on it.
        int size = round < 8 ? 16 + round : round % 20 == 19 ? 256 + next(64) : 16 + next(120);
        preview_image want = reference_picture(mesh, sheet.data(), size);
        int band_rows = 1 + next(12), threads = 1 + round % 3;
        for (size_t band_pixels : {preview_band_pixels, size_t(want.width) * size_t(band_rows)}) {
            preview_image drawn;
            draw_preview(&mesh, sheet.data(), size, &drawn, nullptr, threads, band_pixels);
            ASSERT_EQ(drawn.width, want.width) << round;
            ASSERT_EQ(drawn.height, want.height) << round;
            for (size_t at = 0; at < want.pixels.size(); at++)
                ASSERT_EQ(drawn.pixels[at], want.pixels[at])
                    << "round " << round << " bands of " << band_pixels << " pixel " << at / 4 % want.width << ","
                    << at / 4 / want.width;
        }
    }

    // A tie at the greatest height: a flat untextured quad there, drawn first, and a textured
    // triangle whose top edge runs along row 8's pixel centres at that height. The triangle is the
    // first of equals, so it shows on that row, and only there; the quad elsewhere.
    written_mesh top = banded_mesh();
    written_polygon flat = cell_quad(0, INT16_MAX, 0);
    for (int c = 0; c < 4; c++) {
        flat.position[c].x = int16_t(flat.position[c].x * 16);
        flat.position[c].z = int16_t(flat.position[c].z * 16);
    }
    top.untex_quads.push_back(flat);
    written_polygon edge = {};
    edge.position[0] = corner_vector{50, -INT16_MAX, 850};  // the file keeps heights turned over
    edge.position[1] = corner_vector{1550, -INT16_MAX, 850};
    edge.position[2] = corner_vector{800, 0, 1550};
    top.tex_tris.push_back(edge);
    map_mesh mesh = decode_mesh_bytes(write_map_mesh(top)).mesh;
    preview_image want = reference_picture(mesh, sheet.data(), 16), drawn;
    draw_preview(&mesh, sheet.data(), 16, &drawn);
    ASSERT_EQ(want.width, 16);
    for (int at = 0; at < 16 * 16; at++)
        EXPECT_EQ(memcmp(&drawn.pixels[size_t(at) * 4], &want.pixels[size_t(at) * 4], 4), 0)
            << at % 16 << "," << at / 16;
    for (int at = 0; at < 16 * 16; at++)
        EXPECT_EQ(memcmp(&want.pixels[size_t(at) * 4], preview_untextured, 3) != 0, at / 16 == 8)
            << at % 16 << "," << at / 16;

    // Texels met exactly: a quad from the centre of column 1 to the centre of column 31 of a
    // 32-pixel picture, u from 0 to 15, so u is a whole number at every odd column and half way
    // at every even one; a low untextured quad under the whole picture sets its frame.
    written_mesh exact = banded_mesh();
    written_polygon ground = cell_quad(0, -10, 0), texels = cell_quad(0, 10, 0);
    for (int c = 0; c < 4; c++) {
        int dx = c >> 1, dz = c & 1;
        ground.position[c].x = int16_t(dx * 3200);
        ground.position[c].z = int16_t(dz * 3200);
        texels.position[c].x = int16_t(dx ? 3150 : 150);
        texels.position[c].z = int16_t(dz ? 3150 : 50);
        texels.uv[c] = corner_uv{uint8_t(dx * 15), uint8_t(dz * 3)};
    }
    exact.untex_quads.push_back(ground);
    exact.tex_quads.push_back(texels);
    mesh = decode_mesh_bytes(write_map_mesh(exact)).mesh;
    want = reference_picture(mesh, sheet.data(), 32);
    draw_preview(&mesh, sheet.data(), 32, &drawn);
    ASSERT_EQ(want.width, 32);
    EXPECT_TRUE(drawn.pixels == want.pixels);

    // Thousands of triangles side by side, each with texels and a palette of its own: triangles
    // whose numbers lie a power of two apart share rows, so that what the colouring keeps of one
    // triangle is never taken for another's; and a band of all but one row holds more triangles
    // than the band orders by their own heights, and draws the rest after them.
    written_mesh grid = banded_mesh();
    for (int i = 0; i < 34 * 34; i++) {
        written_polygon p = cell_quad(i % 34, i % 7, i / 34);
        for (int c = 0; c < 4; c++)
            p.uv[c] = corner_uv{uint8_t(next(256)), uint8_t(next(256))};
        p.palette_byte = uint8_t(next(256));
        grid.tex_quads.push_back(p);
    }
    mesh = decode_mesh_bytes(write_map_mesh(grid)).mesh;
    want = reference_picture(mesh, sheet.data(), 160);
    draw_preview(&mesh, sheet.data(), 160, &drawn, nullptr, 2, size_t(want.width) * size_t(want.height - 1));
    EXPECT_TRUE(drawn.pixels == want.pixels);
}

TEST(Preview, CostGrowsWithThePixelsAndTheTrianglesNotTheirOverlap)
{
    // Quads over the whole map at random heights: drawn one after another, they would cost the
    // triangles times the pixels. Two thousand flat layers, as many tilted ones, then twenty
    // thousand whose every corner lies anywhere at any height, which leave the picture's edges
    // the lowest and emptiest: each such steep triangle is looked at down to where it meets what
    // is drawn, so its bound is looser, and it holds only where the edges are kept apart.
    uint32_t state = 5;
    auto next = [&](int range) {
        state = state * 1664525u + 1013904223u;
        return int(state >> 8) % range;
    };
    std::vector<uint8_t> sheet(131072, 0x12);
    for (int kind : {0, 1, 2}) {
        written_mesh m = banded_mesh();
        int quads = kind == 2 ? 20000 : 2000;
        for (int i = 0; i < quads; i++) {
            written_polygon p = cell_quad(-30, next(20000) - 10000, -30);
            for (int c = 0; c < 4; c++) {
                p.position[c].x = int16_t(p.position[c].x == -3000 ? -3000 : 3000);
                p.position[c].z = int16_t(p.position[c].z == -3000 ? -3000 : 3000);
                if (kind == 1)
                    p.position[c].y = int16_t(next(20000) - 10000);
                if (kind == 2)
                    p.position[c] = corner_vector{int16_t(next(60000) - 30000), int16_t(next(60000) - 30000),
                                                  int16_t(next(60000) - 30000)};
            }
            (i % 3 ? m.tex_quads : m.untex_quads).push_back(p);
        }
        map_mesh mesh = decode_mesh_bytes(write_map_mesh(m)).mesh;
        for (int size : kind == 2 ? std::vector<int>{64} : std::vector<int>{64, 512}) {
            preview_image drawn;
            preview_cost cost;
            draw_preview(&mesh, sheet.data(), size, &drawn, &cost);
            uint64_t pixels = uint64_t(drawn.width) * drawn.height, triangles = 2 * uint64_t(quads);
            uint64_t per_triangle = kind == 2 ? 20 : 16, per_pixel = kind == 2 ? 8 : 4;
            EXPECT_LE(cost.pixel_visits, per_pixel * (pixels + triangles)) << kind << " " << size;
            EXPECT_LE(cost.tile_visits, pixels / 4 + per_triangle * triangles) << kind << " " << size;
            if (size == 64 && kind < 2) {
                EXPECT_TRUE(drawn.pixels == reference_picture(mesh, sheet.data(), size).pixels);
            }
        }
    }
}

namespace {

// The filter type of every row of an 8-bit PNG whose rows take bytes_per_pixel each: its IDAT
// chunks inflated. Empty where they do not inflate to the rows.
std::vector<int> row_filters(const std::vector<uint8_t>& png, int bytes_per_pixel)
{
    auto word = [&](size_t at) {
        return uint32_t(png[at]) << 24 | uint32_t(png[at + 1]) << 16 | uint32_t(png[at + 2]) << 8 | png[at + 3];
    };
    uint32_t width = word(16), height = word(20);
    std::vector<uint8_t> compressed;
    for (size_t at = 8; at + 12 <= png.size(); at += 12 + word(at))
        if (memcmp(&png[at + 4], "IDAT", 4) == 0)
            compressed.insert(compressed.end(), &png[at + 8], &png[at + 8] + word(at));
    size_t row = 1 + size_t(width) * bytes_per_pixel;
    std::vector<uint8_t> rows(row * height);
    uLongf size = rows.size();
    std::vector<int> filters;
    if (uncompress(rows.data(), &size, compressed.data(), compressed.size()) != Z_OK || size != rows.size())
        return filters;
    for (size_t r = 0; r < height; r++)
        filters.push_back(rows[r * row]);
    return filters;
}

}  // namespace

TEST(Preview, APaletteWhereTheColoursFitTheSamePixelsEitherWay)
{
    // Pictures of 1 to 257 colours, with and without transparent pixels, small and large: the
    // palette holds transparent first and the rest as they first appear, and every PNG written
    // decodes to the very pixels drawn, from rows unfiltered.
    for (int colours : {1, 2, 255, 256, 257})
        for (bool holes : {false, true})
            for (int side : {1, 40, 300}) {
                preview_image image;
                image.width = side;
                image.height = side + 1;
                image.pixels.assign(size_t(image.width) * image.height * 4, 0);
                for (size_t i = 0; i < image.pixels.size() / 4; i++) {
                    if (holes && i % 7 == 3)
                        continue;
                    int c = int(i * 31 % size_t(colours));
                    uint8_t* p = &image.pixels[i * 4];
                    p[0] = uint8_t(c);
                    p[1] = uint8_t(c / 2);
                    p[2] = uint8_t(255 - c / 3);
                    p[3] = 255;
                }
                png_palette palette;
                std::vector<uint8_t> indices;
                size_t pixels = image.pixels.size() / 4;
                int shown = std::min<int>(colours, int(pixels)) + (holes && pixels > 3 ? 1 : 0);
                bool fits = preview_palette(image, &palette, &indices);
                std::string what = std::to_string(colours) + " " + std::to_string(holes) + " " + std::to_string(side);
                ASSERT_EQ(fits, shown <= 256) << what;
                if (fits) {
                    EXPECT_EQ(palette.count, shown) << what;
                    EXPECT_EQ(palette.alpha_count, holes && pixels > 3 ? 1 : 0) << what;
                    if (palette.alpha_count) {
                        EXPECT_EQ(palette.alpha[0], 0);
                    }
                    for (size_t i = 0; i < pixels; i++)
                        ASSERT_EQ(0, memcmp(&palette.rgb[indices[i] * 3], &image.pixels[i * 4], 3)) << what << " " << i;
                    // The first opaque pixel has the first opaque colour.
                    EXPECT_EQ(indices[0], palette.alpha_count) << what;
                }
                std::vector<uint8_t> bytes;
                byte_sink sink = memory_sink(&bytes);
                std::string error;
                ASSERT_EQ(encode_preview(image, &sink, &error), 0) << error;
                decoded_png back = read_png(std::string(bytes.begin(), bytes.end()), true);
                ASSERT_TRUE(back.ok) << what;
                EXPECT_TRUE(back.rgb == image.pixels) << what;
                bool indexed = bytes.size() > 25 && bytes[25] == 3;  // IHDR's colour type
                // Flat colours compress best, and soonest, with rows unfiltered.
                EXPECT_EQ(row_filters(bytes, indexed ? 1 : 4), std::vector<int>(size_t(image.height), 0)) << what;
                if (side == 300) {
                    EXPECT_EQ(indexed, fits) << what;
                }
            }
    // Large pictures are compressed in pieces: the same bytes on one thread or several, a stream
    // that inflates whole to the unfiltered rows, and the pixels drawn; rows of more than a piece
    // (a piece a row) too. Each piece is an IDAT chunk of its own; rows of a piece's bytes or
    // fewer are libpng's, in IDAT chunks of 8 KiB.
    auto idat_sizes = [](const std::vector<uint8_t>& png) {
        std::vector<size_t> sizes;
        for (size_t at = 8; at + 12 <= png.size();) {
            size_t length = size_t(png[at]) << 24 | size_t(png[at + 1]) << 16 | size_t(png[at + 2]) << 8 | png[at + 3];
            if (memcmp(&png[at + 4], "IDAT", 4) == 0)
                sizes.push_back(length);
            at += 12 + length;
        }
        return sizes;
    };
    struct large {
        int width, height, colours;
        size_t pieces;  // 0: libpng's own chunks
    } larges[] = {{1100, 1101, 257, 5}, {1100, 1101, 2, 2}, {262145, 3, 257, 3}, {4095, 256, 2, 0}, {4095, 257, 2, 2}};
    for (const large& l : larges) {
        preview_image image;
        image.width = l.width;
        image.height = l.height;
        image.pixels.assign(size_t(image.width) * image.height * 4, 0);
        for (size_t i = 0; i < image.pixels.size() / 4; i++) {
            int c = int(uint32_t(i * 2654435761u) >> 20) % l.colours;
            uint8_t rgba[4] = {uint8_t(c), uint8_t(c / 2), uint8_t(255 - c / 3), uint8_t(i % 9 ? 255 : 0)};
            if (rgba[3] == 255)
                memcpy(&image.pixels[i * 4], rgba, 4);
        }
        std::vector<uint8_t> first;
        for (int threads : {1, 2, 3}) {
            std::vector<uint8_t> bytes;
            byte_sink sink = memory_sink(&bytes);
            std::string error;
            ASSERT_EQ(encode_preview(image, &sink, &error, threads), 0) << error;
            if (threads == 1)
                first = bytes;
            EXPECT_TRUE(bytes == first) << l.width << " " << threads;
        }
        bool indexed = first[25] == 3;
        EXPECT_EQ(indexed, l.colours < 256);
        std::vector<size_t> idats = idat_sizes(first);
        if (l.pieces > 0) {
            EXPECT_EQ(idats.size(), l.pieces) << l.width;
        } else {
            ASSERT_FALSE(idats.empty());
            EXPECT_GT(idats.size(), 1u);
            EXPECT_EQ(std::count(idats.begin(), idats.end() - 1, size_t(8192)), std::ptrdiff_t(idats.size() - 1));
        }
        EXPECT_EQ(row_filters(first, indexed ? 1 : 4), std::vector<int>(size_t(image.height), 0)) << l.width;
        decoded_png back = read_png(std::string(first.begin(), first.end()), true);
        ASSERT_TRUE(back.ok) << l.width;
        EXPECT_TRUE(back.rgb == image.pixels) << l.width;
    }
    // Half transparent is not a drawing's: no palette.
    preview_image odd;
    odd.width = odd.height = 2;
    odd.pixels = {1, 2, 3, 255, 1, 2, 3, 128, 0, 0, 0, 0, 1, 2, 3, 255};
    png_palette palette;
    std::vector<uint8_t> indices;
    EXPECT_FALSE(preview_palette(odd, &palette, &indices));
}

namespace {

std::string percent_decoded(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

index_entry converted_entry(const std::string& mesh, const std::string& sheet, uint64_t order)
{
    index_entry e;
    e.mesh = mesh;
    e.sheet = sheet;
    e.converted = true;
    e.counts = polygon_counts{1, 2, 3, 4};
    e.palettes = 1;
    std::string base = mesh + "_" + sheet;
    e.files = {sheet + ".png", base + ".obj", base + ".mtl"};
    e.order = order;
    return e;
}

auto entry_fields(const index_entry& e)
{
    return std::make_tuple(e.mesh, e.sheet, e.converted, e.reason, e.counts.tex_tri_count, e.counts.tex_quad_count,
                           e.counts.untex_tri_count, e.counts.untex_quad_count, e.palettes, e.files, e.preview,
                           e.order);
}

// Opens the page from the disk in headless Chromium and Firefox ESR, as a person would: every
// picture shows, every link leads to a file or a card, the page fits a 1,280 px window, no error
// is logged. expected is the checker's count of what it saw.
void open_in_browsers(const std::string& page_path, const std::string& expected)
{
#if defined(_WIN32)
    (void)page_path, (void)expected;
    printf("  the page is opened in the browsers by the Linux suite only\n");
#else
    std::string tools = std::string(MAPCONV_SOURCE_DIR) + "/tools/render/";
    bool driver = exists(tools + "node_modules/playwright-core/package.json");
    for (const char* browser : {"chromium", "firefox"}) {
        const char* program = browser[0] == 'c' ? "/usr/bin/chromium" : "/usr/bin/firefox-esr";
        if (!(driver && exists(program)) && !getenv("CI")) {
            printf("  the page is not opened in %s: %s or playwright-core (scripts/setup.sh tests) is missing\n",
                   browser, program);
            continue;
        }
        std::string command = "node '" + tools + "check-index.js' " + browser + " '" + page_path + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string report;
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe))
            report += buffer;
        EXPECT_EQ(pclose(pipe), 0) << report;
        EXPECT_NE(report.find(std::string("index in ") + browser + ": " + expected), std::string::npos) << report;
    }
#endif
}

}  // namespace

TEST(IndexPage, NamesSortAsPeopleSortThem)
{
    // Each name comes before every later one, and after none.
    const char* names[] = {"",
                           "0",
                           "00",
                           "1",
                           "01",
                           "2",
                           "10",
                           "a",
                           "a1",
                           "a2",
                           "a02",
                           "a002",
                           "a9b",
                           "a10",
                           "a10a",
                           "a10b",
                           "a010",
                           "a9999999999999999999999",
                           "a10000000000000000000000",
                           "b",
                           "map",
                           "map1x",
                           "map2",
                           "map10",
                           "é"};
    const size_t n = sizeof names / sizeof names[0];
    for (size_t i = 0; i < n; i++)
        for (size_t j = 0; j < n; j++)
            EXPECT_EQ(name_before(names[i], names[j]), i < j) << names[i] << " | " << names[j];
}

TEST(IndexPage, EveryEntryComesBackFromThePageAndNoneFromOtherText)
{
    index_entry hostile = converted_entry("q\"&<'>\" data-mesh=\"x.msh", "s/../t.tex", 7);
    hostile.counts = polygon_counts{65535, 0, 65535, 0};
    hostile.palettes = 0xffff;
    hostile.files = {"a&b.png", "c d.obj", "\".mtl", "e.glb"};
    hostile.preview = "p.png";
    index_entry failed;
    failed.mesh = "map10.msh";
    failed.sheet = "z.tex";
    failed.reason = "truncated: \"18\" of <131072> bytes";
    failed.order = 18446744073709551615ull;
    std::vector<index_entry> entries = {converted_entry("map2.msh", "z.tex", 0), failed, hostile};
    std::vector<index_entry> back = read_index_entries(index_page(entries));
    ASSERT_EQ(back.size(), 3u);
    // In the page's order: by mesh name, numbers by value.
    EXPECT_EQ(entry_fields(back[0]), entry_fields(entries[0]));
    EXPECT_EQ(entry_fields(back[1]), entry_fields(entries[1]));
    EXPECT_EQ(entry_fields(back[2]), entry_fields(entries[2]));
    // Another page, or one whose marker is gone, gives nothing back.
    std::string page = index_page(entries);
    EXPECT_TRUE(read_index_entries("<html><article data-mesh=\"a\" data-sheet=\"b\"></article>").empty());
    EXPECT_TRUE(read_index_entries(page.substr(page.find("<body>"))).empty());
    EXPECT_TRUE(read_index_entries("").empty());
    // A page cut anywhere reads without fault, and gives back only whole cards.
    for (size_t cut = 0; cut < page.size(); cut += 7)
        EXPECT_LE(read_index_entries(page.substr(0, cut)).size(), 3u);
}

TEST(IndexPage, CardsShowWhatTheirPairWrote)
{
    // p with px_pt failed: the picture its name gives is another pair's, so it shows none.
    index_entry p = converted_entry("p", "px_pt", 1);
    p.converted = false;
    p.reason = "already written";
    p.preview = "p_px_pt_top.png";
    index_entry first = converted_entry("m1.msh", "s.tex", 1), second = converted_entry("m2.msh", "s.tex", 2),
                third = converted_entry("m3.msh", "s.tex", 3);
    first.preview = "m1.msh_s.tex_top.png";
    first.files.push_back("m1.msh_s.tex.glb");
    std::string page = index_page({third, second, first, p});
    EXPECT_EQ(count_of(page, "<img "), 1u);
    EXPECT_EQ(count_of(page, "p_px_pt_top.png"), 1u);  // in the data it keeps, not shown
    EXPECT_NE(page.find("<h1>3 of 4 pairs converted</h1>"), std::string::npos);
    // m3's pair put the shared sheet in place last: the other two cards say so, m1's with its .glb.
    EXPECT_EQ(count_of(page, "s.tex.png is shared: it shows the colours of m3.msh, whose pair wrote it last"), 2u);
    EXPECT_NE(page.find("last; this pair's own colours are in <a href=\"./m1.msh_s.tex.glb\">"), std::string::npos);
    EXPECT_EQ(count_of(page, "last.</p>"), 1u);
    // Cards and the list at the top come in name order, each list item leading to its card.
    size_t at1 = page.find("<h2>m1.msh"), at2 = page.find("<h2>m2.msh"), at3 = page.find("<h2>m3.msh"),
           atp = page.find("<h2>p with");
    EXPECT_TRUE(at1 < at2 && at2 < at3 && at3 < atp);
    EXPECT_NE(page.find("<li><a href=\"#pair-4\">p with px_pt</a> (not converted)</li>"), std::string::npos);
    EXPECT_NE(page.find("<article id=\"pair-4\" class=\"failed\""), std::string::npos);
    // The one failed entry alone still makes a page.
    EXPECT_NE(index_page({p}).find("<h1>0 of 1 pairs converted</h1>"), std::string::npos);
    EXPECT_NE(index_page({}).find("<h1>0 of 0 pairs converted</h1>"), std::string::npos);
}

TEST(IndexPage, ALaterRunKeepsEveryPairWhoseFilesAreThere)
{
    index_entry kept = converted_entry("a.msh", "s.tex", 4), gone = converted_entry("b.msh", "s.tex", 9),
                rerun = converted_entry("c.msh", "s.tex", 2), failed = converted_entry("d.msh", "s.tex", 3),
                replaced = converted_entry("p", "px_pt", 5);
    failed.converted = false;
    index_entry again = converted_entry("c.msh", "s.tex", 0), fails_now = converted_entry("e.msh", "s.tex", 0),
                other = converted_entry("p_px", "pt", 0);
    fails_now.converted = false;
    auto exists = [](const std::string& file) { return file != "b.msh_s.tex.obj"; };
    std::vector<index_entry> merged =
        merged_entries({kept, gone, rerun, failed, replaced}, {again, fails_now, other}, exists);
    ASSERT_EQ(merged.size(), 4u);
    EXPECT_EQ(merged[0].mesh, "a.msh");
    EXPECT_EQ(merged[0].order, 4u);
    // This run's pairs, its failure too, come after the latest earlier one.
    EXPECT_EQ(merged[1].mesh, "c.msh");
    EXPECT_EQ(merged[1].order, 10u);
    EXPECT_EQ(merged[2].mesh, "e.msh");
    EXPECT_EQ(merged[2].order, 11u);
    EXPECT_EQ(merged[3].mesh, "p_px");  // p with px_pt's OBJ now holds p_px with pt
    EXPECT_EQ(merged_entries({}, {}, exists).size(), 0u);
}

TEST(Preview, TheIndexPageLinksEveryFileAndEscapesEveryName)
{
    // Names with blanks, &, <, #, % and letters of other languages; one sheet that fails.
    scratch_folder folder;
    std::string mesh = write_map_mesh([] {
        written_mesh m = banded_mesh();
        m.tex_quads.push_back(cell_quad(0, 0, 0));
        return m;
    }());
#if defined(_WIN32)
    // Windows names hold no '<', and the tests' files are made through the ANSI code page.
    const char* names[] = {"m a&b.msh", "m (i)#1%.msh", "m e.msh"};
    const std::string marked = "m (i)#1%.msh";
#else
    const char* names[] = {"m a&b.msh", "m <i>#1%.msh", "m é東.msh"};
    const std::string marked = "m &lt;i&gt;#1%.msh";
#endif
    for (const char* name : names)
        ASSERT_EQ(write_file(folder / name, mesh), 0);
    ASSERT_EQ(write_file(folder / "m sheet #2.tex", write_texture(bands, nullptr)), 0);
    ASSERT_EQ(write_file(folder / "m short.tex", "short"), 0);
    program_run run = run_mapconv(folder.path, {"--preview", "--glb", "m"});
    EXPECT_EQ(run.status, 1);
    std::string page = read_file(folder / "index.html");
    EXPECT_NE(page.find("<h1>3 of 6 pairs converted</h1>"), std::string::npos);
    EXPECT_EQ(page.find("<i>"), std::string::npos);  // the name's markup is text, not markup
    EXPECT_NE(page.find(marked + " with m sheet #2.tex"), std::string::npos);
    EXPECT_NE(page.find("m a&amp;b.msh with m short.tex"), std::string::npos);
    EXPECT_NE(page.find("not a texture sheet (5 bytes; a sheet has 131,072)"), std::string::npos);
    // Every link and picture leads to a file of the folder, or to a card of the page.
    size_t links = 0, pictures = 0, anchors = 0;
    for (const char* attribute : {"href=\"", "src=\""}) {
        for (size_t at = page.find(attribute); at != std::string::npos; at = page.find(attribute, at + 1)) {
            size_t start = at + strlen(attribute), end = page.find('"', start);
            std::string target = percent_decoded(page.substr(start, end - start));
            if (target[0] == '#') {
                EXPECT_NE(page.find("id=\"" + target.substr(1) + "\""), std::string::npos) << target;
                anchors++;
                continue;
            }
            ASSERT_EQ(target.rfind("./", 0), 0u) << target;
            EXPECT_TRUE(exists(folder / target.substr(2))) << target;
            (attribute[0] == 'h' ? links : pictures)++;
        }
    }
    EXPECT_EQ(pictures, 3u);
    // Sheet, OBJ, MTL and .glb, and the picture; and two cards' .glb again, where the note says
    // the shared sheet PNG shows the third mesh's colours.
    EXPECT_EQ(links, 3u * (4 + 1) + 2);
    EXPECT_EQ(anchors, 6u);
    EXPECT_EQ(count_of(page, " is shared: it shows the colours of "), 2u);
    EXPECT_EQ(page.find("loading=\"lazy\""), page.find("loading="));
    open_in_browsers(folder / "index.html", "3 pictures, 23 links, 0 faults");
    // A later run never takes the page, nor the pictures, for inputs.
    program_run again = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(again.out.substr(0, 35), "3 meshes found\n2 possible textures\n");
    // A later run's page shows the earlier runs' pairs whose OBJ is still there, and its own.
    ASSERT_EQ(remove((folder / (std::string(names[2]) + "_m sheet #2.tex.obj")).c_str()), 0);
    program_run later = run_mapconv(folder.path, {"--preview", "m a&b.msh", "m short.tex"});
    EXPECT_EQ(later.status, 1);
    page = read_file(folder / "index.html");
    EXPECT_NE(page.find("<h1>2 of 3 pairs converted</h1>"), std::string::npos) << page;
    EXPECT_NE(page.find("<h2>" + marked + " with m sheet #2.tex</h2>"), std::string::npos);
    EXPECT_NE(page.find("<h2>m a&amp;b.msh with m short.tex</h2>"), std::string::npos);
#if !defined(_WIN32)
    // A name too long for its outputs fails its pair, and its card neither shows a broken picture
    // nor widens the page.
    std::string long_name = "m " + std::string(240, 'l') + ".msh";
    ASSERT_EQ(write_file(folder / long_name, mesh), 0);
    program_run too_long = run_mapconv(folder.path, {"--preview", long_name, "m sheet #2.tex"});
    EXPECT_EQ(too_long.status, 1);
    page = read_file(folder / "index.html");
    EXPECT_NE(page.find("<h1>2 of 3 pairs converted</h1>"), std::string::npos);
    EXPECT_NE(page.find("File name too long"), std::string::npos);
    // Two cards of files and pictures, one saying the other's pair wrote the shared sheet.
    open_in_browsers(folder / "index.html", "2 pictures, 14 links, 0 faults");
#endif
}
