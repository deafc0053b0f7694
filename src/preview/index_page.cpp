#include "preview/index_page.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

std::string html(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// The text html() escaped, back.
std::string unescaped(const std::string& text)
{
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        bool replaced = false;
        for (const auto& e : entities)
            if (text.compare(i, strlen(e.first), e.first) == 0) {
                out += e.second;
                i += strlen(e.first) - 1;
                replaced = true;
                break;
            }
        if (!replaced)
            out += text[i];
    }
    return out;
}

// A file name as a relative URL: every byte but the unreserved ones percent-encoded, so blanks,
// '#', '%', '?' and letters of any language all lead to the file.
std::string url(const std::string& name)
{
    std::string out;
    for (unsigned char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~';
        if (plain) {
            out += char(c);
        } else {
            char code[4];
            snprintf(code, sizeof code, "%%%02X", c);
            out += code;
        }
    }
    // "./" keeps a name with a colon from being read as a scheme.
    return "./" + out;
}

// Says that the page is this program's: a later run reads its entries back.
const char generator[] = "<meta name=\"generator\" content=\"mapconv index\">\n";

const char page_style[] =
    "<style>\n"
    "body { font-family: sans-serif; margin: 1.5em; background: #f4f2ee; color: #222; overflow-wrap: anywhere; }\n"
    "nav ul { columns: 18em; font-size: 0.85em; padding-left: 1.2em; }\n"
    "main { display: flex; flex-wrap: wrap; gap: 1em; align-items: flex-start; }\n"
    "article { background: #fff; border: 1px solid #ccc; padding: 0.6em; width: 272px; min-width: 0; }\n"
    "article img { width: 256px; height: 256px; object-fit: contain; image-rendering: pixelated;\n"
    "  background: repeating-conic-gradient(#ddd 0 25%, #fff 0 50%) 0 0 / 16px 16px; }\n"
    "h2 { font-size: 1em; margin: 0.4em 0; }\n"
    "p, ul { font-size: 0.85em; margin: 0.3em 0; }\n"
    ".failed { border-color: #c33; }\n"
    "</style>\n";

std::string counts_text(const polygon_counts& c)
{
    return std::to_string(c.tex_tri_count) + " " + std::to_string(c.tex_quad_count) + " " +
           std::to_string(c.untex_tri_count) + " " + std::to_string(c.untex_quad_count);
}

// The entry as attributes of its card, which read_index_entries reads back.
std::string entry_attributes(const index_entry& e)
{
    std::string files;
    for (const std::string& f : e.files)
        files += (files.empty() ? "" : "/") + f;  // no file name holds a '/'
    return " data-mesh=\"" + html(e.mesh) + "\" data-sheet=\"" + html(e.sheet) + "\" data-converted=\"" +
           (e.converted ? "1" : "0") + "\" data-reason=\"" + html(e.reason) + "\" data-counts=\"" +
           counts_text(e.counts) + "\" data-palettes=\"" + std::to_string(e.palettes) + "\" data-files=\"" +
           html(files) + "\" data-preview=\"" + html(e.preview) + "\" data-order=\"" + std::to_string(e.order) + "\"";
}

bool ends_with(const std::string& name, const char* end)
{
    size_t n = strlen(end);
    return name.size() >= n && name.compare(name.size() - n, n, end) == 0;
}

// For each sheet PNG, the entry that put it in place last: the sheet shows that pair's colours.
std::map<std::string, const index_entry*> sheet_owners(const std::vector<index_entry>& entries)
{
    std::map<std::string, const index_entry*> owners;
    for (const index_entry& e : entries)
        for (const std::string& f : e.files) {
            if (!e.converted || !ends_with(f, ".png"))
                continue;
            const index_entry*& owner = owners[f];
            if (!owner || e.order > owner->order)
                owner = &e;
        }
    return owners;
}

// A converted pair's card: its counts, palettes, files, and which sheets show another mesh's
// colours.
std::string converted_card(const index_entry& e, const std::map<std::string, const index_entry*>& owners)
{
    std::string card = "<p>" + std::to_string(e.counts.tex_tri_count) + " textured triangles, " +
                       std::to_string(e.counts.tex_quad_count) + " textured quads, " +
                       std::to_string(e.counts.untex_tri_count) + " untextured triangles, " +
                       std::to_string(e.counts.untex_quad_count) + " untextured quads</p>\n";
    std::string palettes, glb;
    for (int p = 0; p < palette_count; p++)
        if (e.palettes & 1u << p)
            palettes += (palettes.empty() ? "" : ", ") + std::to_string(p);
    card += "<p>Palettes of the terrain: " + (palettes.empty() ? std::string("none") : palettes) + "</p>\n<ul>\n";
    for (const std::string& file : e.files) {
        card += "<li><a href=\"" + url(file) + "\">" + html(file) + "</a></li>\n";
        glb = ends_with(file, ".glb") ? file : glb;
    }
    card += "</ul>\n";
    for (const std::string& file : e.files) {
        auto owner = owners.find(file);
        if (owner == owners.end() || owner->second->mesh == e.mesh)
            continue;
        card += "<p>" + html(file) + " is shared: it shows the colours of " + html(owner->second->mesh) +
                ", whose pair wrote it last";
        card += glb.empty()
                    ? ".</p>\n"
                    : "; this pair's own colours are in <a href=\"" + url(glb) + "\">" + html(glb) + "</a>.</p>\n";
    }
    return card;
}

}  // namespace

