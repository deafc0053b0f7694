// Writes seed inputs for the fuzz targets from the test writer: make_seeds FOLDER
#include <cstring>
#include <string>

#include "fuzz_map.h"
#include "gltf/encode_glb.h"
#include "mesh/read_map_mesh.h"
#include "texture/export_texture.h"
#include "texture/texture_image.h"
#include "wavefront/wavefront.h"

static written_mesh seed_mesh(int tris, int quads, int untex_tris, int untex_quads)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < tris + quads + untex_tris + untex_quads; i++) {
        written_polygon p = cell_quad(i % 4, i * 30, i / 4);
        for (int c = 0; c < 4; c++)
            p.uv[c] = {uint8_t(c * 60 + i), uint8_t(255 - c * 40)};
        p.page_byte = uint8_t(i);
        p.palette_byte = uint8_t(i * 37);
        if (i < tris)
            m.tex_tris.push_back(p);
        else if (i < tris + quads)
            m.tex_quads.push_back(p);
        else if (i < tris + quads + untex_tris)
            m.untex_tris.push_back(p);
        else
            m.untex_quads.push_back(p);
    }
    return m;
}

static int pattern(int x, int y, void*)
{
    return (x / 8 + y / 8) & 15;
}

// Pictures of a sheet: RGB as mapconv writes it, and a 4-bit palette PNG of the fuzz target's
// palette, at the fastest compression, as most of their bytes are IDAT either way.
static void write_sheet_seeds(const std::string& folder)
{
    std::vector<uint8_t> sheet(sheet_file_bytes);
    for (size_t i = 0; i < sheet.size(); i++)
        sheet[i] = uint8_t(i * 131 + i / 128);
    palette_colour palette[16];
    for (int i = 0; i < 16; i++)
        palette[i] = palette_colour{0, uint16_t(i * 16), uint16_t(240 - i * 8), uint16_t(i * 3 % 16 * 16)};
    palette[9] = palette[4];
    texture_image image;
    decode_texture(sheet.data(), palette, &image);
    std::vector<uint8_t> png;
    byte_sink sink = memory_sink(&png);
    std::string error;
    encode_png_pixels(image.pixels.data(), sheet_width, sheet_height, false, true, &sink, &error);
    write_file(folder + "/sheet_write_back/rgb", std::string(png.begin(), png.end()));
    png.clear();
    encode_indexed_sheet(sheet, palette, &sink, &error);
    write_file(folder + "/sheet_write_back/indexed", std::string(png.begin(), png.end()));
}

int main(int argc, char** argv)
{
    std::string folder = argc > 1 ? argv[1] : ".";
    const int shapes[][4] = {{1, 0, 0, 0}, {0, 0, 0, 1}, {1, 2, 3, 4}, {2, 1, 0, 3}, {0, 3, 2, 0}};
    int n = 0;
    for (const auto& s : shapes) {
        std::string mesh = write_map_mesh(seed_mesh(s[0], s[1], s[2], s[3]));
        write_file(folder + "/read_map_mesh/seed" + std::to_string(n), mesh);
        // The pair target: the options (each combination), two length bytes, the mesh, then the
        // start of a sheet.
        std::string pair;
        pair += char(n * 3 & 15);
        pair += char(mesh.size() & 0xff);
        pair += char(mesh.size() >> 8);
        pair += mesh;
        pair += write_texture(pattern, nullptr).substr(0, 512);
        write_file(folder + "/convert_pair/seed" + std::to_string(n), pair);
        n++;
    }
    std::string palette;
    for (int i = 0; i < 16; i++) {
        uint16_t w = colour_word(i * 2, 31 - i * 2, i);
        palette += char(w & 0xff);
        palette += char(w >> 8);
    }
    write_file(folder + "/texture/seed0", palette + write_texture(pattern, nullptr).substr(0, 1024));
    write_file(folder + "/texture/seed1", palette + std::string("\x0d\x0a\x1a\xff\x00\x12", 6));
    write_file(folder + "/texture/seed2", palette + write_texture(pattern, nullptr));

    // The write-back target: the OBJ of the fuzz map, as stored and by palette, and its .glb.
    std::string map_bytes = write_map_mesh(fuzz_map());
    map_mesh mesh;
    std::vector<uint8_t> block;
    read_problem problem;
    byte_source source = memory_source(map_bytes.data(), map_bytes.size());
    if (read_map_mesh(&source, &mesh, &block, &problem) != 0)
        return 1;
    std::vector<int> palettes = {0, 1, 2, 4, 5, 10, 11, 15};
    for (int by_palette = 0; by_palette < 2; by_palette++) {
        std::vector<uint8_t> obj;
        std::vector<char> text;
        byte_sink sink = memory_sink(&obj);
        face_orders orders = choose_face_orders(&mesh);
        write_obj_body(&mesh, obj_materials{&palettes, by_palette}, by_palette ? &orders : nullptr, &text, &sink);
        write_file(folder + "/write_back/seed" + std::to_string(by_palette), std::string(obj.begin(), obj.end()));
    }
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G'}, glb;
    std::vector<glb_sheet> sheets = {{0, &png}, {5, &png}};
    byte_sink sink = memory_sink(&glb);
    std::string error;
    if (encode_glb(&mesh, sheets, "fuzz", &sink, &error) == 0)
        write_file(folder + "/write_back/seed2", std::string(glb.begin(), glb.end()));
    // What a careless or hostile editor writes: numbers that do not read whole, indices past their
    // lists and 32 bits, and a .glb whose JSON nests deep and whose nodes list a child twice.
    std::string hostile[] = {
        "v nan 1 2\nv inf 0 0\nv 1,5 2 3\nv 12abc 0 0\nv 1\nvt 0.5\nvn x 0 0\n",
        "v 0 0 0\nvt 0 0\no terrain\nf 1/1 4294967297/1 99999999999999999999/1\nf -1/-1 -2/-1 0/0\n",
        "v 1 2 3\ng tex\nusemtl palette_3.001\nf 1 1 1\ng skirt\nf 1 1 1\n"};
    for (size_t i = 0; i < 3; i++)
        write_file(folder + "/write_back/hostile" + std::to_string(i), hostile[i]);
    if (glb.size() > 20) {
        size_t json_size = size_t(glb[12] | glb[13] << 8 | glb[14] << 16 | glb[15] << 24);
        std::string text(glb.begin() + 20, glb.begin() + 20 + long(json_size));
        std::string deep = text;
        deep.insert(deep.rfind('}'), ",\"extras\":" + std::string(3000, '[') + std::string(3000, ']'));
        std::string twice = text;
        twice.insert(twice.find("\"nodes\":[") + 9, "{\"children\":[1,1]},");
        std::string bin(glb.begin() + 20 + long(json_size), glb.end());
        for (const std::string* json : {&deep, &twice}) {
            std::string padded = *json + std::string((4 - json->size() % 4) % 4, ' ');
            std::string out = "glTF";
            for (uint32_t v : {2u, uint32_t(12 + 8 + padded.size() + bin.size()), uint32_t(padded.size()), 0x4E4F534Au})
                for (int b = 0; b < 4; b++)
                    out += char(v >> (8 * b));
            out += padded + bin;
            write_file(folder + "/write_back/hostile_glb" + std::to_string(json == &deep), out);
        }
    }
    write_sheet_seeds(folder);
    return 0;
}
