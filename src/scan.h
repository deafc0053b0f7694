// The pair list of a run: the folder listed, or the files dropped onto the program, each name that
// may be an input sorted into the map meshes and the texture sheet candidates, and the pairs formed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One pair: a mesh and a texture candidate of the list.
struct pair_names {
    size_t mesh;
    size_t texture;
};

struct pair_list {
    std::vector<std::string> meshes, textures;  // in listing order
    std::vector<pair_names> pairs;              // mesh by mesh
    size_t pairs_per_mesh = 0;                  // the most texture candidates one mesh pairs with
    long refused = 0;                           // names the system cannot open as themselves
    bool missing = false;                       // a path given with its folder names nothing there
};

// Lists ".", keeps the names that begin with prefix and do not end in obj, gns, mtl, png, glb or
// html, sorts them into meshes and texture candidates and pairs every mesh with every candidate.
// Prints what the scan prints: a line for each name that cannot be opened, the two count lines,
// and a hint when nothing pairs (with how to convert the file the prefix names, when it names
// one). A prefix typed with its folder (as_typed, else null) that nothing there begins with is a
// file that is missing: said so, and list->missing set. output_folder ("" for none) is never an
// input. Returns 0, or -1 when "." cannot be listed.
int scan_prefix(const char* prefix, const char* as_typed, const std::string& output_folder, int quiet, pair_list* list);

// Pairs the files dropped onto the program, each a name in ".": meshes and sheets dropped together
// make exactly their pairs; else a dropped mesh pairs with every texture candidate whose name
// begins with the mesh's stem (its name up to the last '.'), and a dropped sheet with every mesh
// whose stem begins the sheet's name, as a prefix run pairs them; each pair once. Prints as
// scan_prefix does, and names each dropped file that pairs with nothing. Returns 0, or -1 when "."
// cannot be listed.
int scan_dropped(const std::vector<std::string>& dropped, const std::string& output_folder, int quiet, pair_list* list);

// Files dropped from one folder: the folder's absolute path, and their names in it.
struct dropped_folder {
    std::string folder;
    std::vector<std::string> names;
};

// Groups dropped paths by folder, in the order the folders first appear, each name once. Returns
// 0, or -1 with the folder that cannot be found in *bad_folder and the errno in *error.
int group_dropped(const std::vector<const char*>& paths, std::vector<dropped_folder>* folders, std::string* bad_folder,
                  int* error);