bool name_before(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            // Whole numbers by their value: fewer digits (leading zeros aside) is less.
            size_t si = i, sj = j;
            while (si < a.size() && a[si] == '0')
                si++;
            while (sj < b.size() && b[sj] == '0')
                sj++;
            size_t ei = si, ej = sj;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9')
                ei++;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9')
                ej++;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0)
                return c < 0;
            if (ei - i != ej - j)
                return ei - i < ej - j;  // the same value: fewer leading zeros first
            i = ei, j = ej;
        } else {
            if (a[i] != b[j])
                return (unsigned char)a[i] < (unsigned char)b[j];
            i++, j++;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string index_page(std::vector<index_entry> entries)
{
    std::stable_sort(entries.begin(), entries.end(), [](const index_entry& a, const index_entry& b) {
        return name_before(a.mesh, b.mesh) || (a.mesh == b.mesh && name_before(a.sheet, b.sheet));
    });
    size_t converted = 0;
    for (const index_entry& e : entries)
        converted += e.converted;
    std::map<std::string, const index_entry*> owners = sheet_owners(entries);
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += generator;
    page += "<title>mapconv: the maps of this folder</title>\n";
    page += page_style;
    page += "</head>\n<body>\n<h1>" + std::to_string(converted) + " of " + std::to_string(entries.size()) +
            " pairs converted</h1>\n<nav>\n<ul>\n";
    for (size_t i = 0; i < entries.size(); i++)
        page += "<li><a href=\"#pair-" + std::to_string(i + 1) + "\">" + html(entries[i].mesh) + " with " +
                html(entries[i].sheet) + "</a>" + (entries[i].converted ? "" : " (not converted)") + "</li>\n";
    page += "</ul>\n</nav>\n<main>\n";
    for (size_t i = 0; i < entries.size(); i++) {
        const index_entry& e = entries[i];
        page += "<article id=\"pair-" + std::to_string(i + 1) + "\"" + (e.converted ? "" : " class=\"failed\"") +
                entry_attributes(e) + ">\n";
        // A failed pair shows no picture: one of its name may be another pair's.
        if (e.converted && !e.preview.empty())
            page += "<a href=\"" + url(e.preview) + "\"><img src=\"" + url(e.preview) + "\" alt=\"" +
                    html(e.mesh + " with " + e.sheet + ", seen from above") + "\" loading=\"lazy\"></a>\n";
        page += "<h2>" + html(e.mesh) + " with " + html(e.sheet) + "</h2>\n";
        page += e.converted ? converted_card(e, owners) : "<p>Not converted: " + html(e.reason) + "</p>\n";
        page += "</article>\n";
    }
    page += "</main>\n</body>\n</html>\n";
    return page;
}

std::vector<index_entry> read_index_entries(const std::string& page)
{
    std::vector<index_entry> entries;
    if (page.find(generator) == std::string::npos)
        return entries;
    for (size_t at = page.find("<article "); at != std::string::npos; at = page.find("<article ", at + 1)) {
        size_t end = page.find('>', at);
        if (end == std::string::npos)
            break;
        std::map<std::string, std::string> attributes;
        for (size_t p = page.find(" data-", at); p != std::string::npos && p < end; p = page.find(" data-", p + 1)) {
            size_t equals = page.find("=\"", p),
                   close = equals == std::string::npos ? equals : page.find('"', equals + 2);
            if (close == std::string::npos || close > end)
                break;
            attributes[page.substr(p + 6, equals - p - 6)] = unescaped(page.substr(equals + 2, close - equals - 2));
        }
        index_entry e;
        e.mesh = attributes["mesh"];
        e.sheet = attributes["sheet"];
        e.converted = attributes["converted"] == "1";
        e.reason = attributes["reason"];
        unsigned long c[4] = {0, 0, 0, 0};
        if (sscanf(attributes["counts"].c_str(), "%lu %lu %lu %lu", &c[0], &c[1], &c[2], &c[3]) == 4)
            e.counts = polygon_counts{uint16_t(c[0]), uint16_t(c[1]), uint16_t(c[2]), uint16_t(c[3])};
        e.palettes = uint16_t(strtoul(attributes["palettes"].c_str(), nullptr, 10));
        const std::string& files = attributes["files"];
        for (size_t from = 0; from < files.size();) {
            size_t slash = std::min(files.find('/', from), files.size());
            e.files.push_back(files.substr(from, slash - from));
            from = slash + 1;
        }
        e.preview = attributes["preview"];
        e.order = strtoull(attributes["order"].c_str(), nullptr, 10);
        if (!e.mesh.empty() && !e.sheet.empty())
            entries.push_back(e);
    }
    return entries;
}

std::vector<index_entry> merged_entries(std::vector<index_entry> earlier, std::vector<index_entry> now,
                                        const std::function<bool(const std::string&)>& exists)
{
    uint64_t last = 0;
    for (const index_entry& e : earlier)
        last = std::max(last, e.order);
    // The OBJs this run put in place: an earlier pair whose OBJ one of them replaced is gone.
    std::vector<std::string> written;
    for (const index_entry& n : now)
        for (const std::string& f : n.files)
            if (n.converted && ends_with(f, ".obj"))
                written.push_back(f);
    std::vector<index_entry> merged;
    for (const index_entry& e : earlier) {
        auto same = [&](const index_entry& n) { return n.mesh == e.mesh && n.sheet == e.sheet; };
        bool obj_there = false, replaced = false;
        for (const std::string& f : e.files)
            if (ends_with(f, ".obj")) {
                obj_there = obj_there || exists(f);
                replaced = replaced || std::find(written.begin(), written.end(), f) != written.end();
            }
        if (e.converted && obj_there && !replaced && std::none_of(now.begin(), now.end(), same))
            merged.push_back(e);
    }
    for (size_t i = 0; i < now.size(); i++) {
        now[i].order = last + 1 + i;
        merged.push_back(now[i]);
    }
    return merged;
}
