#include "mesh/match_edit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mesh/face_order.h"

namespace {

// A normal read back at unit length (as glTF and most editors keep them) that points within 1.5
// degrees of where the stored one points is the stored one: the file keeps the stored bytes and
// length. Blender keeps custom normals in a form of its own and gives them back up to 0.8 degrees
// off where they lie far from their faces; a normal turned on purpose turns further.
constexpr double same_direction = 0.02618;  // the chord between unit vectors 1.5 degrees apart
// How far from 1 the length of a normal at unit length may be.
constexpr double unit_slack = 2e-3;

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
    const edited_model* model;
    mesh_values original;
    face_orders orders;
    size_t by_texture_only = 0;  // faces known by their texture coordinates alone
    size_t unrecognised = 0;     // faces that stand in for no triangle
    std::string first_unrecognised;
    std::string error;
};

// How much of the original triangle a face keeps with its corners taken in this order: ten points
// for each corner at its place (many triangles of a map share a shape and texture coordinates, few
// a corner at the same place), one for each texture coordinate, three for the triangle's shape (a
// moved map keeps it). The evidence for which face is which triangle, and for the corner order.
int corners_kept(const face_corners& face, const triangle_values& original, corner_order order, bool textured)
{
    int kept = 0, h[3][3];
    bool shape = true;
    for (int c = 0; c < 3; c++)
        for (int k = 0; k < 3; k++)
            if (!to_hundredths(face.position[c][k], &h[c][k]))
                h[c][k] = 1 << 20, shape = false;  // never kept: it cannot be stored
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        kept += memcmp(h[c], original.position[o], sizeof h[c]) == 0 ? 10 : 0;
        for (int k = 0; k < 3; k++)
            shape = shape && h[c][k] - h[0][k] == original.position[o][k] - original.position[order.corner[0]][k];
        int u, v;
        if (textured)
            kept += to_texel(face.uv[c][0], 256, &u) && to_texel(face.uv[c][1], 1024, &v) && u == original.uv[o][0] &&
                    v == original.uv[o][1];
    }
    return kept + (shape ? 3 : 0);
}

// What corners_kept gives a face that keeps all of a textured triangle.
constexpr int all_kept = 3 * 10 + 3 + 3;

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

// Edited face i standing in for triangle t, for a message: "terrain face 5 (textured quad 2, its
// first triangle)". Made only when a message needs it.
std::string face_name(const matcher& m, bool textured, size_t i, size_t t)
{
    return std::string(textured ? "terrain" : "skirt") + " face " + std::to_string(i + 1) + " (" +
           list_entry_name(m.mesh->counts, textured, t) + ")";
}

// The face's corner positions in hundredths, into out in the triangle's stored order, and as read
// into positions. Returns false with m->error when one cannot be stored.
bool face_positions(matcher* m, const face_corners& face, size_t i, size_t t, corner_order order, bool textured,
                    triangle_values* out, double positions[3][3])
{
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        memcpy(positions[o], face.position[c], sizeof positions[o]);
        for (int k = 0; k < 3; k++)
            if (!to_hundredths(face.position[c][k], &out->position[o][k])) {
                m->error = face_name(*m, textured, i, t) + ", corner " + std::to_string(c + 1) +
                           ": expected coordinates from -327.68 to 327.67 (16 bits of hundredths), found " +
                           coordinates(face.position[c]);
                return false;
            }
    }
    return true;
}

// The face's texture coordinates as texels, page included, into out in the triangle's stored
// order. Returns false with m->error for one off the sheet.
bool face_texture_coordinates(matcher* m, const face_corners& face, size_t i, size_t t, corner_order order,
                              triangle_values* out)
{
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        const double* uv = face.uv[c];
        if (!to_texel(uv[0], 256, &out->uv[o][0]) || !to_texel(uv[1], 1024, &out->uv[o][1])) {
            char text[160];
            snprintf(text, sizeof text,
                     "texture coordinate within the sheet (u 0 to 255/256, v 0 to 1023/1024), found (%.6g, %.6g)",
                     uv[0], uv[1]);
            m->error = face_name(*m, true, i, t) + ", corner " + std::to_string(c + 1) + ": expected a " + text;
            return false;
        }
    }
    return true;
}

