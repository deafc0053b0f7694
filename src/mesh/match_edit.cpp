#include "mesh/match_edit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mesh/face_order.h"
#include "prefetch.h"

namespace {

// A normal read back at unit length (as glTF and most editors keep them) that points within 1.5
// degrees of where the stored one points is the stored one: the file keeps the stored bytes and
// length. Blender keeps custom normals in a form of its own and gives them back up to 0.8 degrees
// off where they lie far from their faces; a normal turned on purpose turns further.
constexpr double same_direction = 0.02618;  // the chord between unit vectors 1.5 degrees apart
// How far from 1 the length of a normal at unit length may be.
constexpr double unit_slack = 2e-3;

// A stored coordinate as the mesh reader decodes it, to the bit.
double decoded(int16_t hundredths)
{
    return float(hundredths) / 100.0f;
}

std::string coordinates(const double v[3])
{
    char text[96];
    snprintf(text, sizeof text, "(%.6g, %.6g, %.6g)", v[0], v[1], v[2]);
    return text;
}

std::string hundredths_text(const int16_t h[3])
{
    char text[96];
    snprintf(text, sizeof text, "(%.2f, %.2f, %.2f)", h[0] / 100.0, h[1] / 100.0, h[2] / 100.0);
    return text;
}

// Whether a and b point the same way: scaled to unit length, no further apart than same_direction.
// Unit vectors a chord c apart have a cosine of 1 - c^2 / 2 between them: compared squared, with
// no root or division.
bool same_way(const double a[3], const double b[3])
{
    double aa = a[0] * a[0] + a[1] * a[1] + a[2] * a[2];
    double bb = b[0] * b[0] + b[1] * b[1] + b[2] * b[2];
    double ab = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    if (!(aa > 0) || !(bb > 0) || !(ab > 0))
        return false;
    constexpr double cosine = 1 - same_direction * same_direction / 2;
    return ab * ab >= cosine * cosine * aa * bb;
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
    const stored_records* stored;
    const face_orders* orders;
    size_t by_texture_only = 0;  // faces known by their texture coordinates alone
    size_t unrecognised = 0;     // faces that stand in for no triangle
    std::string first_unrecognised;
    std::string error;
};

// Triangle t of the textured or untextured list as the original file stores it.
triangle_values stored_values(const matcher& m, bool textured, size_t t)
{
    triangle_values v;
    stored_triangle(*m.stored, textured, t, &v);
    return v;
}

bool hundredths16(double value, int16_t* out)
{
    int h;
    if (!to_hundredths(value, &h))
        return false;
    *out = int16_t(h);
    return true;
}

bool texel16(double fraction, int size, int16_t* out)
{
    int t;
    if (!to_texel(fraction, size, &t))
        return false;
    *out = int16_t(t);
    return true;
}

// A face's corners as the file would store them, where they can be: in hundredths and texels.
struct face_digest {
    int16_t position[3][3];
    int16_t uv[3][2];
    bool position_fits[3];  // per corner: all of its coordinates fit 16 bits of hundredths
    bool uv_fits[3];        // per corner: its texture coordinate lies on the sheet
};

void digest_of(const face_corners& face, bool textured, face_digest* d)
{
    for (int c = 0; c < 3; c++) {
        d->position_fits[c] = hundredths16(face.position[c][0], &d->position[c][0]) &&
                              hundredths16(face.position[c][1], &d->position[c][1]) &&
                              hundredths16(face.position[c][2], &d->position[c][2]);
        d->uv_fits[c] =
            textured && texel16(face.uv[c][0], 256, &d->uv[c][0]) && texel16(face.uv[c][1], 1024, &d->uv[c][1]);
    }
}

// How much of the original triangle a face keeps with its corners taken in this order: ten points
// for each corner at its place (many triangles of a map share a shape and texture coordinates, few
// a corner at the same place), one for each texture coordinate, three for the triangle's shape (a
// moved map keeps it). The evidence for which face is which triangle, and for the corner order.
int corners_kept(const face_digest& face, const triangle_values& original, corner_order order, bool textured)
{
    int kept = 0;
    bool shape = face.position_fits[0] && face.position_fits[1] && face.position_fits[2];
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        const int16_t* h = face.position[c];
        kept += face.position_fits[c] && memcmp(h, original.position[o], sizeof face.position[c]) == 0 ? 10 : 0;
        for (int k = 0; k < 3; k++)
            shape =
                shape && h[k] - face.position[0][k] == original.position[o][k] - original.position[order.corner[0]][k];
        if (textured)
            kept += face.uv_fits[c] && face.uv[c][0] == original.uv[o][0] && face.uv[c][1] == original.uv[o][1];
    }
    return kept + (shape ? 3 : 0);
}

