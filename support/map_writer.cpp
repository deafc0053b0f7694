#include "map_writer.h"

#include <cstdio>

static void put_u16(std::string& b, uint16_t v)
{
    b += char(v & 0xff);
    b += char(v >> 8);
}

static void put_u32(std::string& b, uint32_t v)
{
    put_u16(b, uint16_t(v & 0xffff));
    put_u16(b, uint16_t(v >> 16));
}

// The order in which a polygon's corners are written: as given, or with corners 1 and 2 swapped,
// which reverses the winding of a triangle and of both triangles of a quad.
static int file_corner(int c, bool reverse)
{
    return reverse && (c == 1 || c == 2) ? 3 - c : c;
}

static void put_vectors(std::string& b, const std::vector<written_polygon>& list, int corners, bool normals,
                        bool reverse)
{
    for (const written_polygon& p : list)
        for (int c = 0; c < corners; c++) {
            int k = file_corner(c, reverse);
            const corner_vector& v = normals ? p.normal[k] : p.position[k];
            put_u16(b, uint16_t(v.x));
            put_u16(b, uint16_t(v.y));
            put_u16(b, uint16_t(v.z));
        }
}

static void put_texture_records(std::string& b, const std::vector<written_polygon>& list, int corners, bool reverse)
{
    for (const written_polygon& p : list) {
        const corner_uv* uv[4];
        for (int c = 0; c < 4; c++)
            uv[c] = &p.uv[file_corner(c, reverse)];
        b += char(uv[0]->u);
        b += char(uv[0]->v);
        b += char(p.palette_byte);
        b += '\0';
        b += char(uv[1]->u);
        b += char(uv[1]->v);
        b += char(p.page_byte);
        b += '\0';
        b += char(uv[2]->u);
        b += char(uv[2]->v);
        if (corners == 4) {
            b += char(uv[3]->u);
            b += char(uv[3]->v);
        }
    }
}

written_mesh empty_mesh()
{
    written_mesh m;
    for (int i = 0; i < 256; i++) {
        int k = (i % 16) * 2;
        m.palette_words[i] = colour_word(k, k, k);
    }
    return m;
}

written_polygon cell_quad(int x, int height, int z)
{
    written_polygon p = {};
    for (int c = 0; c < 4; c++) {
        // The file stores y with the opposite sign.
        int dx = c >> 1, dz = c & 1;
        p.position[c] = {int16_t((x + dx) * 100), int16_t(-height), int16_t((z + dz) * 100)};
        p.normal[c] = {0, -100, 0};
        p.uv[c] = {uint8_t(dx * 255), uint8_t(dz * 255)};
    }
    return p;
}

std::string write_map_mesh(const written_mesh& m)
{
    std::string b = m.header_fill;
    b.resize(64, '\0');
    put_u32(b, m.block_offset);
    b.resize(0xC4, '\0');
    put_u16(b, uint16_t(m.tex_tris.size()));
    put_u16(b, uint16_t(m.tex_quads.size()));
    put_u16(b, uint16_t(m.untex_tris.size()));
    put_u16(b, uint16_t(m.untex_quads.size()));
    bool r = m.reverse_corners;
    put_vectors(b, m.tex_tris, 3, false, r);
    put_vectors(b, m.tex_quads, 4, false, r);
    put_vectors(b, m.untex_tris, 3, false, r);
    put_vectors(b, m.untex_quads, 4, false, r);
    put_vectors(b, m.tex_tris, 3, true, r);
    put_vectors(b, m.tex_quads, 4, true, r);
    put_texture_records(b, m.tex_tris, 3, r);
    put_texture_records(b, m.tex_quads, 4, r);
    // The two skipped areas hold data this format's readers ignore: fill them with noise.
    for (size_t i = 0; i < (m.untex_tris.size() + m.untex_quads.size()) * 4; i++)
        b += char(0xA5);
    for (size_t i = 0; i < (m.tex_tris.size() + m.tex_quads.size()) * 2; i++)
        b += char(0x5A);
    for (int i = 0; i < 256; i++)
        put_u16(b, m.palette_words[i]);
    b += m.trailer;
    return b;
}

std::string write_texture(int (*index_of)(int x, int y, void* context), void* context)
{
    std::string b;
    b.reserve(131072);
    for (int y = 0; y < 1024; y++)
        for (int x = 0; x < 256; x += 2)
            b += char((index_of(x, y, context) & 15) << 4 | (index_of(x + 1, y, context) & 15));
    return b;
}

int write_file(const std::string& name, const std::string& bytes)
{
    FILE* f = fopen(name.c_str(), "wb");
    if (!f)
        return -1;
    size_t put = fwrite(bytes.data(), 1, bytes.size(), f);
    int closed = fclose(f);
    return put == bytes.size() && closed == 0 ? 0 : -1;
}

std::string read_file(const std::string& name)
{
    std::string bytes;
    FILE* f = fopen(name.c_str(), "rb");
    if (!f)
        return bytes;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, n);
    fclose(f);
    return bytes;
}
