#include "mesh/read_map_mesh.h"

#include <cerrno>
#include <cstdlib>

namespace {

uint16_t u16_at(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

// Positions and normals are stored in hundredths, with y negated. The negation is done on the
// 16-bit integer first, so -32768 stays -32768 and 0 never becomes -0.0.
void decode_corner(const uint8_t* p, float out[3])
{
    out[0] = float(int16_t(u16_at(p))) / 100.0f;
    out[1] = float(int16_t(uint16_t(0u - u16_at(p + 2)))) / 100.0f;
    out[2] = float(int16_t(u16_at(p + 4))) / 100.0f;
}

// Reads a triangle section and the quad section after it into out, which holds T + 2Q entries.
// A quad A, B, C, D becomes (A, B, C) and (B, D, C).
const uint8_t* decode_vectors(const uint8_t* p, uint32_t tris, uint32_t quads, tri_vectors* out)
{
    for (uint32_t t = 0; t < tris; t++, p += tri_vector_size)
        for (int c = 0; c < 3; c++)
            decode_corner(p + corner_vector_size * c, out[t].corner[c]);
    for (uint32_t q = 0; q < quads; q++, p += quad_vector_size) {
        tri_vectors* first = &out[tris + 2 * q];
        tri_vectors* second = first + 1;
        for (int c = 0; c < 3; c++)
            decode_corner(p + corner_vector_size * c, first->corner[c]);
        for (int k = 0; k < 3; k++) {
            second->corner[0][k] = first->corner[1][k];
            second->corner[2][k] = first->corner[2][k];
        }
        decode_corner(p + 3 * corner_vector_size, second->corner[1]);
    }
    return p;
}

// One texture record: corners 0-2 of (u, v), the palette byte after corner 0 and the page byte
// after corner 1. The page moves every v into its quarter of the 1024-row sheet.
void decode_texture_record(const uint8_t* p, tri_uvs* uvs, face_texinfo* face)
{
    face->palette_number = p[2];
    face->page_offset = uint16_t((p[6] & 3) * 256);
    const uint8_t* corner[3] = {p, p + 4, p + 8};
    for (int c = 0; c < 3; c++) {
        uvs->corner[c][0] = corner[c][0];
        uvs->corner[c][1] = uint16_t(corner[c][1] + face->page_offset);
    }
}

const uint8_t* decode_texture_records(const uint8_t* p, uint32_t tris, uint32_t quads, tri_uvs* uvs,
                                      face_texinfo* faces)
{
    for (uint32_t t = 0; t < tris; t++, p += tri_texture_size)
        decode_texture_record(p, &uvs[t], &faces[t]);
    for (uint32_t q = 0; q < quads; q++, p += quad_texture_size) {
        uint32_t t = tris + 2 * q;
        decode_texture_record(p, &uvs[t], &faces[t]);
        faces[t + 1] = faces[t];
        uvs[t + 1].corner[0][0] = uvs[t].corner[1][0];
        uvs[t + 1].corner[0][1] = uvs[t].corner[1][1];
        uvs[t + 1].corner[2][0] = uvs[t].corner[2][0];
        uvs[t + 1].corner[2][1] = uvs[t].corner[2][1];
        // Corner D follows the triangle record's ten bytes.
        uvs[t + 1].corner[1][0] = p[tri_texture_size];
        uvs[t + 1].corner[1][1] = uint16_t(p[tri_texture_size + 1] + faces[t].page_offset);
    }
    return p;
}

// A 5-bit channel scaled by 255/32, truncated: 31 gives 247, not 255.
uint16_t scale_channel(unsigned k)
{
    return uint16_t((k * 255) / 32);
}

void decode_palettes(const uint8_t* p, palette_table* table)
{
    for (int i = 0; i < palette_count * colours_per_palette; i++, p += 2) {
        unsigned w = u16_at(p);
        palette_colour* colour = &table->colours[i];
        colour->zero = 0;
        colour->red = scale_channel(w & 31);
        colour->green = scale_channel((w >> 5) & 31);
        colour->blue = scale_channel((w >> 10) & 31);
    }
}

int refuse(console_log* log)
{
    log_out(log, "%s", not_a_mesh);
    return -1;
}

int refuse_truncated(console_log* log, const char* name, long got, size_t needed)
{
    log_error(log, name, "truncated: %ld of %zu bytes", got, needed);
    return refuse(log);
}

int refuse_unreadable(console_log* log, const char* name, int error)
{
    note_error(log, error);
    log_error(log, name, "%s", error_text(error).c_str());
    return refuse(log);
}

}  // namespace

int check_mesh(const byte_source* source)
{
    uint8_t marker;
    long got = read_source(source, mesh_marker_offset, &marker, 1);
    return got == 1 && marker == mesh_block_offset ? 0 : -1;
}

namespace {

// Checks the header and reads the counts into the first bytes of block. Returns 0, or -1 after
// "Not a mesh file." and a reason.
int read_header(const byte_source* source, const char* name, polygon_counts* counts, std::vector<uint8_t>* block,
                console_log* log)
{
    uint8_t head[counts_end];
    long got = read_source(source, 0, head, sizeof head);
    if (got < 0)
        return refuse_unreadable(log, name, errno);
    constexpr long marker_end = mesh_marker_offset + 4;
    if (got < marker_end)
        return refuse_truncated(log, name, got, marker_end);

    const uint8_t* marker = head + mesh_marker_offset;
    uint32_t offset =
        uint32_t(marker[0]) | uint32_t(marker[1]) << 8 | uint32_t(marker[2]) << 16 | uint32_t(marker[3]) << 24;
    if (offset != mesh_block_offset) {
        log_error(log, name, "mesh block offset is %u, not %u", offset, mesh_block_offset);
        return refuse(log);
    }
    if (size_t(got) < counts_end)
        return refuse_truncated(log, name, got, counts_end);

    const uint8_t* c = head + mesh_block_offset;
    counts->tex_tri_count = u16_at(c);
    counts->tex_quad_count = u16_at(c + 2);
    counts->untex_tri_count = u16_at(c + 4);
    counts->untex_quad_count = u16_at(c + 6);
    log_out(log, "%i\n", int(counts->untex_quad_count));
    if (counts->tex_tri_count == 0 && counts->tex_quad_count == 0 && counts->untex_tri_count == 0 &&
        counts->untex_quad_count == 0) {
        log_error(log, name, "all four polygon counts are zero");
        return refuse(log);
    }
    block->assign(c, c + counts_size);
    return 0;
}

// Reads the rest of the block after its counts, never more than it needs, and before anything is
// sized from the counts. Returns 0, or -1 after "Not a mesh file." and a reason.
int read_sections(const byte_source* source, const char* name, const polygon_counts& counts,
                  std::vector<uint8_t>* block, console_log* log)
{
    size_t least = map_mesh_least_size(counts);
    long long size = source_size(source);
    if (size >= 0 && size_t(size) < least)
        return refuse_truncated(log, name, long(size), least);
    block->resize(least - mesh_block_offset);
    size_t wanted = least - counts_end;
    long rest = read_source(source, counts_end, block->data() + counts_size, wanted);
    if (rest < 0)
        return refuse_unreadable(log, name, errno);
    if (size_t(rest) < wanted)
        return refuse_truncated(log, name, long(counts_end) + rest, least);
    return 0;
}

// Decodes the sections that follow the counts in block into *mesh.
void decode_sections(const std::vector<uint8_t>& block, const polygon_counts& counts, map_mesh* mesh)
{
    uint32_t textured = textured_triangle_count(counts);
    uint32_t untextured = untextured_triangle_count(counts);
    mesh->counts = counts;
    mesh->tex_positions.resize(textured);
    mesh->untex_positions.resize(untextured);
    mesh->tex_normals.resize(textured);
    mesh->tex_uvs.resize(textured);
    mesh->tex_faces.resize(textured);

    // The walk reads the sections in file order without checking each record: block holds exactly
    // counts_size + mesh_sections_size(counts) + palette_area_size bytes, which is what the records
    // of these counts take.
    const uint8_t* p = block.data() + counts_size;
    p = decode_vectors(p, counts.tex_tri_count, counts.tex_quad_count, mesh->tex_positions.data());
    p = decode_vectors(p, counts.untex_tri_count, counts.untex_quad_count, mesh->untex_positions.data());
    p = decode_vectors(p, counts.tex_tri_count, counts.tex_quad_count, mesh->tex_normals.data());
    p = decode_texture_records(p, counts.tex_tri_count, counts.tex_quad_count, mesh->tex_uvs.data(),
                               mesh->tex_faces.data());
    // Two areas of per-polygon data that nothing here uses.
    p += (size_t(counts.untex_tri_count) + counts.untex_quad_count) * untextured_extra_size;
    p += (size_t(counts.tex_tri_count) + counts.tex_quad_count) * textured_extra_size;
    // Where the walk stands is a fact of this file's code, never of the input: stop on a mismatch
    // rather than read past the block.
    if (p + palette_area_size != block.data() + block.size())
        abort();
    decode_palettes(p, &mesh->palettes);
}

}  // namespace

int read_map_mesh(const byte_source* source, const char* name, map_mesh* mesh, std::vector<uint8_t>* block,
                  console_log* log)
{
    polygon_counts counts;
    if (read_header(source, name, &counts, block, log) != 0 || read_sections(source, name, counts, block, log) != 0)
        return -1;
    log_out(log, "Triangles in Map: %i\n", int(counts.tex_tri_count));
    log_out(log, "Quads in Map: %i\n", int(counts.tex_quad_count));
    log_out(log, "Untextured Triangles in Map: %i\n", int(counts.untex_tri_count));
    log_out(log, "Untextured Quads in Map: %i\n", int(counts.untex_quad_count));
    decode_sections(*block, counts, mesh);
    return 0;
}
