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

// Whether a name, from its character from on, is wanted followed by nothing, an editor's ".001",
// or the "-0" assimp adds to each part of a split mesh.
inline bool names_part(const std::string& name, size_t from, const std::string& wanted)
{
    if (names_as(name, from, wanted))
        return true;
    size_t end = from + wanted.size();
    return name.compare(from, wanted.size(), wanted) == 0 && name.size() > end + 1 && name[end] == '-' &&
           name.find_first_not_of("0123456789", end + 1) == std::string::npos;
}

// Whether the name ends in "_" and wanted, as the names the .glb writer makes from a pair's name
// do (PAIR_terrain, PAIR_skirt, PAIR_palette_P), with what an editor may add after it.
inline bool ends_in(const std::string& name, const std::string& wanted)
{
    for (size_t at = name.find('_' + wanted); at != std::string::npos; at = name.find('_' + wanted, at + 1))
        if (names_part(name, at + 1, wanted))
            return true;
    return false;
}

// Whether an object, group or node is the terrain: named terrain, or after mapconv's group of its
// faces (tex; three.js and assimp name it so), or as the .glb names its mesh.
inline bool names_terrain(const std::string& name)
{
    return names_part(name, 0, terrain_name) || names_part(name, 0, terrain_group_name) || ends_in(name, terrain_name);
}

inline bool names_skirt(const std::string& name)
{
    return names_part(name, 0, skirt_name) || ends_in(name, skirt_name);
}

// The palette a material names: palette_P, or PAIR_palette_P as in the .glb; -1 for any other name.
inline int names_palette(const std::string& name)
{
    int palette = palette_named(name, 0);
    for (size_t at = name.find(std::string("_") + palette_material_prefix); palette < 0 && at != std::string::npos;
         at = name.find(std::string("_") + palette_material_prefix, at + 1))
        palette = palette_named(name, at + 1);
    return palette;
}