// The face's normals into out. A normal that still points where the stored one does (an editor
// keeps them at unit length) keeps the stored bytes; a stored zero normal, which a .glb writes as
// its face's, stays zero while the edited one lies along the original or the edited face. Returns
// false with m->error for a normal that cannot be stored.
bool face_normals(matcher* m, const face_corners& face, bool has_normal, size_t i, size_t t, corner_order order,
                  const double positions[3][3], triangle_values* out)
{
    const map_mesh& mesh = *m->mesh;
    const triangle_values& original = m->original.textured[t];
    double original_positions[3][3], planes[4][3];
    for (int c = 0; c < 3; c++)
        for (int k = 0; k < 3; k++)
            original_positions[c][k] = mesh.tex_positions[t].corner[c][k];
    // Either side of the original face and of the edited one.
    plane_normal(original_positions, planes[0]);
    plane_normal(positions, planes[2]);
    for (int k = 0; k < 3; k++) {
        planes[1][k] = -planes[0][k];
        planes[3][k] = -planes[2][k];
    }
    auto along_a_face = [&](const double* n) {
        return same_way(n, planes[0]) || same_way(n, planes[1]) || same_way(n, planes[2]) || same_way(n, planes[3]);
    };
    for (int c = 0; c < 3 && has_normal; c++) {
        int o = order.corner[c];
        const double* n = face.normal[c];
        double stored[3];
        for (int k = 0; k < 3; k++)
            stored[k] = mesh.tex_normals[t].corner[o][k];
        int h[3];
        bool in_range = to_hundredths(n[0], &h[0]) && to_hundredths(n[1], &h[1]) && to_hundredths(n[2], &h[2]);
        bool unit = std::fabs(length_of(n) - 1) <= unit_slack;
        if (in_range && memcmp(h, original.normal[o], sizeof h) == 0)
            continue;
        if (unit && (length_of(stored) == 0 ? along_a_face(n) : same_way(n, stored)))
            continue;
        if (!in_range) {
            m->error = face_name(*m, true, i, t) + ", corner " + std::to_string(c + 1) +
                       ": expected a normal from -327.68 to 327.67, found " + coordinates(n);
            return false;
        }
        memcpy(out->normal[o], h, sizeof h);
    }
    return true;
}

// Counts how the face was known, and keeps the first face known for no triangle for its message.
void note_recognition(matcher* m, const triangle_values& edited, bool textured, size_t i, size_t t)
{
    const triangle_values& original = (textured ? m->original.textured : m->original.untextured)[t];
    recognition known = recognise(edited, original, textured);
    m->by_texture_only += known == by_texture_only;
    m->unrecognised += known == not_recognised;
    if (known == not_recognised && m->first_unrecognised.empty()) {
        m->first_unrecognised = face_name(*m, textured, i, t) + ": expected corners " +
                                hundredths_text(original.position[0]) + ", " + hundredths_text(original.position[1]) +
                                ", " + hundredths_text(original.position[2]) +
                                ", found a face that keeps neither two of its corners, nor an edge" +
                                (textured ? ", nor its texture coordinates" : "") +
                                ": the file is not made from this mesh, or its faces are no longer in their order";
    }
}

// The values edited face i gives triangle t of the list, corners in the triangle's stored order.
bool face_values(matcher* m, const edited_face& face, size_t i, size_t t, corner_order order, bool textured,
                 triangle_values* out)
{
    const triangle_values& original = (textured ? m->original.textured : m->original.untextured)[t];
    *out = original;
    face_corners corners;
    face_corners_of(*m->model, face, &corners);
    double positions[3][3];
    if (!face_positions(m, corners, i, t, order, textured, out, positions))
        return false;
    if (textured) {
        if (!face_texture_coordinates(m, corners, i, t, order, out) ||
            !face_normals(m, corners, face.has_normal, i, t, order, positions, out))
            return false;
        // The page comes with every v; the palette from the face's material, when materials name them.
        if (face.palette >= 0 && original.palette_byte % palette_count != face.palette)
            out->palette_byte = face.palette;
    }
    note_recognition(m, *out, textured, i, t);
    return true;
}

