#include "mesh/write_map_mesh.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "mesh/face_order.h"

namespace {

// A normal read back at unit length (as glTF and most editors keep them) that points within this
// of where the stored one points is the stored one: the file keeps the stored bytes and length.
constexpr double same_direction = 2e-3;

// A decoded coordinate back in hundredths, rounded to nearest (halves away from zero). False for
// a value outside what 16 bits hold, or not a number.
bool to_hundredths(double value, int* out)
{
    double h = std::round(value * 100);
    if (!(h >= -32768 && h <= 32767))
        return false;
    *out = int(h);
    return true;
}

// A texture coordinate back as a texel of a side of size texels (u: 256, v with its page: 1024),
// rounded to nearest. False off the sheet, or for what is not a number.
bool to_texel(double fraction, int size, int* out)
{
    double texel = fraction * size;
    if (!(texel > -0.5 && texel < size - 0.5))
        return false;
    *out = int(std::lround(texel));
    return true;
}

// One corner as the file stores it: hundredths with y negated. -327.68 is stored as -32768 in y
// too, since negating -32768 in 16 bits gives -32768 (the decoding does the same); +327.68 cannot be
// stored in y and is refused before it gets here.
void put_corner(uint8_t* p, const int h[3])
{
    uint16_t words[3] = {uint16_t(h[0]), uint16_t(-h[1]), uint16_t(h[2])};
    for (int k = 0; k < 3; k++) {
        p[2 * k] = uint8_t(words[k] & 0xff);
        p[2 * k + 1] = uint8_t(words[k] >> 8);
    }
}

std::string coordinates(const double v[3])
{
    char text[96];
    snprintf(text, sizeof text, "(%.6g, %.6g, %.6g)", v[0], v[1], v[2]);
    return text;
}

std::string hundredths_text(const int h[3])
{
    char text[96];
    snprintf(text, sizeof text, "(%.2f, %.2f, %.2f)", h[0] / 100.0, h[1] / 100.0, h[2] / 100.0);
    return text;
}

// What a triangle of the textured or untextured list becomes: every corner in hundredths, and
// (textured) its corners' u and v (page included) and its palette byte.
struct triangle_values {
    int position[3][3];
    int normal[3][3];
    int uv[3][2];
    int palette_byte;
};

double length_of(const double v[3])
{
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

bool same_way(const double a[3], const double b[3])
{
    double la = length_of(a), lb = length_of(b);
    if (!(la > 0) || !(lb > 0))
        return false;
    double d = 0;
    for (int k = 0; k < 3; k++)
        d += (a[k] / la - b[k] / lb) * (a[k] / la - b[k] / lb);
    return std::sqrt(d) <= same_direction;
}

void plane_normal(const double p[3][3], double out[3])
{
    double u[3], v[3];
    for (int k = 0; k < 3; k++) {
        u[k] = p[1][k] - p[0][k];
        v[k] = p[2][k] - p[0][k];
    }
    out[0] = u[1] * v[2] - u[2] * v[1];
    out[1] = u[2] * v[0] - u[0] * v[2];
    out[2] = u[0] * v[1] - u[1] * v[0];
}

struct matcher {
    const map_mesh* mesh;
    std::vector<triangle_values> textured, untextured;  // the original's
    size_t by_texture_only = 0;                         // faces known by their texture coordinates alone
    size_t unrecognised = 0;                            // faces that stand in for no triangle
    std::string first_unrecognised;
    std::string error;
};

void original_values(const map_mesh& mesh, std::vector<triangle_values>* textured,
                     std::vector<triangle_values>* untextured)
{
    auto hundredths = [](const float v[3], int out[3]) {
        for (int k = 0; k < 3; k++)
            to_hundredths(v[k], &out[k]);
    };
    textured->resize(mesh.tex_positions.size());
    for (size_t t = 0; t < textured->size(); t++) {
        triangle_values& o = (*textured)[t];
        for (int c = 0; c < 3; c++) {
            hundredths(mesh.tex_positions[t].corner[c], o.position[c]);
            hundredths(mesh.tex_normals[t].corner[c], o.normal[c]);
            o.uv[c][0] = mesh.tex_uvs[t].corner[c][0];
            o.uv[c][1] = mesh.tex_uvs[t].corner[c][1];
        }
        o.palette_byte = mesh.tex_faces[t].palette_number;
    }
    untextured->resize(mesh.untex_positions.size());
    for (size_t t = 0; t < untextured->size(); t++) {
        triangle_values& o = (*untextured)[t];
        memset(&o, 0, sizeof o);
        for (int c = 0; c < 3; c++)
            hundredths(mesh.untex_positions[t].corner[c], o.position[c]);
    }
}

// How much of the original triangle a face keeps with its corners taken in this order: ten points
// for each corner at its place (many triangles of a map share a shape and texture coordinates, few
// a corner at the same place), one for each texture coordinate, three for the triangle's shape (a
// moved map keeps it). The evidence for which face is which triangle, and for the corner order.
int corners_kept(const edited_face& face, const triangle_values& original, corner_order order, bool textured)
{
    int kept = 0, h[3][3];
    bool shape = true;
    for (int c = 0; c < 3; c++)
        for (int k = 0; k < 3; k++)
            if (!to_hundredths(face.corner[c].position[k], &h[c][k]))
                h[c][k] = 1 << 20, shape = false;  // never kept: it cannot be stored
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        kept += memcmp(h[c], original.position[o], sizeof h[c]) == 0 ? 10 : 0;
        for (int k = 0; k < 3; k++)
            shape = shape && h[c][k] - h[0][k] == original.position[o][k] - original.position[order.corner[0]][k];
        int u, v;
        if (textured)
            kept += to_texel(face.corner[c].uv[0], 256, &u) && to_texel(face.corner[c].uv[1], 1024, &v) &&
                    u == original.uv[o][0] && v == original.uv[o][1];
    }
    return kept + (shape ? 3 : 0);
}

// How a face of the edited file is known for the triangle it stands in for: it keeps two corners
// where they were, or one of its edges (the difference between two corners: a moved map with one
// corner moved again keeps one); or (textured) its three texture coordinates alone.
enum recognition { not_recognised, by_texture_only, by_geometry };

recognition recognise(const triangle_values& edited, const triangle_values& original, bool textured)
{
    int positions = 0;
    bool edge = false, uvs = textured;
    for (int c = 0; c < 3; c++) {
        positions += memcmp(edited.position[c], original.position[c], sizeof edited.position[c]) == 0;
        int d = (c + 1) % 3;
        bool same = true;
        for (int k = 0; k < 3; k++)
            same = same &&
                   edited.position[d][k] - edited.position[c][k] == original.position[d][k] - original.position[c][k];
        edge = edge || same;
        uvs = uvs && memcmp(edited.uv[c], original.uv[c], sizeof edited.uv[c]) == 0;
    }
    return positions >= 2 || edge ? by_geometry : uvs ? by_texture_only : not_recognised;
}

// A record as the file counts them: "textured triangle 5", "untextured quad 2".
std::string record_name(bool textured, bool quad, size_t n)
{
    return std::string(textured ? "textured " : "untextured ") + (quad ? "quad " : "triangle ") + std::to_string(n + 1);
}

// The record of entry t of the textured or untextured triangle list: "textured triangle 5", or
// "untextured quad 2 (its second triangle)".
std::string list_entry_name(const polygon_counts& counts, bool textured, size_t t)
{
    size_t tris = textured ? counts.tex_tri_count : counts.untex_tri_count;
    if (t < tris)
        return record_name(textured, false, t);
    return record_name(textured, true, (t - tris) / 2) +
           ((t - tris) % 2 ? " (its second triangle)" : " (its first triangle)");
}

// The values of edited face i for triangle t of the list, corners in the triangle's stored order.
bool face_values(matcher* m, const edited_face& face, size_t i, size_t t, corner_order order, bool textured,
                 triangle_values* out)
{
    const triangle_values& original = (textured ? m->textured : m->untextured)[t];
    // The face's name, made only for a message.
    auto name = [&] {
        return std::string(textured ? "terrain" : "skirt") + " face " + std::to_string(i + 1) + " (" +
               list_entry_name(m->mesh->counts, textured, t) + ")";
    };
    *out = original;
    double positions[3][3];
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        const edited_corner& e = face.corner[c];
        memcpy(positions[o], e.position, sizeof positions[o]);
        for (int k = 0; k < 3; k++)
            if (!to_hundredths(e.position[k], &out->position[o][k])) {
                m->error = name() + ", corner " + std::to_string(c + 1) + ": expected coordinates from -327.68 to " +
                           "327.67 (16 bits of hundredths), found " + coordinates(e.position);
                return false;
            }
        if (!textured)
            continue;
        if (!to_texel(e.uv[0], 256, &out->uv[o][0]) || !to_texel(e.uv[1], 1024, &out->uv[o][1])) {
            char text[160];
            snprintf(text, sizeof text,
                     "texture coordinate within the sheet (u 0 to 255/256, v 0 to 1023/1024), found (%.6g, %.6g)",
                     e.uv[0], e.uv[1]);
            m->error = name() + ", corner " + std::to_string(c + 1) + ": expected a " + text;
            return false;
        }
    }
    if (textured) {
        // A normal that still points where the stored one does (an editor keeps them at unit
        // length) keeps the stored bytes; a stored zero normal, which a .glb writes as its face's,
        // stays zero while the edited one lies along the original or the edited face.
        const map_mesh& mesh = *m->mesh;
        double original_plane[3], edited_plane[3], original_positions[3][3];
        for (int c = 0; c < 3; c++)
            for (int k = 0; k < 3; k++)
                original_positions[c][k] = mesh.tex_positions[t].corner[c][k];
        plane_normal(original_positions, original_plane);
        plane_normal(positions, edited_plane);
        for (int c = 0; c < 3 && face.has_normal; c++) {
            int o = order.corner[c];
            const double* n = face.corner[c].normal;
            double stored[3];
            for (int k = 0; k < 3; k++)
                stored[k] = mesh.tex_normals[t].corner[o][k];
            int h[3];
            bool in_range = to_hundredths(n[0], &h[0]) && to_hundredths(n[1], &h[1]) && to_hundredths(n[2], &h[2]);
            bool unit = std::fabs(length_of(n) - 1) <= same_direction;
            bool zero = length_of(stored) == 0;
            double reversed[3] = {-original_plane[0], -original_plane[1], -original_plane[2]};
            double reversed_edited[3] = {-edited_plane[0], -edited_plane[1], -edited_plane[2]};
            if (in_range && memcmp(h, original.normal[o], sizeof h) == 0)
                continue;
            if (unit && (zero ? same_way(n, original_plane) || same_way(n, reversed) || same_way(n, edited_plane) ||
                                    same_way(n, reversed_edited)
                              : same_way(n, stored)))
                continue;
            if (!in_range) {
                m->error = name() + ", corner " + std::to_string(c + 1) +
                           ": expected a normal from -327.68 to 327.67, found " + coordinates(n);
                return false;
            }
            memcpy(out->normal[o], h, sizeof h);
        }
        // The page comes with every v; the palette from the face's material, when materials name them.
        if (face.palette >= 0 && original.palette_byte % palette_count != face.palette)
            out->palette_byte = face.palette;
    }
    recognition known = recognise(*out, original, textured);
    m->by_texture_only += known == by_texture_only;
    m->unrecognised += known == not_recognised;
    if (known == not_recognised && m->first_unrecognised.empty()) {
        m->first_unrecognised = name() + ": expected corners " + hundredths_text(original.position[0]) + ", " +
                                hundredths_text(original.position[1]) + ", " + hundredths_text(original.position[2]) +
                                ", found a face that keeps neither two of its corners, nor an edge" +
                                (textured ? ", nor its texture coordinates" : "") +
                                ": the file is not made from this mesh, or its faces are no longer in their order";
    }
    return true;
}

