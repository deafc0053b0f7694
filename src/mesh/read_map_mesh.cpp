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

// Decodes a vector section into out, which holds T + 2Q entries: its triangles, then each quad as
// its two triangles.
void decode_vectors(const uint8_t* section, uint32_t tris, uint32_t quads, tri_vectors* out)
{
    for (uint32_t t = 0; t < tris; t++) {
        const uint8_t* record = section + record_offset(t, tris, tri_vector_size, quad_vector_size);
        for (int c = 0; c < 3; c++)
            decode_corner(record + corner_vector_size * c, out[t].corner[c]);
    }
    for (uint32_t q = 0; q < quads; q++) {
        const uint8_t* record = section + record_offset(tris + q, tris, tri_vector_size, quad_vector_size);
        for (int half = 0; half < 2; half++)
            for (int c = 0; c < 3; c++)
                decode_corner(record + corner_vector_size * quad_triangle_corners[half][c],
                              out[tris + 2 * q + half].corner[c]);
    }
}

// Decodes the texture records into uvs and faces (T + 2Q entries each). The page moves every v into
// its quarter of the 1024-row sheet.
void decode_texture_records(const uint8_t* section, uint32_t tris, uint32_t quads, tri_uvs* uvs, face_texinfo* faces)
{
    for (uint32_t k = 0; k < tris + quads; k++) {
        const uint8_t* record = section + record_offset(k, tris, tri_texture_size, quad_texture_size);
        face_texinfo face;
        face.palette_number = record[texture_record_palette_at];
        face.page_offset = uint16_t((record[texture_record_page_at] & 3) * page_rows);
        // corner c of the record: (u, v) with the page added
        auto put = [&](tri_uvs* to, int corner, int c) {
            to->corner[corner][0] = record[texture_record_uv_at[c]];
            to->corner[corner][1] = uint16_t(record[texture_record_uv_at[c] + 1] + face.page_offset);
        };
        if (k < tris) {
            faces[k] = face;
            for (int c = 0; c < 3; c++)
                put(&uvs[k], c, c);
            continue;
        }
        uint32_t t = tris + 2 * (k - tris);
        for (int half = 0; half < 2; half++) {
            faces[t + half] = face;
            for (int c = 0; c < 3; c++)
                put(&uvs[t + half], c, quad_triangle_corners[half][c]);
        }
    }
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

int refuse(read_problem* problem, std::string reason, int error = 0)
{
    problem->reason = std::move(reason);
    problem->error = error;
    return -1;
}

int refuse_truncated(read_problem* problem, long long got, size_t needed)
{
    return refuse(problem, "truncated: " + std::to_string(got) + " of " + std::to_string(needed) + " bytes");
}

int refuse_unreadable(read_problem* problem, int error)
{
    return refuse(problem, error_text(error), error);
}

// Decodes the sections that follow the counts in the block (size bytes, from its counts) into *mesh.
void decode_sections(const uint8_t* block, size_t size, const polygon_counts& counts, map_mesh* mesh)
{
    uint32_t textured = textured_triangle_count(counts);
    uint32_t untextured = untextured_triangle_count(counts);
    mesh->counts = counts;
    mesh->tex_positions.resize(textured);
    mesh->untex_positions.resize(untextured);
    mesh->tex_normals.resize(textured);
    mesh->tex_uvs.resize(textured);
    mesh->tex_faces.resize(textured);

    // Every section lies within the block: it holds exactly the bytes the counts' records take.
    mesh_sections s = mesh_section_offsets(counts);
    if (size != s.end)
        abort();  // a fact of this file's code, never of the input
    const uint8_t* b = block;
    uint32_t tt = counts.tex_tri_count, tq = counts.tex_quad_count;
    decode_vectors(b + s.tex_positions, tt, tq, mesh->tex_positions.data());
    decode_vectors(b + s.untex_positions, counts.untex_tri_count, counts.untex_quad_count,
                   mesh->untex_positions.data());
    decode_vectors(b + s.tex_normals, tt, tq, mesh->tex_normals.data());
    decode_texture_records(b + s.tex_textures, tt, tq, mesh->tex_uvs.data(), mesh->tex_faces.data());
    // The two skipped areas hold per-polygon data that nothing here uses.
    decode_palettes(b + s.palettes, &mesh->palettes);
}

}  // namespace

int check_mesh(const byte_source* source)
{
    uint8_t marker;
    long got = read_source(source, mesh_marker_offset, &marker, 1);
    return got == 1 && marker == mesh_block_offset ? 0 : -1;
}

