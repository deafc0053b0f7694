// --preview: maps whose pictures are known pixel for pixel, a random map whose every pixel is a
// colour its triangles may show, and the index page's names and links.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "map_writer.h"
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

}  // namespace

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
    // Every link and picture leads to a file of the folder.
    size_t links = 0, pictures = 0;
    for (const char* attribute : {"href=\"", "src=\""}) {
        for (size_t at = page.find(attribute); at != std::string::npos; at = page.find(attribute, at + 1)) {
            size_t start = at + strlen(attribute), end = page.find('"', start);
            std::string target = percent_decoded(page.substr(start, end - start));
            ASSERT_EQ(target.rfind("./", 0), 0u) << target;
            EXPECT_TRUE(exists(folder / target.substr(2))) << target;
            (attribute[0] == 'h' ? links : pictures)++;
        }
    }
    EXPECT_EQ(pictures, 3u);
    EXPECT_EQ(links, 3u * (4 + 1));  // sheet, OBJ, MTL and .glb, and the picture
    EXPECT_EQ(page.find("loading=\"lazy\""), page.find("loading="));
    // Opened from the disk in headless Chromium, as a person would: every picture shows, every
    // link leads to a file, no error is logged.
#if defined(_WIN32)
    printf("  the page is opened in Chromium by the Linux suite only\n");
#else
    std::string checker = std::string(MAPCONV_SOURCE_DIR) + "/tools/render/check-index.js";
    bool browser = exists("/usr/bin/chromium") &&
                   exists(std::string(MAPCONV_SOURCE_DIR) + "/tools/render/node_modules/playwright-core/package.json");
    if (browser || getenv("CI")) {
        std::string command = "node '" + checker + "' '" + (folder / "index.html") + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string report;
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe))
            report += buffer;
        EXPECT_EQ(pclose(pipe), 0) << report;
        EXPECT_NE(report.find("3 pictures, 15 links, 0 faults"), std::string::npos) << report;
    } else {
        printf("  the page is not opened in Chromium: it or playwright-core (scripts/setup.sh tests) is missing\n");
    }
#endif
    // A later run never takes the page, nor the pictures, for inputs.
    program_run again = run_mapconv(folder.path, {"m"});
    EXPECT_EQ(again.out.substr(0, 35), "3 meshes found\n2 possible textures\n");
}
