// The names a converted model carries, which the OBJ and .glb writers give and the readers of an
// edited model look for: one home, so that what is written is what is read back.
#pragma once

#include <string>

// The OBJ's objects and the .glb's nodes.
constexpr char terrain_name[] = "terrain";  // the textured triangles
constexpr char skirt_name[] = "skirt";      // the untextured triangles
// The OBJ's group of the terrain's faces.
constexpr char terrain_group_name[] = "tex";
// The terrain's one material, when the sheet is coloured through palette 0 alone.
constexpr char single_material_name[] = "blah";

// The material of the sheet coloured through palette P: "palette_P".
constexpr char palette_material_prefix[] = "palette_";
inline std::string palette_material_name(int palette)
{
    return palette_material_prefix + std::to_string(palette);
}

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

// The palette of a material named palette_material_name(P) (from its character from on), P from 0
// to 15; -1 for any other name.
inline int palette_named(const std::string& name, size_t from)
{
    for (int palette = 0; palette < 16; palette++)
        if (names_as(name, from, palette_material_name(palette)))
            return palette;
    return -1;
}

// The palette a .glb material's name ends in ("PAIR_palette_P", as the .glb writer names them,
// or with the ".001" an editor adds); -1 for any other name.
inline int palette_at_end(const std::string& name)
{
    size_t at = name.rfind(std::string("_") + palette_material_prefix);
    return at == std::string::npos ? -1 : palette_named(name, at + 1);
}