// The page all corners share, or -1.
int shared_page(const int uv[][2], int corners)
{
    int page = uv[0][1] / 256;
    for (int c = 1; c < corners; c++)
        if (uv[c][1] / 256 != page)
            return -1;
    return page;
}

// A polygon's texture record: corners A, B, C at 0, 4 and 8 (and D at 10), palette byte at 2,
// page in bits 0-1 of byte 6; bytes 3 and 7 and the page byte's other bits as they were.
void put_texture_record(uint8_t* p, const int uv[][2], int corners, int palette_byte)
{
    static const int at[4] = {0, 4, 8, 10};
    int page = uv[0][1] / 256;
    for (int c = 0; c < corners; c++) {
        p[at[c]] = uint8_t(uv[c][0]);
        p[at[c] + 1] = uint8_t(uv[c][1] % 256);
    }
    p[2] = uint8_t(palette_byte);
    p[6] = uint8_t((p[6] & ~3) | page);
}

// Where record k of a section lies from the section's start: its triangles' records, then its quads'.
size_t record_at(size_t k, size_t tris, size_t tri_size, size_t quad_size)
{
    return k < tris ? tri_size * k : tri_size * tris + quad_size * (k - tris);
}

// A quad's corners B and C, which both its triangles (A, B, C) and (B, D, C) hold: the corner of
// the first triangle, and of the second.
constexpr int quad_shared_corners[2][2] = {{1, 0}, {2, 2}};

