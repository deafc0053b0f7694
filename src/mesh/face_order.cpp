#include "mesh/face_order.h"

#include <algorithm>
#include <cmath>

void turn_normal(const tri_vectors& t, corner_order order, double out[3])
{
    const float* a = t.corner[order.corner[0]];
    const float* b = t.corner[order.corner[1]];
    const float* c = t.corner[order.corner[2]];
    double ux = double(b[0]) - a[0], uy = double(b[1]) - a[1], uz = double(b[2]) - a[2];
    double vx = double(c[0]) - a[0], vy = double(c[1]) - a[1], vz = double(c[2]) - a[2];
    out[0] = uy * vz - uz * vy;
    out[1] = uz * vx - ux * vz;
    out[2] = ux * vy - uy * vx;
}

bool unit_length(const float normal[3], float out[3])
{
    double length =
        std::sqrt(double(normal[0]) * normal[0] + double(normal[1]) * normal[1] + double(normal[2]) * normal[2]);
    if (!(length > 0))
        return false;
    for (int k = 0; k < 3; k++)
        out[k] = float(normal[k] / length);
    return true;
}

namespace {

// Whether a textured triangle's stored corners turn counter-clockwise around the sum of its normals
// at unit length: 1 yes, -1 clockwise, 0 when they do not decide. Stored normals of different
// lengths would weigh the corners unequally, and viewers judge by the unit ones.
int stored_winding(const tri_vectors& position, const tri_vectors& normal)
{
    double turn[3];
    turn_normal(position, as_stored, turn);
    double sum[3] = {0, 0, 0};
    for (int c = 0; c < 3; c++) {
        float unit[3];
        if (unit_length(normal.corner[c], unit))
            for (int k = 0; k < 3; k++)
                sum[k] += unit[k];
    }
    double along = turn[0] * sum[0] + turn[1] * sum[1] + turn[2] * sum[2];
    return along > 0 ? 1 : along < 0 ? -1 : 0;
}

// Whether most untextured triangles, as stored, face away from the middle of the map seen from
// above: 1 yes, -1 toward it, 0 when they do not decide. A wall faces out of the map it closes;
// flat pieces tell nothing, and the walls of a pit, facing inward, are outvoted by the outer ones.
int skirt_winding(const map_mesh* mesh)
{
    // The middle of the map's extent across: x and z, as y is up.
    double low[2] = {HUGE_VAL, HUGE_VAL}, high[2] = {-HUGE_VAL, -HUGE_VAL};
    for (const std::vector<tri_vectors>* list : {&mesh->tex_positions, &mesh->untex_positions})
        for (const tri_vectors& t : *list)
            for (const float* c : t.corner)
                for (int k = 0; k < 2; k++) {
                    low[k] = std::min(low[k], double(c[k * 2]));
                    high[k] = std::max(high[k], double(c[k * 2]));
                }
    double middle[2] = {(low[0] + high[0]) / 2, (low[1] + high[1]) / 2};
    long balance = 0;
    for (const tri_vectors& t : mesh->untex_positions) {
        double turn[3];
        turn_normal(t, as_stored, turn);
        double out[2];
        for (int k = 0; k < 2; k++)
            out[k] = (double(t.corner[0][k * 2]) + t.corner[1][k * 2] + t.corner[2][k * 2]) / 3 - middle[k];
        double along = turn[0] * out[0] + turn[2] * out[1];
        balance += along > 0 ? 1 : along < 0 ? -1 : 0;
    }
    return balance > 0 ? 1 : balance < 0 ? -1 : 0;
}

}  // namespace

face_orders choose_face_orders(const map_mesh* mesh)
{
    face_orders orders;
    size_t count = mesh->tex_positions.size();
    orders.textured.resize(count);
    long balance = 0;
    for (size_t t = 0; t < count; t++) {
        orders.textured[t] = int8_t(stored_winding(mesh->tex_positions[t], mesh->tex_normals[t]));
        balance += orders.textured[t];
    }
    orders.majority = balance < 0 ? swapped : as_stored;
    int skirt = skirt_winding(mesh);
    orders.skirt = skirt > 0 ? as_stored : skirt < 0 ? swapped : orders.majority;
    return orders;
}