// The order mapconv wrote the terrain's faces in: the mesh's, or palette by palette.
std::vector<size_t> written_order(const map_mesh& mesh, face_grouping grouping)
{
    size_t nt = mesh.tex_faces.size();
    std::vector<size_t> written;
    written.reserve(nt);
    if (grouping == grouped_by_palette) {
        for (int p = 0; p < palette_count; p++)
            for (size_t t = 0; t < nt; t++)
                if (sheet_palette(mesh.tex_faces[t]) == p)
                    written.push_back(t);
    } else {
        for (size_t t = 0; t < nt; t++)
            written.push_back(t);
    }
    return written;
}

// Which edited terrain face stands in for each written one. Grouped by palette, the faces of each
// material keep mapconv's order, but a face given another palette may move into that palette's
// group (editors write a material's faces together): each written triangle takes the next face of
// the material that keeps most of it, its own palette's when several keep as much.
std::vector<size_t> faces_by_palette(const matcher& m, const edited_model& model, const std::vector<size_t>& written)
{
    size_t nt = written.size();
    std::vector<size_t> face_of(nt);
    if (model.grouping != grouped_by_palette) {
        for (size_t j = 0; j < nt; j++)
            face_of[j] = j;
        return face_of;
    }
    std::vector<std::vector<size_t>> groups(palette_count);
    for (size_t i = 0; i < nt; i++)
        groups[size_t(model.terrain[i].palette)].push_back(i);
    std::vector<size_t> next(palette_count, 0);
    auto kept_by = [&](int p, size_t t) {
        face_corners corners;
        face_corners_of(model, model.terrain[groups[size_t(p)][next[size_t(p)]]], &corners);
        const triangle_values& original = m.original.textured[t];
        return std::max(corners_kept(corners, original, as_stored, true),
                        corners_kept(corners, original, textured_order(m.orders, t), true));
    };
    for (size_t j = 0; j < nt; j++) {
        size_t t = written[j];
        int own = sheet_palette(m.mesh->tex_faces[t]), best = -1, best_kept = -1;
        if (next[size_t(own)] < groups[size_t(own)].size()) {
            best = own;
            best_kept = kept_by(own, t);
        }
        // Most faces keep their palette and all of their triangle: no other face can keep more.
        for (int p = 0; p < palette_count && best_kept < all_kept; p++) {
            if (p == own || next[size_t(p)] == groups[size_t(p)].size())
                continue;
            int kept = kept_by(p, t);
            if (kept > best_kept) {
                best = p;
                best_kept = kept;
            }
        }
        face_of[j] = groups[size_t(best)][next[size_t(best)]++];
    }
    return face_of;
}

// Whether the faces' corners come as the .glb and --face-up turn them rather than as stored:
// whichever keeps more of the original's corners where they were. Where that does not tell (a map
// moved as a whole keeps no corner where it was), a .glb is taken as mapconv writes it: turned.
bool faces_turned(const matcher& m, const edited_model& model, const std::vector<size_t>& written,
                  const std::vector<size_t>& face_of)
{
    long stored_evidence = 0, turned_evidence = 0;
    face_corners corners;
    for (size_t j = 0; j < written.size(); j++) {
        corner_order turned = textured_order(m.orders, written[j]);
        const triangle_values& original = m.original.textured[written[j]];
        if (turned.corner[1] != 1) {
            face_corners_of(model, model.terrain[face_of[j]], &corners);
            stored_evidence += corners_kept(corners, original, as_stored, true);
            turned_evidence += corners_kept(corners, original, turned, true);
        }
    }
    if (m.orders.majority.corner[1] != 1)
        for (size_t i = 0; i < model.skirt.size(); i++) {
            face_corners_of(model, model.skirt[i], &corners);
            stored_evidence += corners_kept(corners, m.original.untextured[i], as_stored, false);
            turned_evidence += corners_kept(corners, m.original.untextured[i], m.orders.majority, false);
        }
    return turned_evidence > stored_evidence || (turned_evidence == stored_evidence && model.prefers_turned);
}

uint64_t packed(const int h[3])
{
    return uint64_t(uint16_t(h[0])) | uint64_t(uint16_t(h[1])) << 16 | uint64_t(uint16_t(h[2])) << 32;
}