int read_mesh_counts(const byte_source* source, polygon_counts* counts, read_problem* problem)
{
    uint8_t head[counts_end];
    long got = read_source(source, 0, head, sizeof head);
    if (got < 0)
        return refuse_unreadable(problem, errno);
    constexpr long marker_end = mesh_marker_offset + 4;
    if (got < marker_end)
        return refuse_truncated(problem, got, marker_end);

    const uint8_t* marker = head + mesh_marker_offset;
    uint32_t offset =
        uint32_t(marker[0]) | uint32_t(marker[1]) << 8 | uint32_t(marker[2]) << 16 | uint32_t(marker[3]) << 24;
    if (offset != mesh_block_offset)
        return refuse(problem,
                      "mesh block offset is " + std::to_string(offset) + ", not " + std::to_string(mesh_block_offset));
    if (size_t(got) < counts_end)
        return refuse_truncated(problem, got, counts_end);

    const uint8_t* c = head + mesh_block_offset;
    counts->tex_tri_count = u16_at(c);
    counts->tex_quad_count = u16_at(c + 2);
    counts->untex_tri_count = u16_at(c + 4);
    counts->untex_quad_count = u16_at(c + 6);
    return 0;
}

namespace {

// A block with these counts: not all zero, and (where the input's size can be told) the input long
// enough for it. Returns 0 with *least, the bytes the file needs, or -1 with *problem set.
int check_block(const byte_source* source, const polygon_counts& counts, size_t* least, read_problem* problem)
{
    if (counts.tex_tri_count == 0 && counts.tex_quad_count == 0 && counts.untex_tri_count == 0 &&
        counts.untex_quad_count == 0)
        return refuse(problem, "all four polygon counts are zero");
    // Never more than the counts need, and nothing sized from them before the file is known to
    // be long enough, where its size can be told.
    *least = map_mesh_least_size(counts);
    long long size = source_size(source);
    if (size >= 0 && size_t(size) < *least)
        return refuse_truncated(problem, size, *least);
    return 0;
}

}  // namespace

int read_mesh_block(const byte_source* source, const polygon_counts& counts, map_mesh* mesh,
                    std::vector<uint8_t>* block, read_problem* problem)
{
    size_t least;
    if (check_block(source, counts, &least, problem) != 0)
        return -1;
    // A mesh already in memory, whole, is decoded where it lies when no copy of its block is wanted.
    if (!block && source->fd < 0) {
        decode_sections(source->data + mesh_block_offset, least - mesh_block_offset, counts, mesh);
        return 0;
    }
    std::vector<uint8_t> own;
    if (!block)
        block = &own;
    block->resize(least - mesh_block_offset);
    long got = read_source(source, mesh_block_offset, block->data(), block->size());
    if (got < 0)
        return refuse_unreadable(problem, errno);
    if (size_t(got) < block->size())
        return refuse_truncated(problem, mesh_block_offset + got, least);
    // The block says what the mesh was decoded from: its counts are these, whatever a file that
    // changed between the two reads holds now.
    uint16_t words[4] = {counts.tex_tri_count, counts.tex_quad_count, counts.untex_tri_count, counts.untex_quad_count};
    for (int i = 0; i < 4; i++) {
        (*block)[2 * size_t(i)] = uint8_t(words[i] & 0xff);
        (*block)[2 * size_t(i) + 1] = uint8_t(words[i] >> 8);
    }
    decode_sections(block->data(), block->size(), counts, mesh);
    return 0;
}

int read_map_mesh(const byte_source* source, map_mesh* mesh, std::vector<uint8_t>* block, read_problem* problem)
{
    polygon_counts counts;
    if (read_mesh_counts(source, &counts, problem) != 0)
        return -1;
    return read_mesh_block(source, counts, mesh, block, problem);
}

int read_mesh_palettes(const byte_source* source, palette_table* palettes, read_problem* problem)
{
    polygon_counts counts;
    size_t least;
    if (read_mesh_counts(source, &counts, problem) != 0 || check_block(source, counts, &least, problem) != 0)
        return -1;
    uint8_t words[palette_area_size];
    size_t at = mesh_block_offset + mesh_section_offsets(counts).palettes;
    long got = read_source(source, at, words, sizeof words);
    if (got < 0)
        return refuse_unreadable(problem, errno);
    if (size_t(got) < sizeof words)
        return refuse_truncated(problem, (long long)(at) + got, least);
    decode_palettes(words, palettes);
    return 0;
}
