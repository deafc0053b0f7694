// index.html: one page for a folder of converted maps, every pair with its preview and its files,
// opened from the disk with no script and no network. A later run adds its pairs to the page an
// earlier run left, which holds what it shows in a form the next run reads back.
#pragma once

#include <cstdint>
#include <functional>
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
    uint64_t order = 0;              // when its outputs were put in place: later pairs, higher
};

// The page, in UTF-8: the pairs by name (numbers in names in numeric order), a list of them at the
// top, and where another mesh's pair wrote a sheet PNG last, which colours it shows. Every name is
// escaped for HTML, and for URLs where it is a link.
std::string index_page(std::vector<index_entry> entries);

// The entries of a page this program wrote, read back; none from any other text.
std::vector<index_entry> read_index_entries(const std::string& page);

// This run's entries added to those of the page an earlier run left: a pair of this run replaces
// its earlier entry, and an earlier pair that failed, or whose OBJ is gone (exists says) or now
// holds a pair of this run, is left out. This run's pairs are ordered after every earlier one.
std::vector<index_entry> merged_entries(std::vector<index_entry> earlier, std::vector<index_entry> now,
                                        const std::function<bool(const std::string&)>& exists);

// Whether a comes before b as people sort names: numbers by their value ("map2" before "map10").
bool name_before(const std::string& a, const std::string& b);
