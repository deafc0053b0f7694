#include "mesh/edited_model.h"

#include <cstring>

#include "prefetch.h"

namespace {

// A point placed: the 3 x 4 part of a column-major matrix.
void place_point(const double* m, double p[3])
{
    double r[3];
    for (int row = 0; row < 3; row++)
        r[row] = m[row] * p[0] + m[4 + row] * p[1] + m[8 + row] * p[2] + m[12 + row];
    memcpy(p, r, sizeof r);
}

// Normals turn with the inverse transpose of the placement: the cofactors of its 3 x 3 part, which
// differ from it only by a positive factor where the placement does not mirror.
void place_normal(const double* m, double n[3])
{
    auto e = [&](int row, int col) { return m[col * 4 + row]; };
    double r[3] = {0, 0, 0};
    for (int row = 0; row < 3; row++)
        for (int col = 0; col < 3; col++) {
            int r1 = (row + 1) % 3, r2 = (row + 2) % 3, c1 = (col + 1) % 3, c2 = (col + 2) % 3;
            r[row] += (e(r1, c1) * e(r2, c2) - e(r1, c2) * e(r2, c1)) * n[col];
        }
    memcpy(n, r, sizeof r);
}

const uint8_t* element_at(const edited_model& model, const number_array& array, size_t i)
{
    const uint8_t* base = array.bytes ? array.bytes : reinterpret_cast<const uint8_t*>(model.pools[array.pool].data());
    return base + array.first + i * array.stride;
}

}  // namespace

void set_elements(edited_model* model, const corner_elements& elements, edited_face* face)
{
    bool shared = true;
    for (int c = 0; c < 3; c++) {
        face->position[c] = elements.position[c];
        shared = shared && (!face->has_normal || elements.normal[c] == elements.position[c]) &&
                 (!face->has_uv || elements.uv[c] == elements.position[c]);
    }
    face->elsewhere = 0;
    if (!shared) {
        model->elements_elsewhere.push_back(elements);
        face->elsewhere = uint32_t(model->elements_elsewhere.size());
    }
}

void prefetch_face(const edited_model& model, const edited_face& face)
{
    const model_part& part = model.parts[face.part];
    for (int c = 0; c < 3; c++) {
        prefetch(element_at(model, part.positions, face.position[c]));
        if (face.has_normal)
            prefetch(element_at(model, part.normals, normal_element(model, face, c)));
        if (face.has_uv)
            prefetch(element_at(model, part.uvs, uv_element(model, face, c)));
    }
}

void numbers_at(const edited_model& model, const number_array& array, size_t i, int n, double* out)
{
    const uint8_t* p = element_at(model, array, i);
    switch (array.type) {
    case numbers_double:
        memcpy(out, p, sizeof(double) * size_t(n));
        return;
    case numbers_float:
        for (int k = 0; k < n; k++) {
            const uint8_t* b = p + 4 * k;
            uint32_t bits = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
            float f;
            memcpy(&f, &bits, sizeof f);
            out[k] = f;
        }
        return;
    case numbers_u8:
        for (int k = 0; k < n; k++)
            out[k] = p[k];
        return;
    case numbers_u16:
        for (int k = 0; k < n; k++)
            out[k] = p[2 * k] | p[2 * k + 1] << 8;
        return;
    case numbers_u8_normalized:
        for (int k = 0; k < n; k++)
            out[k] = p[k] / 255.0;
        return;
    case numbers_u16_normalized:
        for (int k = 0; k < n; k++)
            out[k] = (p[2 * k] | p[2 * k + 1] << 8) / 65535.0;
        return;
    }
}

void face_corners_of(const edited_model& model, const edited_face& face, face_corners* out, bool normals)
{
    const model_part& part = model.parts[face.part];
    for (int c = 0; c < 3; c++) {
        numbers_at(model, part.positions, face.position[c], 3, out->position[c]);
        if (part.placed)
            place_point(part.place, out->position[c]);
        if (normals && face.has_normal) {
            numbers_at(model, part.normals, normal_element(model, face, c), 3, out->normal[c]);
            if (part.placed)
                place_normal(part.place, out->normal[c]);
        } else if (normals) {
            out->normal[c][0] = out->normal[c][1] = out->normal[c][2] = 0;
        }
        if (face.has_uv) {
            numbers_at(model, part.uvs, uv_element(model, face, c), 2, out->uv[c]);
            // glTF's texture origin is the image's top-left; the sheet's first row is its bottom.
            if (part.uv_from_top)
                out->uv[c][1] = 1 - out->uv[c][1];
        } else {
            out->uv[c][0] = out->uv[c][1] = 0;
        }
    }
}