// Checks that a quad's two triangles still share B and C.
bool quad_joins(matcher* m, const triangle_values& first, const triangle_values& second, bool textured, size_t q)
{
    const char* corner_names[2] = {"B", "C"};
    for (int j = 0; j < 2; j++) {
        int a = quad_shared_corners[j][0], b = quad_shared_corners[j][1];
        if (memcmp(first.position[a], second.position[b], sizeof first.position[a]) != 0) {
            m->error = record_name(textured, true, q) + ": its two triangles no longer share corner " +
                       corner_names[j] + ": expected the position " + hundredths_text(first.position[a]) +
                       " in both, found " + hundredths_text(second.position[b]) +
                       " in the second (move both copies of a quad's shared corners)";
            return false;
        }
        if (textured && (first.uv[a][0] != second.uv[b][0] || first.uv[a][1] != second.uv[b][1])) {
            m->error = record_name(textured, true, q) + ": its two triangles no longer share corner " +
                       corner_names[j] + ": expected the texture coordinate (" + std::to_string(first.uv[a][0]) + ", " +
                       std::to_string(first.uv[a][1]) + ") in both, found (" + std::to_string(second.uv[b][0]) + ", " +
                       std::to_string(second.uv[b][1]) + ") in the second";
            return false;
        }
    }
    if (textured && first.palette_byte != second.palette_byte) {
        m->error = record_name(textured, true, q) + ": expected one palette for its two triangles, found " +
                   std::to_string(first.palette_byte % 16) + " and " + std::to_string(second.palette_byte % 16);
        return false;
    }
    return true;
}

