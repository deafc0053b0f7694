#include "preview/index_page.h"

#include <cstdio>

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

const char page_head[] = "<!DOCTYPE html>\n"
                         "<html lang=\"en\">\n"
                         "<head>\n"
                         "<meta charset=\"utf-8\">\n"
                         "<title>mapconv: the maps of this folder</title>\n"
                         "<style>\n"
                         "body { font-family: sans-serif; margin: 1.5em; background: #f4f2ee; color: #222; }\n"
                         "main { display: flex; flex-wrap: wrap; gap: 1em; align-items: flex-start; }\n"
                         "article { background: #fff; border: 1px solid #ccc; padding: 0.6em; width: 272px; }\n"
                         "article img { width: 256px; height: 256px; object-fit: contain; image-rendering: "
                         "pixelated;\n"
                         "  background: repeating-conic-gradient(#ddd 0 25%, #fff 0 50%) 0 0 / 16px 16px; }\n"
                         "h2 { font-size: 1em; margin: 0.4em 0; overflow-wrap: anywhere; }\n"
                         "p, ul { font-size: 0.85em; margin: 0.3em 0; overflow-wrap: anywhere; }\n"
                         ".failed { border-color: #c33; }\n"
                         "</style>\n"
                         "</head>\n"
                         "<body>\n";

}  // namespace

std::string index_page(const std::vector<index_entry>& entries)
{
    size_t converted = 0;
    for (const index_entry& e : entries)
        converted += e.converted;
    std::string page = page_head;
    page += "<h1>" + std::to_string(converted) + " of " + std::to_string(entries.size()) +
            " pairs converted</h1>\n<main>\n";
    for (const index_entry& e : entries) {
        page += e.converted ? "<article>\n" : "<article class=\"failed\">\n";
        if (!e.preview.empty())
            page += "<a href=\"" + url(e.preview) + "\"><img src=\"" + url(e.preview) + "\" alt=\"" +
                    html(e.mesh + " with " + e.sheet + ", seen from above") + "\" loading=\"lazy\"></a>\n";
        page += "<h2>" + html(e.mesh) + " with " + html(e.sheet) + "</h2>\n";
        if (!e.converted) {
            page += "<p>Not converted: " + html(e.reason) + "</p>\n</article>\n";
            continue;
        }
        page += "<p>" + std::to_string(e.counts.tex_tri_count) + " textured triangles, " +
                std::to_string(e.counts.tex_quad_count) + " textured quads, " +
                std::to_string(e.counts.untex_tri_count) + " untextured triangles, " +
                std::to_string(e.counts.untex_quad_count) + " untextured quads</p>\n";
        std::string palettes;
        for (int p = 0; p < palette_count; p++)
            if (e.palettes & 1u << p)
                palettes += (palettes.empty() ? "" : ", ") + std::to_string(p);
        page += "<p>Palettes of the terrain: " + (palettes.empty() ? std::string("none") : palettes) + "</p>\n<ul>\n";
        for (const std::string& file : e.files)
            page += "<li><a href=\"" + url(file) + "\">" + html(file) + "</a></li>\n";
        page += "</ul>\n</article>\n";
    }
    page += "</main>\n</body>\n</html>\n";
    return page;
}
