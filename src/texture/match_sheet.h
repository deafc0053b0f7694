// A repainted picture of a sheet matched with the sheet: each pixel's colour back to an index of
// the palette that coloured it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh/map_mesh.h"
#include "texture/read_png.h"

struct sheet_edit_counts {
    size_t changed = 0;     // pixels whose colour (or, by index, whose index) is not the sheet's
    size_t exact = 0;       // of those, a colour the palette holds
    size_t nearest = 0;     // of those, a colour it does not hold, given the nearest it does
    int farthest = 0;       // the largest squared distance in RGB of those
    size_t bytes = 0;       // bytes of the sheet that changed
    bool by_index = false;  // an indexed picture whose palette is the sheet's went back index by index
};

// Writes into sheet (the original file's bytes, at least 131,072) the indices picture shows through
// the 16 colours of palette; picture's first row is the sheet's last. A pixel whose colour did not
// change keeps its index, even where the palette holds the colour twice; a changed one takes the
// first index of its colour, or of the nearest colour (by distance in RGB; the first of equals),
// unless exact_only refuses it. An indexed picture whose first 16 palette entries are the palette's
// colours goes back by index. Returns 0, or -1 with the first offending pixel and its reason in
// *error (sheet is then partly changed).
int match_sheet_picture(const read_picture& picture, const palette_colour* palette, bool exact_only,
                        std::vector<uint8_t>* sheet, sheet_edit_counts* counts, std::string* error);
