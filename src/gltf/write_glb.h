// The glTF 2.0 binary form of one pair: the terrain with its sheets embedded, and the skirt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh/map_mesh.h"

// The PNG bytes of one sheet and the palette it was coloured with.
struct glb_sheet {
    int palette;
    const std::vector<uint8_t>* png;
};

// Builds the .glb bytes: node "terrain" with one primitive per sheet (faces whose palette, mod 16,
// is the sheet's; every face when there is one sheet), and node "skirt". Returns 0, or -1 with a
// reason in *error.
int write_glb(const map_mesh* mesh, const std::vector<glb_sheet>& sheets, std::string* glb, std::string* error);