// An editor that keeps normals relative to the faces around them (Blender does) turns the normals
// at and around a moved corner with their faces, so the two copies of a quad's shared corner B or
// C may come back different. The quad keeps the one that changed, or the mean of the two.
void join_quad_normals(triangle_values* first, triangle_values* second, const triangle_values& original)
{
    for (const auto& pair : quad_shared_corners) {
        int* a = first->normal[pair[0]];
        int* b = second->normal[pair[1]];
        const int* stored = original.normal[pair[0]];
        if (memcmp(a, b, 3 * sizeof(int)) == 0)
            continue;
        if (memcmp(a, stored, 3 * sizeof(int)) == 0) {
            memcpy(a, b, 3 * sizeof(int));
        } else if (memcmp(b, stored, 3 * sizeof(int)) == 0) {
            memcpy(b, a, 3 * sizeof(int));
        } else {
            for (int k = 0; k < 3; k++)
                a[k] = b[k] = int(std::floor((a[k] + b[k]) / 2.0 + 0.5));
        }
    }
}

}  // namespace

int write_edited_mesh(const std::vector<uint8_t>& file, const map_mesh& mesh, const edited_model& model,
                      std::vector<uint8_t>* out, edit_counts* counts, std::string* error)
{
    *counts = edit_counts();
    matcher m;
    m.mesh = &mesh;
    original_values(mesh, &m.textured, &m.untextured);
    size_t nt = m.textured.size(), nu = m.untextured.size();
    if (model.terrain.size() != nt || model.skirt.size() != nu) {
        *error = "expected " + std::to_string(nt) + " terrain faces and " + std::to_string(nu) +
                 " skirt faces (the mesh's textured and untextured triangles), found " +
                 std::to_string(model.terrain.size()) + " and " + std::to_string(model.skirt.size());
        return -1;
    }
    // The order mapconv wrote the terrain's faces in.
    std::vector<size_t> written;
    written.reserve(nt);
    if (model.grouping == grouped_by_palette) {
        for (int p = 0; p < palette_count; p++)
            for (size_t t = 0; t < nt; t++)
                if (sheet_palette(mesh.tex_faces[t]) == p)
                    written.push_back(t);
    } else {
        for (size_t t = 0; t < nt; t++)
            written.push_back(t);
    }
    face_orders orders = choose_face_orders(&mesh);
    // Which edited face stands in for each written one. Grouped by palette, the faces of each
    // material keep mapconv's order, but a face given another palette may move into that palette's
    // group (editors write a material's faces together): each written triangle takes the next face
    // of the material that keeps most of it, its own palette's when several keep as much.
    std::vector<size_t> face_of(nt);
    if (model.grouping == grouped_by_palette) {
        std::vector<std::vector<size_t>> groups(palette_count);
        for (size_t i = 0; i < nt; i++)
            groups[size_t(model.terrain[i].palette)].push_back(i);
        std::vector<size_t> next(palette_count, 0);
        for (size_t j = 0; j < nt; j++) {
            size_t t = written[j];
            int own = sheet_palette(mesh.tex_faces[t]), best = -1, best_kept = -1;
            for (int p = 0; p < palette_count; p++) {
                if (next[size_t(p)] == groups[size_t(p)].size())
                    continue;
                const edited_face& face = model.terrain[groups[size_t(p)][next[size_t(p)]]];
                int kept = std::max(corners_kept(face, m.textured[t], as_stored, true),
                                    corners_kept(face, m.textured[t], textured_order(orders, t), true));
                if (kept > best_kept || (kept == best_kept && p == own)) {
                    best = p;
                    best_kept = kept;
                }
            }
            face_of[j] = groups[size_t(best)][next[size_t(best)]++];
        }
    } else {
        for (size_t j = 0; j < nt; j++)
            face_of[j] = j;
    }
    // Each face's corners as stored, or as the .glb and --face-up turn them: whichever keeps more
    // of the original's corners where they were.
    long stored_evidence = 0, turned_evidence = 0;
    for (size_t j = 0; j < nt; j++) {
        corner_order turned = textured_order(orders, written[j]);
        if (turned.corner[1] != 1) {
            stored_evidence += corners_kept(model.terrain[face_of[j]], m.textured[written[j]], as_stored, true);
            turned_evidence += corners_kept(model.terrain[face_of[j]], m.textured[written[j]], turned, true);
        }
    }
    if (orders.majority.corner[1] != 1)
        for (size_t i = 0; i < nu; i++) {
            stored_evidence += corners_kept(model.skirt[i], m.untextured[i], as_stored, false);
            turned_evidence += corners_kept(model.skirt[i], m.untextured[i], orders.majority, false);
        }
    // A .glb is always written turned.
    bool turned = model.always_turned || turned_evidence > stored_evidence;

    std::vector<triangle_values> textured(nt), untextured(nu);
    for (size_t j = 0; j < nt; j++) {
        size_t t = written[j];
        corner_order order = turned ? textured_order(orders, t) : as_stored;
        if (!face_values(&m, model.terrain[face_of[j]], face_of[j], t, order, true, &textured[t]))
            return *error = m.error, -1;
    }
    for (size_t i = 0; i < nu; i++)
        if (!face_values(&m, model.skirt[i], i, i, turned ? orders.majority : as_stored, false, &untextured[i]))
            return *error = m.error, -1;

    // A map turned, mirrored or scaled as a whole keeps no corner or edge of any face: a file
    // exported with other axes or another scale. At most its texture coordinates tell its faces.
    size_t unknown = m.by_texture_only + m.unrecognised;
    if (unknown > 0 && unknown * 2 >= nt + nu) {
        *error = "expected the mesh's corners, found " + std::to_string(unknown) + " of " + std::to_string(nt + nu) +
                 " faces keeping neither two corners nor an edge of their triangles: the file is not made from " +
                 "this mesh, or the map is turned, mirrored or scaled as a whole (export it with Y up, forward -Z, " +
                 "scale 1)";
        return -1;
    }
    if (m.unrecognised > 0)
        return *error = m.first_unrecognised, -1;
    for (size_t q = 0; q < mesh.counts.tex_quad_count; q++) {
        size_t t = mesh.counts.tex_tri_count + 2 * q;
        join_quad_normals(&textured[t], &textured[t + 1], m.textured[t]);
    }

    // The sections, as the file lays them out.
    const polygon_counts& c = mesh.counts;
    size_t tt = c.tex_tri_count, tq = c.tex_quad_count, ut = c.untex_tri_count, uq = c.untex_quad_count;
    size_t positions = counts_end;
    size_t normals = positions + tri_vector_size * (tt + ut) + quad_vector_size * (tq + uq);
    size_t textures = normals + tri_vector_size * tt + quad_vector_size * tq;
    *out = file;
    uint8_t* bytes = out->data();
    auto changed = [&](size_t at, size_t n) { return memcmp(bytes + at, file.data() + at, n) != 0; };

    // Vector records: triangles, then quads from their two triangles, for one list.
    auto put_vectors = [&](const std::vector<triangle_values>& list, size_t tris, size_t quads, bool textured_list,
                           size_t at, bool normals_too) -> bool {
        for (size_t k = 0; k < tris + quads; k++) {
            bool quad = k >= tris;
            size_t t = quad ? tris + 2 * (k - tris) : k;
            const triangle_values& v = list[t];
            if (quad && !quad_joins(&m, v, list[t + 1], textured_list, k - tris))
                return false;
            size_t size = quad ? quad_vector_size : tri_vector_size;
            size_t record = at + record_at(k, tris, tri_vector_size, quad_vector_size);
            for (int corner = 0; corner < 3; corner++)
                put_corner(bytes + record + corner_vector_size * size_t(corner), v.position[corner]);
            if (quad)
                put_corner(bytes + record + 3 * corner_vector_size, list[t + 1].position[1]);
            counts->positions += changed(record, size);
            if (normals_too) {
                size_t n = record - at + normals;
                for (int corner = 0; corner < 3; corner++)
                    put_corner(bytes + n + corner_vector_size * size_t(corner), v.normal[corner]);
                if (quad)
                    put_corner(bytes + n + 3 * corner_vector_size, list[t + 1].normal[1]);
                counts->normals += changed(n, size);
            }
        }
        return true;
    };
    if (!put_vectors(textured, tt, tq, true, positions, true) ||
        !put_vectors(untextured, ut, uq, false, positions + tri_vector_size * tt + quad_vector_size * tq, false))
        return *error = m.error, -1;

    for (size_t k = 0; k < tt + tq; k++) {
        bool quad = k >= tt;
        size_t t = quad ? tt + 2 * (k - tt) : k;
        int uv[4][2];
        memcpy(uv, textured[t].uv, sizeof textured[t].uv);
        if (quad)
            memcpy(uv[3], textured[t + 1].uv[1], sizeof uv[3]);
        int corners = quad ? 4 : 3;
        if (shared_page(uv, corners) < 0) {
            std::string pages;
            for (int i = 0; i < corners; i++)
                pages += (i ? ", " : "") + std::to_string(uv[i][1] / 256);
            *error = record_name(true, quad, quad ? k - tt : k) + ": expected its corners in one texture page, found " +
                     "pages " + pages + " (corners " + (quad ? "A, B, C, D" : "1, 2, 3") + ")";
            return -1;
        }
        size_t record = textures + record_at(k, tt, tri_texture_size, quad_texture_size);
        put_texture_record(bytes + record, uv, corners, textured[t].palette_byte);
        counts->textures += changed(record, quad ? quad_texture_size : tri_texture_size);
    }
    return 0;
}