// What corners_kept gives the face in the stored order and in the order the triangle is turned in.
struct kept_both {
    int stored, turned;
};

// A face of the edited model read once: its corners, and as the file would store them.
struct face_read {
    face_corners corners;
    face_digest digest;
};

// Without normals, where only the corners' places and texture coordinates count.
void read_face(const edited_model& model, const edited_face& face, bool textured, face_read* out, bool normals = true)
{
    face_corners_of(model, face, &out->corners, normals);
    digest_of(out->corners, textured, &out->digest);
}

kept_both kept_in_both(const face_read& face, const triangle_values& original, corner_order turned, bool textured)
{
    int stored = corners_kept(face.digest, original, as_stored, textured);
    bool same = turned.corner[1] == as_stored.corner[1];
    return kept_both{stored, same ? stored : corners_kept(face.digest, original, turned, textured)};
}

// How many faces ahead a loop over faces asks for their corners.
constexpr size_t prefetch_distance = 8;

// What corners_kept gives a face that keeps all of a textured triangle.
constexpr int all_kept = 3 * 10 + 3 + 3;

// How a face of the edited file is known for the triangle it stands in for: it keeps two corners
// where they were, or one of its edges (the difference between two corners: a moved map with one
// corner moved again keeps one); or (textured) its three texture coordinates alone.
enum recognition { not_recognised, by_texture_only, by_geometry };

recognition recognise(const triangle_values& edited, const triangle_values& original, bool textured)
{
    if (memcmp(edited.position, original.position, sizeof edited.position) == 0)
        return by_geometry;  // most faces of most edits
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
bool face_positions(matcher* m, const face_read& face, size_t i, size_t t, corner_order order, bool textured,
                    triangle_values* out, double positions[3][3])
{
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        memcpy(positions[o], face.corners.position[c], sizeof positions[o]);
        if (!face.digest.position_fits[c]) {
            m->error = face_name(*m, textured, i, t) + ", corner " + std::to_string(c + 1) +
                       ": expected coordinates from -327.68 to 327.67 (16 bits of hundredths), found " +
                       coordinates(face.corners.position[c]);
            return false;
        }
        memcpy(out->position[o], face.digest.position[c], sizeof out->position[o]);
    }
    return true;
}

