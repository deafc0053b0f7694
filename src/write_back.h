// Writing an edited map back: the original map mesh, and an OBJ or .glb that mapconv made from it
// and a user edited, become a new map mesh file.
#pragma once

// Writes new_name: a copy of mesh_name with the corner positions, normals (unless keep_normals),
// texture coordinates and palettes of edited_name (an OBJ or a .glb, told by its content). Nothing
// is written when the edit cannot be put back whole; new_name may be mesh_name, which is then
// replaced only once the new bytes are complete. Prints what changed unless quiet. Returns a run
// status.
int write_back(const char* mesh_name, const char* edited_name, const char* new_name, int keep_normals, int quiet);
