// Writing an edited map back: the original map mesh, and an OBJ or .glb that mapconv made from it
// and a user edited, become a new map mesh file.
#pragma once

// Writes new_name: a copy of mesh_name with the corner positions, normals (unless keep_normals),
// texture coordinates and palettes of edited_name (an OBJ or a .glb, told by its content). Nothing
// is written when the edit cannot be put back whole; new_name may be mesh_name, which is then
// replaced only once the new bytes are complete. Prints what changed unless quiet. Returns a run
// status.
int write_back(const char* mesh_name, const char* edited_name, const char* new_name, int keep_normals, int quiet);

// How a repainted picture of a sheet goes back.
struct sheet_write_back {
    const char* mesh_name = nullptr;  // the map mesh whose palettes coloured the picture
    int palette = -1;                 // the palette; -1: the P of the picture's name, T_tex_P.png
    int exact_colours = 0;            // refuse a colour the palette does not hold
};

// Writes new_name: a copy of the texture sheet sheet_name with the indices that picture_name (a PNG
// of the sheet, coloured through a palette of the mesh, edited) now shows. Nothing is written when
// the picture cannot be put back whole; new_name may be sheet_name, replaced only then. Prints what
// changed unless quiet. Returns a run status.
int write_back_sheet(const char* sheet_name, const char* picture_name, const char* new_name,
                     const sheet_write_back& how, int quiet);