// The face's texture coordinates as texels, page included, into out in the triangle's stored
// order. Returns false with m->error for one off the sheet.
bool face_texture_coordinates(matcher* m, const face_read& face, size_t i, size_t t, corner_order order,
                              triangle_values* out)
{
    for (int c = 0; c < 3; c++) {
        int o = order.corner[c];
        const double* uv = face.corners.uv[c];
        memcpy(out->uv[o], face.digest.uv[c], sizeof out->uv[o]);
        if (!face.digest.uv_fits[c]) {
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
                  const double positions[3][3], const triangle_values& original, triangle_values* out)
{
    // Either side of the original face and of the edited one.
    auto along_a_face = [&](const double* n) {
        double original_positions[3][3], planes[4][3];
        for (int c = 0; c < 3; c++)
            for (int k = 0; k < 3; k++)
                original_positions[c][k] = decoded(original.position[c][k]);
        plane_normal(original_positions, planes[0]);
        plane_normal(positions, planes[2]);
        for (int k = 0; k < 3; k++) {
            planes[1][k] = -planes[0][k];
            planes[3][k] = -planes[2][k];
        }
        return same_way(n, planes[0]) || same_way(n, planes[1]) || same_way(n, planes[2]) || same_way(n, planes[3]);
    };
    for (int c = 0; c < 3 && has_normal; c++) {
        int o = order.corner[c];
        const double* n = face.normal[c];
        double stored[3];
        for (int k = 0; k < 3; k++)
            stored[k] = decoded(original.normal[o][k]);
        double nn = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
        bool unit = nn >= (1 - unit_slack) * (1 - unit_slack) && nn <= (1 + unit_slack) * (1 + unit_slack);
        bool zero = stored[0] == 0 && stored[1] == 0 && stored[2] == 0;
        if (unit && (zero ? along_a_face(n) : same_way(n, stored)))
            continue;
        int16_t h[3];
        bool in_range = hundredths16(n[0], &h[0]) && hundredths16(n[1], &h[1]) && hundredths16(n[2], &h[2]);
        if (in_range && memcmp(h, original.normal[o], sizeof h) == 0)
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
void note_recognition(matcher* m, const triangle_values& edited, const triangle_values& original, bool textured,
                      size_t i, size_t t)
{
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

// The values edited face i gives triangle t of the list (original: as stored), corners in the
// triangle's stored order.
bool face_values(matcher* m, const edited_face& face, const face_read& read, size_t i, size_t t,
                 const triangle_values& original, corner_order order, bool textured, triangle_values* out)
{
    *out = original;
    double positions[3][3];
    if (!face_positions(m, read, i, t, order, textured, out, positions))
        return false;
    if (textured) {
        if (!face_texture_coordinates(m, read, i, t, order, out) ||
            !face_normals(m, read.corners, face.has_normal, i, t, order, positions, original, out))
            return false;
        // The page comes with every v; the palette from the face's material, when materials name them.
        if (face.palette >= 0 && original.palette_byte % palette_count != face.palette)
            out->palette_byte = int16_t(face.palette);
    }
    note_recognition(m, *out, original, textured, i, t);
    return true;
}

// The order mapconv wrote the terrain's faces in: the mesh's, or palette by palette.
std::vector<uint32_t> written_order(const map_mesh& mesh, face_grouping grouping)
{
    size_t nt = mesh.tex_faces.size();
    std::vector<uint32_t> written(nt);
    if (grouping != grouped_by_palette) {
        for (size_t t = 0; t < nt; t++)
            written[t] = uint32_t(t);
        return written;
    }
    // Each palette's triangles in the mesh's order, palette after palette.
    size_t start[palette_count + 1] = {};
    for (const face_texinfo& face : mesh.tex_faces)
        start[sheet_palette(face) + 1]++;
    for (int p = 0; p < palette_count; p++)
        start[p + 1] += start[p];
    for (size_t t = 0; t < nt; t++)
        written[start[sheet_palette(mesh.tex_faces[t])]++] = uint32_t(t);
    return written;
}

// The order a terrain triangle's corners come in: as stored, or turned as the .glb writes them.
corner_order terrain_order(const matcher& m, size_t t, bool turned)
{
    return turned ? textured_order(*m.orders, t) : as_stored;
}

// Asks for what assign_faces reads and writes for the j-th written triangle, a few ahead: its
// records, its values, and the face likely to stand in for it (the j-th, or the next of its
// palette's, faces coming palette by palette as the triangles do).
void prefetch_ahead(const matcher& m, const std::vector<uint32_t>& written, size_t j,
                    const std::vector<std::vector<uint32_t>>& groups, const std::vector<size_t>& next,
                    mesh_values* matched)
{
    uint32_t t = written[j];
    prefetch_stored_triangle(*m.stored, t);
    prefetch(&matched->textured[t]);
    if (groups.empty()) {
        prefetch_face(*m.model, m.model->terrain[j]);
        return;
    }
    const std::vector<uint32_t>& group = groups[size_t(sheet_palette(m.mesh->tex_faces[t]))];
    size_t likely = std::min(next[size_t(sheet_palette(m.mesh->tex_faces[t]))] + prefetch_distance, group.size());
    if (likely > 0)
        prefetch_face(*m.model, m.model->terrain[group[likely - 1]]);
}

// Which edited terrain face stands in for each written triangle, into *face_of, and the values it
// gives the triangle, its corners in the order turned says (the likelier one: the caller takes them
// again should the evidence say otherwise). Grouped by palette, the faces of each material keep
// mapconv's order, but a face given another palette may move into that palette's group (editors
// write a material's faces together): each written triangle takes the next face of the material
// that keeps most of it, its own palette's when several keep as much. *turned_lead is what the
// faces taken keep more in the order the triangles turn in than as stored. Returns false with
// m->error for a face whose values cannot be stored.
bool assign_faces(matcher* m, const std::vector<uint32_t>& written, bool turned, mesh_values* matched,
                  std::vector<uint32_t>* face_of, long* turned_lead)
{
    const edited_model& model = *m->model;
    size_t nt = written.size();
    face_of->resize(nt);
    *turned_lead = 0;
    std::vector<std::vector<uint32_t>> groups(model.grouping == grouped_by_palette ? palette_count : 0);
    for (size_t i = 0; i < nt && !groups.empty(); i++)
        groups[size_t(model.terrain[i].palette)].push_back(uint32_t(i));
    std::vector<size_t> next(palette_count, 0);
    face_read best_read, read;
    triangle_values original;
    auto kept_by = [&](int p, size_t t, face_read* into) {
        read_face(model, model.terrain[groups[size_t(p)][next[size_t(p)]]], true, into);
        return kept_in_both(*into, original, textured_order(*m->orders, t), true);
    };
    for (size_t j = 0; j < nt; j++) {
        size_t t = written[j];
        if (j + prefetch_distance < nt)
            prefetch_ahead(*m, written, j + prefetch_distance, groups, next, matched);
        original = stored_values(*m, true, t);
        kept_both best_both = {0, 0};
        if (groups.empty()) {
            (*face_of)[j] = uint32_t(j);
            read_face(model, model.terrain[j], true, &best_read);
            best_both = kept_in_both(best_read, original, textured_order(*m->orders, t), true);
        } else {
            int own = sheet_palette(m->mesh->tex_faces[t]), best = -1, best_kept = -1;
            if (next[size_t(own)] < groups[size_t(own)].size()) {
                best = own;
                best_both = kept_by(own, t, &best_read);
                best_kept = std::max(best_both.stored, best_both.turned);
            }
            // Most faces keep their palette and all of their triangle: no other face can keep more.
            for (int p = 0; p < palette_count && best_kept < all_kept; p++) {
                if (p == own || next[size_t(p)] == groups[size_t(p)].size())
                    continue;
                kept_both k = kept_by(p, t, &read);
                if (std::max(k.stored, k.turned) > best_kept) {
                    best = p;
                    best_both = k;
                    best_kept = std::max(k.stored, k.turned);
                    best_read = read;
                }
            }
            (*face_of)[j] = groups[size_t(best)][next[size_t(best)]++];
        }
        *turned_lead += best_both.turned - best_both.stored;
        size_t i = (*face_of)[j];
        if (!face_values(m, model.terrain[i], best_read, i, t, original, terrain_order(*m, t, turned), true,
                         &matched->textured[t]))
            return false;
    }
    return true;
}

// The skirt's values, its corners in the order given; *swapped_lead (when given) gets how many more
// of the original's corners the swapped order keeps where they were than the stored order does.
// Returns false with m->error for a face whose values cannot be stored.
bool skirt_values(matcher* m, corner_order order, mesh_values* matched, long* swapped_lead = nullptr)
{
    face_read read;
    long lead = 0;
    for (size_t i = 0; i < m->model->skirt.size(); i++) {
        if (i + prefetch_distance < m->model->skirt.size())
            prefetch_face(*m->model, m->model->skirt[i + prefetch_distance]);
        read_face(*m->model, m->model->skirt[i], false, &read);
        triangle_values original = stored_values(*m, false, i);
        if (swapped_lead) {
            kept_both k = kept_in_both(read, original, swapped, false);
            lead += k.turned - k.stored;
        }
        triangle_values values;
        if (!face_values(m, m->model->skirt[i], read, i, i, original, order, false, &values))
            return false;
        memcpy(matched->untextured[i].position, values.position, sizeof values.position);
    }
    if (swapped_lead)
        *swapped_lead = lead;
    return true;
}

// Whether the terrain's corners come as the .glb and --face-up turn them rather than as stored:
// whichever keeps more of the original's corners where they were (the evidence comes from
// assign_faces). Where that does not tell (a map moved as a whole keeps no corner where it was), a
// .glb is taken as mapconv writes it: turned.
bool faces_turned(const matcher& m, long terrain_lead)
{
    return terrain_lead > 0 || (terrain_lead == 0 && m.model->prefers_turned);
}

// The order of the skirt's corners, decided on its own, since mapconv turns the skirt by its walls
// and the terrain by its normals, and earlier versions turned it with the terrain: whichever order
// keeps more of the original's corners where they were; where that does not tell, the skirt's
// order when the terrain came turned, else as stored.
corner_order skirt_order(const matcher& m, bool turned)
{
    long lead = 0;
    face_read read;
    for (size_t i = 0; i < m.model->skirt.size(); i++) {
        read_face(*m.model, m.model->skirt[i], false, &read);
        kept_both k = kept_in_both(read, stored_values(m, false, i), swapped, false);
        lead += k.turned - k.stored;
    }
    return lead > 0 ? swapped : lead < 0 ? as_stored : turned ? m.orders->skirt : as_stored;
}

// The skirt's values in the order skirt_order decides, in one pass where the skirt comes in the
// order the writer gives it, as it mostly does; a pass in the other order only where the corners
// vote for it. Returns false with m->error for a face whose values cannot be stored.
bool skirt_corner_values(matcher* m, bool turned, mesh_values* matched)
{
    corner_order likely = turned ? m->orders->skirt : as_stored;
    size_t by_texture_only = m->by_texture_only, unrecognised = m->unrecognised;
    std::string first_unrecognised = m->first_unrecognised;
    long lead;
    if (skirt_values(m, likely, matched, &lead)) {
        corner_order voted = lead > 0 ? swapped : lead < 0 ? as_stored : likely;
        if (voted.corner[1] == likely.corner[1])
            return true;
    }
    // Counted again: as if the pass in the likely order had not been.
    m->by_texture_only = by_texture_only;
    m->unrecognised = unrecognised;
    m->first_unrecognised = first_unrecognised;
    m->error.clear();
    return skirt_values(m, skirt_order(*m, turned), matched);
}

uint64_t packed(const int16_t h[3])
{
    return uint64_t(uint16_t(h[0])) | uint64_t(uint16_t(h[1])) << 16 | uint64_t(uint16_t(h[2])) << 32;
}

// Whether most of the edited file's corners stand at none of the mesh's corners: then the file was
// made from another map. Sets *message to say so, with the counts of both.
bool from_another_map(const matcher& m, std::string* message)
{
    std::vector<uint64_t> corners;
    const polygon_counts& counts = m.mesh->counts;
    size_t nt = textured_triangle_count(counts), nu = untextured_triangle_count(counts);
    for (size_t t = 0; t < nt + nu; t++) {
        triangle_values v = stored_values(m, t < nt, t < nt ? t : t - nt);
        for (int c = 0; c < 3; c++)
            corners.push_back(packed(v.position[c]));
    }
    std::sort(corners.begin(), corners.end());
    size_t all = 0, elsewhere = 0;
    face_corners f;
    for (const std::vector<edited_face>* list : {&m.model->terrain, &m.model->skirt})
        for (const edited_face& face : *list) {
            face_corners_of(*m.model, face, &f, false);
            for (int c = 0; c < 3; c++) {
                int16_t h[3];
                bool stored = hundredths16(f.position[c][0], &h[0]) && hundredths16(f.position[c][1], &h[1]) &&
                              hundredths16(f.position[c][2], &h[2]);
                all++;
                elsewhere += !stored || !std::binary_search(corners.begin(), corners.end(), packed(h));
            }
        }
    if (all == 0 || elsewhere * 2 <= all)
        return false;
    const polygon_counts& c = m.mesh->counts;
    *message = "made from another map: the mesh has " + std::to_string(nt) + " textured and " + std::to_string(nu) +
               " untextured triangles (" + std::to_string(c.tex_tri_count) + ", " + std::to_string(c.tex_quad_count) +
               ", " + std::to_string(c.untex_tri_count) + " and " + std::to_string(c.untex_quad_count) +
               " polygons), the file " + std::to_string(m.model->terrain.size()) + " terrain and " +
               std::to_string(m.model->skirt.size()) + " skirt faces, and " + std::to_string(elsewhere) + " of its " +
               std::to_string(all) + " corners stand at none of the mesh's corners";
    return true;
}

// Whether a terrain face keeps two corners of the triangle it stands for at place j of an order.
bool in_place(const matcher& m, const face_read& read, size_t t)
{
    kept_both k = kept_in_both(read, stored_values(m, true, t), textured_order(*m.orders, t), true);
    return std::max(k.stored, k.turned) >= 20;
}

// Whether more terrain faces keep two corners of their triangle taken in the other order than in
// this one. Each face is read once for both, and the count stops where the rest of the faces
// could no longer change the answer (an unedited file: half way).
bool more_in_place(const matcher& m, const std::vector<uint32_t>& order, const std::vector<uint32_t>& other)
{
    long lead = 0;  // of the other order
    face_read read;
    size_t n = order.size();
    for (size_t j = 0; j < n; j++) {
        long rest = long(n - j);
        if (lead + rest <= 0 || lead - rest > 0)
            break;
        if (j + prefetch_distance < n)
            prefetch_face(*m.model, m.model->terrain[j + prefetch_distance]);
        if (order[j] == other[j])
            continue;
        read_face(*m.model, m.model->terrain[j], true, &read, false);
        lead += long(in_place(m, read, other[j])) - long(in_place(m, read, order[j]));
    }
    return lead > 0;
}

// The order mapconv wrote the terrain's faces in. A file whose materials name no palette may still
// hold them palette by palette, as mapconv writes them with --all-palettes: an editor that drops
// materials (three.js's OBJ exporter) keeps that order. Whichever order keeps more faces in place
// is the file's; the palettes then stay as they are.
std::vector<uint32_t> order_written(const matcher& m)
{
    const edited_model& model = *m.model;
    std::vector<uint32_t> written = written_order(*m.mesh, model.grouping);
    int palettes = 0;
    for (uint16_t used = used_palette_mask(*m.mesh); used; used &= uint16_t(used - 1))
        palettes++;
    if (model.grouping != grouped_as_stored || palettes < 2)
        return written;
    for (const edited_face& f : model.terrain)
        if (f.palette >= 0)
            return written;
    std::vector<uint32_t> by_palette = written_order(*m.mesh, grouped_by_palette);
    return more_in_place(m, written, by_palette) ? by_palette : written;
}

// A map turned, mirrored or scaled as a whole keeps no corner or edge of any face: a file exported
// with other axes or another scale. At most its texture coordinates tell its faces. Returns false
// with m->error when that, or a single face known for no triangle, is the case.
bool faces_recognised(matcher* m)
{
    size_t faces = textured_triangle_count(m->mesh->counts) + untextured_triangle_count(m->mesh->counts);
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
        int16_t* a = first->normal[shared_corner_at(0, shared)];
        int16_t* b = second->normal[shared_corner_at(1, shared)];
        const int16_t* stored = original.normal[shared_corner_at(0, shared)];
        if (memcmp(a, b, 3 * sizeof(int16_t)) == 0)
            continue;
        if (memcmp(a, stored, 3 * sizeof(int16_t)) == 0) {
            memcpy(a, b, 3 * sizeof(int16_t));
        } else if (memcmp(b, stored, 3 * sizeof(int16_t)) == 0) {
            memcpy(b, a, 3 * sizeof(int16_t));
        } else {
            for (int k = 0; k < 3; k++)
                a[k] = b[k] = int16_t(std::floor((a[k] + b[k]) / 2.0 + 0.5));
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
        const int16_t* a = first.uv[i];
        const int16_t* b = second.uv[j];
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

// An untextured triangle as values: its positions, nothing else.
triangle_values with_positions(const triangle_positions& positions)
{
    triangle_values v = {};
    memcpy(v.position, positions.position, sizeof v.position);
    return v;
}

// Every quad of both lists comes back whole: its normals joined, its triangles checked to agree.
bool quads_whole(matcher* m, mesh_values* values)
{
    const polygon_counts& c = m->mesh->counts;
    for (size_t q = 0; q < c.tex_quad_count; q++) {
        size_t t = c.tex_tri_count + 2 * q;
        join_quad_normals(&values->textured[t], &values->textured[t + 1], stored_values(*m, true, t));
    }
    for (size_t q = 0; q < c.tex_quad_count; q++) {
        size_t t = c.tex_tri_count + 2 * q;
        if (!quad_joins(m, values->textured[t], values->textured[t + 1], true, q))
            return false;
    }
    for (size_t q = 0; q < c.untex_quad_count; q++) {
        size_t t = c.untex_tri_count + 2 * q;
        if (!quad_joins(m, with_positions(values->untextured[t]), with_positions(values->untextured[t + 1]), false, q))
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
    // Rounded to nearest, halves away from zero, as std::round does: the range is checked first,
    // so the cast is exact and the fraction h - t too.
    double h = value * 100;
    if (!(h > -32768.5 && h < 32767.5))
        return false;
    int t = int(h);
    double fraction = h - t;
    *out = fraction >= 0.5 ? t + 1 : fraction <= -0.5 ? t - 1 : t;
    return true;
}

bool to_texel(double fraction, int size, int* out)
{
    double texel = fraction * size;
    if (!(texel > -0.5 && texel < size - 0.5))
        return false;
    int t = int(texel);
    *out = texel - t >= 0.5 ? t + 1 : t;
    return true;
}

int match_edited_model(const map_mesh& mesh, const face_orders& orders, const stored_records& stored,
                       const edited_model& model, mesh_values* matched, std::string* error)
{
    matcher m;
    m.mesh = &mesh;
    m.model = &model;
    m.stored = &stored;
    m.orders = &orders;
    size_t nt = textured_triangle_count(mesh.counts), nu = untextured_triangle_count(mesh.counts);
    if ((model.terrain.size() != nt || model.skirt.size() != nu) && from_another_map(m, error))
        return -1;
    if (model.terrain.size() != nt || model.skirt.size() != nu) {
        *error = "expected " + std::to_string(nt) + " terrain faces and " + std::to_string(nu) +
                 " skirt faces (the mesh's textured and untextured triangles), found " +
                 std::to_string(model.terrain.size()) + " and " + std::to_string(model.skirt.size());
        return -1;
    }
    std::vector<uint32_t> written = order_written(m);
    // One pass takes each face and its values in the likelier corner order; only where the corners
    // say otherwise (a .glb an editor made from a clockwise OBJ) are they taken again.
    matched->textured.resize(nt);
    std::vector<uint32_t> face_of;
    long terrain_lead;
    bool guess = model.prefers_turned;
    if (!assign_faces(&m, written, guess, matched, &face_of, &terrain_lead))
        return *error = m.error, -1;
    bool turned = faces_turned(m, terrain_lead);
    if (turned != guess) {
        m.by_texture_only = m.unrecognised = 0;
        m.first_unrecognised.clear();
        face_read read;
        for (size_t j = 0; j < nt; j++) {
            size_t t = written[j], i = face_of[j];
            read_face(model, model.terrain[i], true, &read);
            if (!face_values(&m, model.terrain[i], read, i, t, stored_values(m, true, t), terrain_order(m, t, turned),
                             true, &matched->textured[t]))
                return *error = m.error, -1;
        }
    }
    // The skirt's values take the place of what only the terrain needed.
    std::vector<uint32_t>().swap(written);
    std::vector<uint32_t>().swap(face_of);
    matched->untextured.resize(nu);
    if (!skirt_corner_values(&m, turned, matched))
        return *error = m.error, -1;
    if (!faces_recognised(&m) || !quads_whole(&m, matched) || !pages_shared(&m, *matched))
        return *error = m.error, -1;
    return 0;
}
