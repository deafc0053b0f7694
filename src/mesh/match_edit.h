// Matching an edited model with the map mesh it was made from: which face of the edit stands in for
// which triangle of the mesh, and what each triangle's record fields become.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh/edited_model.h"
#include "mesh/map_mesh.h"

// A triangle of the textured or untextured list as the file stores it: every corner in hundredths,
// and (textured) its corners' u and v (page included) and its palette byte. Every field fits 16
// bits: the largest map's two lists take 20 MB.
struct triangle_values {
    int16_t position[3][3];
    int16_t normal[3][3];
    int16_t uv[3][2];
    int16_t palette_byte;
};

// Both lists of a mesh, triangle by triangle in the lists' order (each quad as its two triangles).
struct mesh_values {
    std::vector<triangle_values> textured, untextured;
};

// A decoded coordinate back in hundredths, rounded to nearest (halves away from zero). False for
// a value outside what 16 bits hold, or not a number.
bool to_hundredths(double value, int* out);

// A texture coordinate back as a texel of a side of size texels (u: 256, v with its page: 1024),
// rounded to nearest. False off the sheet, or for what is not a number.
bool to_texel(double fraction, int size, int* out);

// Matches the edited model's faces with the mesh's triangles (stored: the mesh's own values, as
// mesh_records reads them), object by object, in the order mapconv wrote them (the grouping and
// the corner order come from the original mesh), and gives *matched the values each triangle takes
// back: a quad's two triangles agree on their shared corners, and a polygon's corners lie in one
// page. Returns 0, or -1 with the first face or record that cannot be written back, what was
// expected and what was found, in *error.
int match_edited_model(const map_mesh& mesh, const mesh_values& stored, const edited_model& model, mesh_values* matched,
                       std::string* error);
