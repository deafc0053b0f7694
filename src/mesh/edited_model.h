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

// Whether name, from its character from on, is wanted as mapconv wrote it, or with the ".001" an
// editor adds to keep two of one name apart.
inline bool names_as(const std::string& name, size_t from, const std::string& wanted)
{
    if (name.size() < from || name.compare(from, wanted.size(), wanted) != 0)
        return false;
    size_t end = from + wanted.size();
    if (name.size() == end)
        return true;
    return name[end] == '.' && name.size() > end + 1 &&
           name.find_first_not_of("0123456789", end + 1) == std::string::npos;
}

// The palette of a material named "palette_P" (from its character from on), P from 0 to 15; -1
// for any other name.
inline int palette_named(const std::string& name, size_t from)
{
    for (int palette = 0; palette < 16; palette++)
        if (names_as(name, from, "palette_" + std::to_string(palette)))
            return palette;
    return -1;
}

struct edited_model {
    std::vector<edited_face> terrain;
    std::vector<edited_face> skirt;
    face_grouping grouping = grouped_as_stored;
    bool always_turned = false;  // the faces turn as their normals say (a .glb), not maybe as stored
    std::string format;          // "OBJ" or "glTF binary", for messages
};
