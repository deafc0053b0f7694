// index.html: one page for a run, every pair with its preview and its files, opened from the disk
// with no script and no network.
#pragma once

#include <string>
#include <vector>

#include "mesh/map_mesh.h"

// What the page shows of one pair. File names are bare: the page lies beside them.
struct index_entry {
    std::string mesh, sheet;
    bool converted = false;
    std::string reason;  // why it failed
    polygon_counts counts = {};
    uint16_t palettes = 0;           // the terrain's palettes, as a mask
    std::vector<std::string> files;  // its outputs: sheets, OBJ, MTL, .glb
    std::string preview;             // its preview, or ""
};

// The page, in UTF-8; every name escaped for HTML, and for URLs where it is a link.
std::string index_page(const std::vector<index_entry>& entries);
