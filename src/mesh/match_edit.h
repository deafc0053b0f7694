// Matching an edited model with the map mesh it was made from: which face of the edit stands in for
// which triangle of the mesh, and what each triangle's record fields become.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh/edited_model.h"
#include "mesh/face_order.h"
#include "mesh/map_mesh.h"

// A triangle of the textured or untextured list as the file stores it: every corner in hundredths,
// and (textured) its corners' u and v (page included) and its palette byte. Every field fits 16
// bits: the largest map's textured list takes 10 MB.
struct triangle_values {
    int16_t position[3][3];
    int16_t normal[3][3];
    int16_t uv[3][2];
    int16_t palette_byte;
};

// An untextured triangle's corners: all its records store (the largest map's skirt: 3.5 MB).
struct triangle_positions {
    int16_t position[3][3];
};

// Both lists of a mesh, triangle by triangle in the lists' order (each quad as its two triangles).
struct mesh_values {
    std::vector<triangle_values> textured;
    std::vector<triangle_positions> untextured;
};

// The original mesh's records where its file holds them: read a triangle at a time as matching
// needs one, not copied whole (the largest map's take 20 MB as values).
struct stored_records {
    const uint8_t* block = nullptr;  // the file's bytes from the counts on
    polygon_counts counts;
};

// file: the mesh file's bytes, from its first.
stored_records records_of(const uint8_t* file, const polygon_counts& counts);

// Triangle t of the textured or untextured list, its corners in the order the triangle takes them
// from its record (a quad's as quad_triangle_corners say), untextured ones' normals, uvs and
// palette zero.
void stored_triangle(const stored_records& stored, bool textured, size_t t, triangle_values* out);

// Asks for the records textured triangle t is read from: for loops that take triangles from all
// over the file.
void prefetch_stored_triangle(const stored_records& stored, size_t t);

// A decoded coordinate back in hundredths, rounded to nearest (halves away from zero). False for
// a value outside what 16 bits hold, or not a number.
bool to_hundredths(double value, int* out);

// A texture coordinate back as a texel of a side of size texels (u: 256, v with its page: 1024),
// rounded to nearest. False off the sheet, or for what is not a number.
bool to_texel(double fraction, int size, int* out);

// Matches the edited model's faces with the mesh's triangles (stored: the mesh's own records;
// orders: how mapconv turned its triangles), object by object, in the order mapconv wrote them,
// and gives *matched the values each triangle takes
// back: a quad's two triangles agree on their shared corners, and a polygon's corners lie in one
// page. Returns 0, or -1 with the first face or record that cannot be written back, what was
// expected and what was found, in *error.
// Of the mesh, only its counts and its textured faces' palettes are read: its decoded corners may
// be released first.
int match_edited_model(const map_mesh& mesh, const face_orders& orders, const stored_records& stored,
                       const edited_model& model, mesh_values* matched, std::string* error);
