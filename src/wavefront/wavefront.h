// The Wavefront writers: the OBJ model and the MTL material library of one pair.
#pragma once

#include <string>
#include <vector>

#include "mesh/map_mesh.h"
#include "platform.h"

// Writes the model: object "terrain" (positions, normals, texture coordinates, faces bound to
// material "blah") and object "skirt" (positions and vertex-only faces). Returns 0, or -1 when a
// write failed (out->error says why).
int write_obj(const map_mesh* mesh, const char* mtl_name, output_file* out);

// The text after the "mtllib" line of the last OBJ written, and the geometry it was made from: a
// mesh paired with several sheets gives the same text each time. One per worker.
struct obj_text_cache {
    bool valid = false;
    int by_palette = 0;
    std::vector<tri_vectors> tex_positions, tex_normals, untex_positions;
    std::vector<tri_uvs> tex_uvs;
    std::vector<face_texinfo> tex_faces;
    std::vector<char> body;
};

// write_obj, or with by_palette the terrain's faces grouped by palette, ascending, each group
// bound to the material "palette_P" (palette numbers 16-255 select palette number mod 16). Reuses
// the cache's text when the geometry is the same and keeps the new text otherwise. With a null cache the text is only streamed to
// the file, which is cheaper when no other pair will use it. Returns 0, or -1.
int write_obj_text(const map_mesh* mesh, const char* mtl_name, int by_palette, obj_text_cache* cache,
                   output_file* out);

// Writes the nine-line library of the white material "blah" mapped with the PNG sheet. Returns 0,
// or -1 when a write failed.
int write_mtl(const char* png_name, output_file* out);

// Writes one material "palette_P" per palette in the ascending list, each mapped with its sheet.
int write_mtl_palettes(const std::vector<int>& palettes, const std::vector<std::string>& png_names,
                       output_file* out);
