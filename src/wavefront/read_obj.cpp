#include "wavefront/read_obj.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "mesh/map_mesh.h"
#include "mesh/model_names.h"

namespace {

// The most of each kind of value a map's OBJ holds: a position for every corner of both lists, a
// normal and a texture coordinate for every textured corner. An edited file may weld them, never
// need more.
constexpr size_t most_positions = 6 * size_t(most_list_triangles);
constexpr size_t most_normals = 3 * size_t(most_list_triangles);
constexpr size_t most_uvs = 3 * size_t(most_list_triangles);

// A line may be long (a name, a comment), never without bound.
constexpr size_t longest_line = 1 << 20;
constexpr size_t block_size = 1 << 20;

// The file's lines, read a block at a time from the source.
struct line_reader {
    const byte_source* source;
    std::vector<char> buffer;
    size_t start = 0, end = 0;  // the unread bytes of buffer
    uint64_t offset = 0;        // of the source, where the next block starts
    bool at_end = false;
    size_t number = 0;  // of the line last read, from 1
};

// The next line, without its line break, in *text and *size. Returns 1, 0 at the end of the file,
// or -1 with *error set.
int next_line(line_reader* r, const char** text, size_t* size, std::string* error)
{
    for (;;) {
        const char* from = r->buffer.data() + r->start;
        const char* line_end =
            r->end > r->start ? static_cast<const char*>(memchr(from, '\n', r->end - r->start)) : nullptr;
        if (line_end || (r->at_end && r->end > r->start)) {
            size_t n = line_end ? size_t(line_end - from) : r->end - r->start;
            r->start += line_end ? n + 1 : n;
            r->number++;
            *text = from;
            *size = n > 0 && from[n - 1] == '\r' ? n - 1 : n;
            return 1;
        }
        if (r->at_end)
            return 0;
        if (r->end - r->start > longest_line) {
            *error = "line " + std::to_string(r->number + 1) + ": longer than 1 MiB";
            return -1;
        }
        // Keep the start of the line, and read the next block after it.
        memmove(r->buffer.data(), from, r->end - r->start);
        r->end -= r->start;
        r->start = 0;
        // A block, or what is left of a file whose size is known (one byte more, to see its end).
        size_t want = block_size;
        long long total = source_size(r->source);
        if (total >= 0 && uint64_t(total) >= r->offset && uint64_t(total) - r->offset < want)
            want = size_t(uint64_t(total) - r->offset) + 1;
        if (r->buffer.size() < r->end + want)
            r->buffer.resize(r->end + want);
        long got = read_source(r->source, r->offset, r->buffer.data() + r->end, want);
        if (got < 0) {
            *error = error_text(errno);
            return -1;
        }
        r->offset += uint64_t(got);
        r->end += size_t(got);
        r->at_end = got == 0;
    }
}

// A line's words, split at blanks and tabs.
struct words {
    const char* text;
    size_t size;
    size_t at = 0;
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The next word, or false at the end of the line.
bool next_word(words* w, const char** word, size_t* size)
{
    while (w->at < w->size && is_blank(w->text[w->at]))
        w->at++;
    if (w->at == w->size)
        return false;
    size_t from = w->at;
    while (w->at < w->size && !is_blank(w->text[w->at]))
        w->at++;
    *word = w->text + from;
    *size = w->at - from;
    return true;
}

// The rest of the line, without blanks around it: a name.
std::string rest_of_line(words* w)
{
    size_t from = w->at, to = w->size;
    while (from < to && is_blank(w->text[from]))
        from++;
    while (to > from && is_blank(w->text[to - 1]))
        to--;
    w->at = w->size;
    return std::string(w->text + from, to - from);
}

// A number that reads whole and is finite: "1.5", "-2", "+3e2"; never "1,5", "12abc", "nan", "inf".
bool read_number(const char* word, size_t size, double* out)
{
    if (size > 0 && word[0] == '+') {
        word++, size--;
        if (size > 0 && word[0] == '-')
            return false;
    }
    auto result = std::from_chars(word, word + size, *out, std::chars_format::general);
    return result.ec == std::errc() && result.ptr == word + size && std::isfinite(*out);
}

// Reads the next word of w as a number, as read_number does. The numbers editors write, such as
// "-12.345600" (at most 15 digits, none with an exponent), are read in the same pass that finds the
// word's end: their digits as a whole number and a power of ten are both exact doubles, so one
// division gives the correctly rounded value, as from_chars would; any other word goes to
// read_number. Returns 1 with *out set, 0 at the end of the line, or -1 with the word in *word
// and *size.
int next_number(words* w, double* out, const char** word, size_t* size)
{
    static const double powers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = w->text + w->at;
    const char* end = w->text + w->size;
    while (p < end && is_blank(*p))
        p++;
    if (p == end)
        return 0;
    const char* start = p;
    bool negative = *p == '-';
    p += negative || *p == '+';
    uint64_t digits = 0;
    int count = 0, after_point = 0;
    for (; p < end && unsigned(*p - '0') < 10; p++, count++)
        digits = digits * 10 + unsigned(*p - '0');
    if (p < end && *p == '.')
        for (p++; p < end && unsigned(*p - '0') < 10; p++, count++, after_point++)
            digits = digits * 10 + unsigned(*p - '0');
    bool plain = count > 0 && count <= 15 && (p == end || is_blank(*p)) && !(negative && start[0] == '+');
    if (plain && !(*start == '+' && start[1] == '-')) {
        double value = double(digits) / powers[after_point];
        *out = negative ? -value : value;
        w->at = size_t(p - w->text);
        return 1;
    }
    while (p < end && !is_blank(*p))
        p++;
    w->at = size_t(p - w->text);
    *word = start;
    *size = size_t(p - start);
    return read_number(start, *size, out) ? 1 : -1;
}

enum object_kind { no_object, terrain_object, skirt_object, other_object };

struct obj_reading {
    edited_model* model;
    object_kind object = no_object;  // of the last o line
    object_kind group = no_object;   // of the last g line
    bool any_object = false;         // an o line came
    std::string object_name, group_name;
    int palette = -1;            // the palette the last usemtl names
    bool exact_palette = false;  // named palette_P, as mapconv's OBJ names them
    bool any_exact = false;      // a terrain face's material was so named
    uint16_t palettes = 0;       // the palettes the terrain's materials name, as a mask
    std::string material;        // the name of the last usemtl
    size_t line = 0;
    std::string error;
    // The first terrain face whose material names no palette, and that material.
    size_t no_palette_face = 0;
    std::string no_palette_material;
    bool any_statement = false;  // a v, vt, vn or f line came: the file is an OBJ
};

int fail(obj_reading* r, const std::string& message)
{
    r->error = "line " + std::to_string(r->line) + ": " + message;
    return -1;
}

// Reads the numbers of a v, vn or vt line into pool: at least least of them, keeping the first
// keep (an editor may add a weight or colours). Returns 0, or -1 after a message.
int read_values(obj_reading* r, words* w, const char* what, size_t least, size_t keep, size_t most,
                std::vector<double>* pool)
{
    if (pool->size() / keep == most)
        return fail(r, std::string("more ") + what + " lines than a map's OBJ has (" + std::to_string(most) + ")");
    double values[3];
    size_t n = 0;
    const char* word;
    size_t size;
    for (;;) {
        double value;
        int got = next_number(w, &value, &word, &size);
        if (got == 0)
            break;
        if (got < 0)
            return fail(r, std::string(what) + ": expected a number, found \"" + std::string(word, size) + "\"");
        if (n < keep)
            values[n] = value;
        n++;
    }
    if (n < least)
        return fail(r,
                    std::string(what) + ": expected " + std::to_string(least) + " numbers, found " + std::to_string(n));
    for (size_t k = 0; k < keep; k++)
        pool->push_back(values[k]);
    return 0;
}

// An index as the file writes it (from 1, or from the end when negative) as an entry of a list of
// count entries. Returns false when the list has no such entry.
bool list_entry(const char* word, size_t size, size_t count, uint32_t* entry)
{
    // At most 18 digits and a sign: a number that passes any list, read without overflow.
    bool negative = size > 0 && word[0] == '-';
    size_t i = negative ? 1 : 0;
    if (size == i || size - i > 18)
        return false;
    long long index = 0;
    for (; i < size; i++) {
        if (word[i] < '0' || word[i] > '9')
            return false;
        index = index * 10 + (word[i] - '0');
    }
    index = negative ? -index : index;
    if (index == 0)
        return false;
    long long at = index > 0 ? index - 1 : (long long)count + index;
    if (at < 0 || (unsigned long long)at >= count)
        return false;
    *entry = uint32_t(at);
    return true;
}

// Which object a face belongs to: its o line's, or where the file has none (as assimp writes
// them), its g line's: mapconv's group of the terrain, or a palette's.
object_kind kind_of_object(const std::string& name, bool group)
{
    if (names_terrain(name) || (group && palette_named(name, 0) >= 0))
        return terrain_object;
    return names_skirt(name) ? skirt_object : other_object;
}

// The face being read, for a message: "terrain face 5". Made only when a message needs it.
std::string face_name(const obj_reading& r, bool terrain)
{
    const std::vector<edited_face>& list = terrain ? r.model->terrain : r.model->skirt;
    return std::string(terrain ? "terrain" : "skirt") + " face " + std::to_string(list.size() + 1);
}

// Reads one corner "v", "v/vt", "v//vn" or "v/vt/vn" of a face: its elements into e. Returns 0, or
// -1 after a message.
int read_corner(obj_reading* r, bool terrain, const char* word, size_t size, int c, edited_face* f, corner_elements* e)
{
    const std::vector<double>* pools = r->model->pools;
    const char* slash1 = static_cast<const char*>(memchr(word, '/', size));
    const char* end = word + size;
    const char* slash2 = slash1 ? static_cast<const char*>(memchr(slash1 + 1, '/', size_t(end - slash1 - 1))) : nullptr;
    const char* v_end = slash1 ? slash1 : end;
    const char* t_end = slash2 ? slash2 : end;
    auto bad = [&](const char* what) {
        return fail(r, face_name(*r, terrain) + ", corner " + std::to_string(c + 1) + " \"" + std::string(word, size) +
                           "\": " + what);
    };
    if (!list_entry(word, size_t(v_end - word), pools[positions_pool].size() / 3, &e->position[c]))
        return bad("names no vertex the file has before it");
    bool has_uv = slash1 && t_end > slash1 + 1, has_normal = slash2 != nullptr;
    if (has_uv && !list_entry(slash1 + 1, size_t(t_end - slash1 - 1), pools[uvs_pool].size() / 2, &e->uv[c]))
        return bad("names no texture coordinate the file has before it");
    if (has_normal && !list_entry(slash2 + 1, size_t(end - slash2 - 1), pools[normals_pool].size() / 3, &e->normal[c]))
        return bad("names no normal the file has before it");
    if (c > 0 && (has_uv != f->has_uv || has_normal != f->has_normal))
        return fail(r, face_name(*r, terrain) + ": some corners have texture coordinates or normals, and some do not");
    f->has_uv = has_uv;
    f->has_normal = has_normal;
    return 0;
}

int read_face(obj_reading* r, words* w)
{
    object_kind kind = r->any_object ? r->object : r->group;
    if (kind == no_object)
        return fail(r, "a face before any object; expected the objects terrain and skirt");
    if (kind == other_object)
        return fail(r, std::string(r->any_object ? "object \"" + r->object_name : "group \"" + r->group_name) +
                           "\": expected only the objects terrain and skirt");
    bool terrain = kind == terrain_object;
    std::vector<edited_face>& list = terrain ? r->model->terrain : r->model->skirt;
    if (list.size() == most_list_triangles)
        return fail(r, face_name(*r, terrain) + ": more faces than a map mesh holds (" +
                           std::to_string(most_list_triangles) + ")");
    edited_face f = {};
    corner_elements elements;
    const char* word;
    size_t size;
    int corners = 0;
    while (next_word(w, &word, &size)) {
        if (corners < 3 && read_corner(r, terrain, word, size, corners, &f, &elements) != 0)
            return -1;
        corners++;
    }
    if (corners != 3)
        return fail(r, face_name(*r, terrain) + ": expected a triangle, found " + std::to_string(corners) +
                           " corners (export with faces triangulated)");
    if (terrain && !f.has_uv)
        return fail(r, face_name(*r, terrain) + ": expected texture coordinates at its corners, found none");
    if (terrain) {
        f.palette = int8_t(r->palette);
        r->any_exact = r->any_exact || r->exact_palette;
        if (r->palette >= 0)
            r->palettes = uint16_t(r->palettes | 1u << r->palette);
        if (r->palette < 0 && r->no_palette_face == 0) {
            r->no_palette_face = list.size() + 1;
            r->no_palette_material = r->material;
        }
    }
    set_elements(r->model, elements, &f);
    list.push_back(f);
    return 0;
}

// Reads one line. Returns 0, or -1 after a message.
int read_line(obj_reading* r, const char* text, size_t size)
{
    words w{text, size};
    const char* word;
    size_t n;
    if (!next_word(&w, &word, &n) || word[0] == '#')
        return 0;
    auto is = [&](const char* keyword) { return strlen(keyword) == n && memcmp(word, keyword, n) == 0; };
    std::vector<double>* pools = r->model->pools;
    if (word[0] == 'v' || word[0] == 'f') {
        r->any_statement = r->any_statement || is("v") || is("vn") || is("vt") || is("f");
        if (is("v"))
            return read_values(r, &w, "vertex", 3, 3, most_positions, &pools[positions_pool]);
        if (is("vn"))
            return read_values(r, &w, "normal", 3, 3, most_normals, &pools[normals_pool]);
        if (is("vt"))
            return read_values(r, &w, "texture coordinate", 2, 2, most_uvs, &pools[uvs_pool]);
        if (is("f"))
            return read_face(r, &w);
    }
    if (is("o")) {
        r->object_name = rest_of_line(&w);
        r->object = kind_of_object(r->object_name, false);
        r->any_object = true;
    } else if (is("g")) {
        r->group_name = rest_of_line(&w);
        r->group = kind_of_object(r->group_name, true);
    } else if (is("usemtl")) {
        r->material = rest_of_line(&w);
        r->palette = names_palette(r->material);
        r->exact_palette = palette_named(r->material, 0) >= 0;
    }
    // Anything else (mtllib, s, l, comments) says nothing of the faces.
    return 0;
}

}  // namespace

int read_obj_model(const byte_source* source, edited_model* model, std::string* error)
{
    *model = edited_model();
    model->format = "OBJ";
    obj_reading r;
    r.model = model;
    line_reader lines;
    lines.source = source;
    lines.buffer.reserve(64);  // never a null pointer, even for an empty file
    const char* text;
    size_t size;
    int got;
    while ((got = next_line(&lines, &text, &size, error)) == 1) {
        r.line = lines.number;
        if (memchr(text, '\0', size)) {
            *error = "not an OBJ or glTF binary (line " + std::to_string(r.line) + " is not text)";
            return -1;
        }
        if (read_line(&r, text, size) != 0)
            return *error = r.error, -1;
    }
    if (got < 0)
        return -1;
    if (!r.any_statement) {
        *error = "not an OBJ or glTF binary (no vertex, texture coordinate, normal or face lines)";
        return -1;
    }
    model_part part;
    part.positions = number_array{nullptr, positions_pool, 0, 24, model->pools[positions_pool].size() / 3};
    part.normals = number_array{nullptr, normals_pool, 0, 24, model->pools[normals_pool].size() / 3};
    part.uvs = number_array{nullptr, uvs_pool, 0, 16, model->pools[uvs_pool].size() / 2};
    model->parts.push_back(part);
    // Materials named palette_P group the terrain's faces by palette: then every face's must. A
    // .glb's one material is named after the palette its sheet was coloured through, whatever the
    // faces' own: a file converted from one (by assimp) with a single such material tells nothing.
    bool one_named_for_a_sheet = !r.any_exact && (r.palettes & (r.palettes - 1)) == 0;
    for (edited_face& f : model->terrain) {
        if (one_named_for_a_sheet)
            f.palette = -1;
        if (f.palette >= 0)
            model->grouping = grouped_by_palette;
    }
    if (model->grouping == grouped_by_palette && r.no_palette_face > 0) {
        *error = "terrain face " + std::to_string(r.no_palette_face) + ": expected a material palette_P (P 0 to 15), " +
                 "found " + (r.no_palette_material.empty() ? "none" : "\"" + r.no_palette_material + "\"");
        return -1;
    }
    return 0;
}