// Whether most of the edited file's corners stand at none of the mesh's corners: then the file was
// made from another map. Sets *message to say so, with the counts of both.
bool from_another_map(const matcher& m, std::string* message)
{
    std::vector<uint64_t> corners;
    for (const std::vector<triangle_values>* list : {&m.original.textured, &m.original.untextured})
        for (const triangle_values& t : *list)
            for (int c = 0; c < 3; c++)
                corners.push_back(packed(t.position[c]));
    std::sort(corners.begin(), corners.end());
    size_t all = 0, elsewhere = 0;
    face_corners f;
    for (const std::vector<edited_face>* list : {&m.model->terrain, &m.model->skirt})
        for (const edited_face& face : *list) {
            face_corners_of(*m.model, face, &f);
            for (int c = 0; c < 3; c++) {
                int h[3];
                bool stored = to_hundredths(f.position[c][0], &h[0]) && to_hundredths(f.position[c][1], &h[1]) &&
                              to_hundredths(f.position[c][2], &h[2]);
                all++;
                elsewhere += !stored || !std::binary_search(corners.begin(), corners.end(), packed(h));
            }
        }
    if (all == 0 || elsewhere * 2 <= all)
        return false;
    const polygon_counts& c = m.mesh->counts;
    *message = "made from another map: the mesh has " + std::to_string(m.original.textured.size()) + " textured and " +
               std::to_string(m.original.untextured.size()) + " untextured triangles (" +
               std::to_string(c.tex_tri_count) + ", " + std::to_string(c.tex_quad_count) + ", " +
               std::to_string(c.untex_tri_count) + " and " + std::to_string(c.untex_quad_count) +
               " polygons), the file " + std::to_string(m.model->terrain.size()) + " terrain and " +
               std::to_string(m.model->skirt.size()) + " skirt faces, and " + std::to_string(elsewhere) + " of its " +
               std::to_string(all) + " corners stand at none of the mesh's corners";
    return true;
}

// How many terrain faces keep two corners of the triangle they stand for, faces taken in this order.
size_t faces_in_place(const matcher& m, const std::vector<size_t>& written)
{
    size_t in_place = 0;
    face_corners f;
    for (size_t j = 0; j < written.size(); j++) {
        face_corners_of(*m.model, m.model->terrain[j], &f);
        const triangle_values& original = m.original.textured[written[j]];
        in_place += std::max(corners_kept(f, original, as_stored, true),
                             corners_kept(f, original, textured_order(m.orders, written[j]), true)) >= 20;
    }
    return in_place;
}

// The order mapconv wrote the terrain's faces in. A file whose materials name no palette may still
// hold them palette by palette, as mapconv writes them with --all-palettes: an editor that drops
// materials (three.js's OBJ exporter) keeps that order. Whichever order keeps more faces in place
// is the file's; the palettes then stay as they are.
std::vector<size_t> order_written(const matcher& m)
{
    const edited_model& model = *m.model;
    std::vector<size_t> written = written_order(*m.mesh, model.grouping);
    int palettes = 0;
    for (uint16_t used = used_palette_mask(*m.mesh); used; used &= uint16_t(used - 1))
        palettes++;
    if (model.grouping != grouped_as_stored || palettes < 2)
        return written;
    for (const edited_face& f : model.terrain)
        if (f.palette >= 0)
            return written;
    std::vector<size_t> by_palette = written_order(*m.mesh, grouped_by_palette);
    return faces_in_place(m, by_palette) > faces_in_place(m, written) ? by_palette : written;
}

// A map turned, mirrored or scaled as a whole keeps no corner or edge of any face: a file exported
// with other axes or another scale. At most its texture coordinates tell its faces. Returns false
// with m->error when that, or a single face known for no triangle, is the case.
bool faces_recognised(matcher* m)
{
    size_t faces = m->original.textured.size() + m->original.untextured.size();
    size_t unknown = m->by_texture_only + m->unrecognised;
    if (unknown > 0 && unknown * 2 >= faces && m->by_texture_only * 2 < unknown && from_another_map(*m, &m->error))
        return false;
    if (unknown > 0 && unknown * 2 >= faces) {
        m->error = "expected the mesh's corners, found " + std::to_string(unknown) + " of " + std::to_string(faces) +
                   " faces keeping neither two corners nor an edge of their triangles: the file is not made from " +
                   "this mesh, or the map is turned, mirrored or scaled as a whole (export it with Y up, forward " +
                   "-Z, scale 1)";
        return false;
    }
    if (m->unrecognised > 0) {
        m->error = m->first_unrecognised;
        return false;
    }
    return true;
}

