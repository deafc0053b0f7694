// Which way round each triangle turns for viewers that draw a face from the side where its corners
// turn counter-clockwise (glTF, and most OBJ readers): the file's corner order is not fixed by the
// format, and the reader mirrors y.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mesh/map_mesh.h"

// A triangle's corners as written: as stored, or with the last two swapped.
struct corner_order {
    int corner[3];
};

constexpr corner_order as_stored = {{0, 1, 2}};
constexpr corner_order swapped = {{0, 2, 1}};

// Each textured triangle faces where its normals point, scaled to unit length as viewers see them;
// one its normals do not decide (zero, or perpendicular) takes what most of the textured triangles
// need (the stored order when the tally is even or there are none). The untextured triangles have
// no normals: they are the skirt, mostly walls, and take the order in which most of them face away
// from the middle of the map, seen from above; where that does not decide, the terrain's majority.
struct face_orders {
    std::vector<int8_t> textured;  // per textured triangle: 1 as stored, -1 swapped, 0 the majority
    corner_order majority = as_stored;
    corner_order skirt = as_stored;
};

face_orders choose_face_orders(const map_mesh* mesh);

// The order textured triangle t is written in.
inline corner_order textured_order(const face_orders& orders, size_t t)
{
    return orders.textured[t] > 0 ? as_stored : orders.textured[t] < 0 ? swapped : orders.majority;
}

// A stored normal scaled to unit length, as single-precision numbers; false for a zero normal.
bool unit_length(const float normal[3], float out[3]);

// The right-hand (counter-clockwise) normal of the triangle in this corner order, not normalised.
void turn_normal(const tri_vectors& t, corner_order order, double out[3]);
