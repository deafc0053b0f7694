// A model read back from an OBJ or .glb that a user edited: the terrain's and the skirt's triangles
// in the order the file lists them, in the units and axes of the files mapconv writes.
#pragma once

#include <string>
#include <vector>

struct edited_corner {
    double position[3];
    double normal[3];  // as the file has it; has_normal says whether it has one
    double uv[2];      // u / 256 and v / 1024, the sheet's first row at v = 0 (as in the OBJ)
};

struct edited_face {
    edited_corner corner[3];
    int palette = -1;  // the palette its material names (palette_P), or -1 when it names none
    bool has_normal = false;
    bool has_uv = false;
};

// How the file groups the terrain's faces, which tells the order mapconv wrote them in.
enum face_grouping {
    grouped_as_stored,   // one material: the mesh's order
    grouped_by_palette,  // a material per palette: palette by palette, each in the mesh's order
};

struct edited_model {
    std::vector<edited_face> terrain;
    std::vector<edited_face> skirt;
    face_grouping grouping = grouped_as_stored;
    bool always_turned = false;  // the faces turn as their normals say (a .glb), not maybe as stored
    std::string format;          // "OBJ" or "glTF binary", for messages
};