// Where quad corner B (1) or C (2), which both of a quad's triangles hold, stands in its first
// triangle (half 0) or its second (half 1).
int shared_corner_at(int half, int quad_corner)
{
    const int* corners = quad_triangle_corners[half];
    return int(std::find(corners, corners + 3, quad_corner) - corners);
}

// An editor that keeps normals relative to the faces around them (Blender does) turns the normals
// at and around a moved corner with their faces, so the two copies of a quad's shared corner B or
// C may come back different. The quad keeps the one that changed, or the mean of the two.
void join_quad_normals(triangle_values* first, triangle_values* second, const triangle_values& original)
{
    for (int shared = 1; shared <= 2; shared++) {  // B, then C
        int* a = first->normal[shared_corner_at(0, shared)];
        int* b = second->normal[shared_corner_at(1, shared)];
        const int* stored = original.normal[shared_corner_at(0, shared)];
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

// Checks that quad q's two triangles still share B and C, in position and texture coordinate, and
// one palette.
bool quad_joins(matcher* m, const triangle_values& first, const triangle_values& second, bool textured, size_t q)
{
    const char* corner_names[3] = {"", "B", "C"};
    for (int shared = 1; shared <= 2; shared++) {
        int i = shared_corner_at(0, shared), j = shared_corner_at(1, shared);
        if (memcmp(first.position[i], second.position[j], sizeof first.position[i]) != 0) {
            m->error = record_name(textured, true, q) + ": its two triangles no longer share corner " +
                       corner_names[shared] + ": expected the position " + hundredths_text(first.position[i]) +
                       " in both, found " + hundredths_text(second.position[j]) +
                       " in the second (move both copies of a quad's shared corners)";
            return false;
        }
        const int* a = first.uv[i];
        const int* b = second.uv[j];
        if (textured && (a[0] != b[0] || a[1] != b[1])) {
            m->error = record_name(textured, true, q) + ": its two triangles no longer share corner " +
                       corner_names[shared] + ": expected the texture coordinate (" + std::to_string(a[0]) + ", " +
                       std::to_string(a[1]) + ") in both, found (" + std::to_string(b[0]) + ", " +
                       std::to_string(b[1]) + ") in the second";
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

// Every quad of both lists comes back whole: its normals joined, its triangles checked to agree.
bool quads_whole(matcher* m, mesh_values* values)
{
    const polygon_counts& c = m->mesh->counts;
    for (size_t q = 0; q < c.tex_quad_count; q++) {
        size_t t = c.tex_tri_count + 2 * q;
        join_quad_normals(&values->textured[t], &values->textured[t + 1], m->original.textured[t]);
    }
    for (size_t q = 0; q < c.tex_quad_count; q++) {
        size_t t = c.tex_tri_count + 2 * q;
        if (!quad_joins(m, values->textured[t], values->textured[t + 1], true, q))
            return false;
    }
    for (size_t q = 0; q < c.untex_quad_count; q++) {
        size_t t = c.untex_tri_count + 2 * q;
        if (!quad_joins(m, values->untextured[t], values->untextured[t + 1], false, q))
            return false;
    }
    return true;
}

// Every textured polygon's corners lie in one texture page, as its record has one page byte.
bool pages_shared(matcher* m, const mesh_values& values)
{
    const polygon_counts& c = m->mesh->counts;
    for (size_t k = 0; k < size_t(c.tex_tri_count) + c.tex_quad_count; k++) {
        bool quad = k >= c.tex_tri_count;
        size_t t = quad ? c.tex_tri_count + 2 * (k - c.tex_tri_count) : k;
        int pages[4], corners = quad ? 4 : 3;
        for (int i = 0; i < 3; i++)
            pages[i] = values.textured[t].uv[i][1] / page_rows;
        if (quad)
            pages[3] = values.textured[t + 1].uv[1][1] / page_rows;  // D: the second triangle's B
        if (std::all_of(pages, pages + corners, [&](int p) { return p == pages[0]; }))
            continue;
        std::string list;
        for (int i = 0; i < corners; i++)
            list += (i ? ", " : "") + std::to_string(pages[i]);
        m->error = record_name(true, quad, quad ? k - c.tex_tri_count : k) +
                   ": expected its corners in one texture page, found pages " + list + " (corners " +
                   (quad ? "A, B, C, D" : "1, 2, 3") + ")";
        return false;
    }
    return true;
}

}  // namespace

bool to_hundredths(double value, int* out)
{
    double h = std::round(value * 100);
    if (!(h >= -32768 && h <= 32767))
        return false;
    *out = int(h);
    return true;
}

bool to_texel(double fraction, int size, int* out)
{
    double texel = fraction * size;
    if (!(texel > -0.5 && texel < size - 0.5))
        return false;
    *out = int(std::lround(texel));
    return true;
}

mesh_values stored_values(const map_mesh& mesh)
{
    auto hundredths = [](const float v[3], int out[3]) {
        for (int k = 0; k < 3; k++)
            to_hundredths(v[k], &out[k]);
    };
    mesh_values values;
    values.textured.resize(mesh.tex_positions.size());
    for (size_t t = 0; t < values.textured.size(); t++) {
        triangle_values& o = values.textured[t];
        for (int c = 0; c < 3; c++) {
            hundredths(mesh.tex_positions[t].corner[c], o.position[c]);
            hundredths(mesh.tex_normals[t].corner[c], o.normal[c]);
            o.uv[c][0] = mesh.tex_uvs[t].corner[c][0];
            o.uv[c][1] = mesh.tex_uvs[t].corner[c][1];
        }
        o.palette_byte = mesh.tex_faces[t].palette_number;
    }
    values.untextured.resize(mesh.untex_positions.size());
    for (size_t t = 0; t < values.untextured.size(); t++) {
        triangle_values& o = values.untextured[t];
        memset(&o, 0, sizeof o);
        for (int c = 0; c < 3; c++)
            hundredths(mesh.untex_positions[t].corner[c], o.position[c]);
    }
    return values;
}

int match_edited_model(const map_mesh& mesh, const edited_model& model, mesh_values* matched, std::string* error)
{
    matcher m;
    m.mesh = &mesh;
    m.model = &model;
    m.original = stored_values(mesh);
    size_t nt = m.original.textured.size(), nu = m.original.untextured.size();
    if ((model.terrain.size() != nt || model.skirt.size() != nu) && from_another_map(m, error))
        return -1;
    if (model.terrain.size() != nt || model.skirt.size() != nu) {
        *error = "expected " + std::to_string(nt) + " terrain faces and " + std::to_string(nu) +
                 " skirt faces (the mesh's textured and untextured triangles), found " +
                 std::to_string(model.terrain.size()) + " and " + std::to_string(model.skirt.size());
        return -1;
    }
    m.orders = choose_face_orders(&mesh);
    std::vector<size_t> written = order_written(m);
    std::vector<size_t> face_of = faces_by_palette(m, model, written);
    bool turned = faces_turned(m, model, written, face_of);

    matched->textured.resize(nt);
    matched->untextured.resize(nu);
    for (size_t j = 0; j < nt; j++) {
        size_t t = written[j];
        corner_order order = turned ? textured_order(m.orders, t) : as_stored;
        if (!face_values(&m, model.terrain[face_of[j]], face_of[j], t, order, true, &matched->textured[t]))
            return *error = m.error, -1;
    }
    for (size_t i = 0; i < nu; i++)
        if (!face_values(&m, model.skirt[i], i, i, turned ? m.orders.majority : as_stored, false,
                         &matched->untextured[i]))
            return *error = m.error, -1;
    if (!faces_recognised(&m) || !quads_whole(&m, matched) || !pages_shared(&m, *matched))
        return *error = m.error, -1;
    return 0;
}
