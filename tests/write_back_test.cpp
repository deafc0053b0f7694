// --write-back: an unedited OBJ or .glb gives the original map mesh byte for byte, an edit changes
// exactly the bytes of its record, and what cannot be put back is refused with its record named,
// writing nothing.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "gltf/encode_glb.h"
#include "map_writer.h"
#include "readers.h"
#include "run_program.h"
#include "test_maps.h"

namespace {

int stripes(int x, int y, void*)
{
    return (x / 8 + y / 8) % 16;
}

std::string sheet()
{
    return write_texture(stripes, nullptr);
}

program_run write_back(const scratch_folder& folder, const std::string& mesh, const std::string& edited,
                       const std::string& out)
{
    return run_mapconv(folder.path, {"--write-back", mesh, edited, out});
}

// The byte ranges [first, end) where two files differ; a different length is a range at the end.
std::vector<std::pair<size_t, size_t>> differing_ranges(const std::string& a, const std::string& b)
{
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        bool differs = i >= a.size() || i >= b.size() || a[i] != b[i];
        if (!differs)
            continue;
        if (!ranges.empty() && ranges.back().second == i)
            ranges.back().second = i + 1;
        else
            ranges.emplace_back(i, i + 1);
    }
    return ranges;
}

// Where the records of a mesh's polygons lie.
struct layout {
    size_t tt, tq, ut, uq;
    size_t tex_tri_positions() const { return 204; }
    size_t tex_quad_positions() const { return 204 + 18 * tt; }
    size_t tex_tri_normals() const { return 204 + 18 * tt + 24 * tq + 18 * ut + 24 * uq; }
    size_t tex_quad_normals() const { return tex_tri_normals() + 18 * tt; }
    size_t tex_tri_textures() const { return tex_quad_normals() + 24 * tq; }
    size_t tex_quad_textures() const { return tex_tri_textures() + 10 * tt; }
};

layout layout_of(const written_mesh& m)
{
    return layout{m.tex_tris.size(), m.tex_quads.size(), m.untex_tris.size(), m.untex_quads.size()};
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// The OBJ's terrain faces: the line of each, in order.
std::vector<size_t> terrain_face_lines(const std::vector<std::string>& lines)
{
    std::vector<size_t> faces;
    bool terrain = false;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].rfind("o ", 0) == 0)
            terrain = lines[i] == "o terrain";
        if (terrain && lines[i].rfind("f ", 0) == 0)
            faces.push_back(i);
    }
    return faces;
}

// The number of corner c's vertex (v/vt/vn share it in mapconv's terrain) on face line.
size_t corner_index(const std::string& face, int c)
{
    std::istringstream in(face.substr(2));
    std::string corner;
    for (int i = 0; i <= c; i++)
        in >> corner;
    return size_t(std::stoul(corner));
}

// The line of the n-th (from 1) line that begins with keyword.
size_t nth_line(const std::vector<std::string>& lines, const std::string& keyword, size_t n)
{
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].rfind(keyword, 0) == 0 && --n == 0)
            return i;
    return lines.size();
}

// The OBJ as an editor exports it again: equal vertices, texture coordinates and normals welded
// and renumbered, normals at unit length with four decimals, the skirt before the terrain, faces
// counting from the end of each list.
std::string as_an_editor_exports(const std::vector<std::string>& lines)
{
    std::vector<std::string> v, vt, vn;  // as read, numbered from 1
    std::map<std::string, int> welded_v, welded_vt, welded_vn;
    std::vector<std::string> out_v, out_vt, out_vn, objects[2];
    int object = -1;
    std::string material;
    auto weld = [](const std::string& text, std::map<std::string, int>* index, std::vector<std::string>* list) {
        auto found = index->emplace(text, int(list->size()) + 1);
        if (found.second)
            list->push_back(text);
        return found.first->second;
    };
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string keyword;
        in >> keyword;
        if (keyword == "v") {
            v.push_back(line);
        } else if (keyword == "vt") {
            vt.push_back(line);
        } else if (keyword == "vn") {
            double x, y, z;
            in >> x >> y >> z;
            double length = std::sqrt(x * x + y * y + z * z);
            char text[96];
            if (length > 0)
                snprintf(text, sizeof text, "vn %.4f %.4f %.4f", x / length, y / length, z / length);
            else
                snprintf(text, sizeof text, "vn 0.0000 0.0000 0.0000");
            vn.push_back(text);
        } else if (keyword == "o") {
            object = line == "o terrain" ? 1 : 0;
            objects[object].push_back(line);
        } else if (keyword == "usemtl") {
            objects[object].push_back(line);
        } else if (keyword == "f") {
            std::string face = "f";
            for (std::string corner; in >> corner;) {
                int i = 0, t = 0, n = 0;
                sscanf(corner.c_str(), "%d/%d/%d", &i, &t, &n);
                int wi = weld(v[size_t(i - 1)], &welded_v, &out_v);
                face += " " + std::to_string(wi);
                if (object == 1) {
                    int wt = weld(vt[size_t(t - 1)], &welded_vt, &out_vt);
                    int wn = weld(vn[size_t(n - 1)], &welded_vn, &out_vn);
                    face += "/" + std::to_string(wt) + "/" + std::to_string(wn);
                }
            }
            objects[object].push_back(face);
        }
    }
    std::vector<std::string> out = {"# re-exported"};
    out.insert(out.end(), out_v.begin(), out_v.end());
    out.insert(out.end(), out_vt.begin(), out_vt.end());
    out.insert(out.end(), out_vn.begin(), out_vn.end());
    out.insert(out.end(), objects[0].begin(), objects[0].end());
    out.insert(out.end(), objects[1].begin(), objects[1].end());
    return joined(out);
}

// The hill map and a sheet in folder as h.msh and h.tex, converted with --all-palettes: the
// mesh's bytes, its OBJ's lines, the line of each terrain face, and the mesh's textured triangle
// each face stands for (faces are written palette by palette).
struct converted_hill {
    written_mesh mesh = hill_mesh(false);
    std::string bytes;
    std::vector<std::string> obj;
    std::vector<size_t> faces;
    std::vector<size_t> written;  // per terrain face
    decoded_mesh decoded;
    // Which terrain face (from 0) stands for textured triangle t.
    size_t face_of(size_t t) const { return size_t(std::find(written.begin(), written.end(), t) - written.begin()); }
};

void convert_hill(const scratch_folder& folder, converted_hill* hill)
{
    hill->bytes = write_map_mesh(hill->mesh);
    ASSERT_EQ(write_file(folder / "h.msh", hill->bytes), 0);
    ASSERT_EQ(write_file(folder / "h.tex", sheet()), 0);
    ASSERT_EQ(run_mapconv(folder.path, {"-q", "--all-palettes", "h"}).status, 0);
    hill->obj = lines_of(read_file(folder / "h.msh_h.tex.obj"));
    hill->faces = terrain_face_lines(hill->obj);
    hill->decoded = decode_mesh_bytes(hill->bytes);
    ASSERT_EQ(hill->decoded.result, 0);
    for (int p = 0; p < 16; p++)
        for (size_t t = 0; t < hill->decoded.mesh.tex_faces.size(); t++)
            if (hill->decoded.mesh.tex_faces[t].palette_number % 16 == p)
                hill->written.push_back(t);
    ASSERT_EQ(hill->written.size(), hill->faces.size());
}

}  // namespace

TEST(WriteBack, UneditedFilesComeBackByteForByte)
{
    // Every map of the corpus, converted with every set of options, then written back from its
    // OBJ and from its .glb: each gives the original file.
    struct map_case {
        std::string name;
        std::string bytes;  // empty: the sample
        std::vector<std::vector<std::string>> option_sets;
    };
    std::vector<std::vector<std::string>> every = {
        {}, {"--all-palettes"}, {"--face-up"}, {"--all-palettes", "--face-up"}};
    written_mesh largest = empty_mesh();
    written_polygon corner = cell_quad(3, 40, 5);
    largest.tex_tris.assign(65535, corner);
    largest.tex_quads.assign(65535, corner);
    largest.untex_tris.assign(65535, corner);
    largest.untex_quads.assign(65535, corner);
    std::vector<map_case> maps = {
        {"sample", "", every},
        {"hill", write_map_mesh(hill_mesh(false)), every},
        {"hillr", write_map_mesh(hill_mesh(true)), every},
        {"random", random_whole_range_mesh(40, 30, 20, 10, 1), every},
        {"rtri", random_whole_range_mesh(1, 0, 0, 0, 2), {{}}},
        {"rquad", random_whole_range_mesh(0, 0, 0, 1, 3), {{}}},
        {"largest", write_map_mesh(largest), {{"--all-palettes", "--face-up"}}},
    };
    for (const map_case& map : maps) {
        SCOPED_TRACE(map.name);
        scratch_folder folder;
        std::string prefix = map.bytes.empty() ? "map01" : map.name;
        std::string mesh = prefix + ".msh", texture = prefix + ".tex";
        if (map.bytes.empty()) {
            make_sample(folder);
        } else {
            ASSERT_EQ(write_file(folder / mesh, map.bytes), 0);
            ASSERT_EQ(write_file(folder / texture, sheet()), 0);
        }
        std::string original = read_file(folder / mesh);
        for (size_t s = 0; s < map.option_sets.size(); s++) {
            std::string out = "o" + std::to_string(s);
            std::vector<std::string> args = {"-q", "-o", out};
            if (glb_built_in)
                args.push_back("--glb");
            args.insert(args.end(), map.option_sets[s].begin(), map.option_sets[s].end());
            args.push_back(prefix);
            program_run converted = run_mapconv(folder.path, args);
            ASSERT_EQ(converted.status, 0) << converted.err;
            std::string base = out + "/" + mesh + "_" + texture;
            for (const char* extension : {".obj", ".glb"}) {
                if (!glb_built_in && std::string(extension) == ".glb")
                    continue;
                SCOPED_TRACE(std::to_string(s) + extension);
                // Into a folder made for it, under a temporary name of that folder.
                std::string back_name = out + "/back" + extension + "/new.msh";
                program_run back = write_back(folder, mesh, base + extension, back_name);
                ASSERT_EQ(back.status, 0) << back.err;
                EXPECT_EQ(back.out, "Wrote " + back_name + " from " + mesh + " and " + base + extension +
                                        ": 0 position records, 0 normal records and 0 texture records changed\n");
                EXPECT_TRUE(read_file(folder / back_name) == original);
                EXPECT_EQ(list_names(folder / (out + "/back" + extension)), std::vector<std::string>{"new.msh"});
            }
        }
    }
}

TEST(WriteBack, AnEditChangesOnlyItsRecord)
{
    // Edits of the OBJ of a map with triangles and quads, faces grouped by palette (so the file's
    // order is not the mesh's): each changes exactly the bytes of the record it belongs to.
    scratch_folder folder;
    converted_hill hill;
    ASSERT_NO_FATAL_FAILURE(convert_hill(folder, &hill));
    layout at = layout_of(hill.mesh);
    const std::string& original = hill.bytes;
    const std::vector<std::string>& obj = hill.obj;
    const decoded_mesh& decoded = hill.decoded;
    auto face_of = [&](size_t t) { return hill.faces[hill.face_of(t)]; };  // its line
    size_t quad0 = at.tt;  // the first triangle of quad 0; the second is quad0 + 1

    struct edit_case {
        const char* what;
        const char* keyword;  // the line edited: the corner's "v ", "vn " or "vt "
        size_t triangle;
        int corner;
        std::string line;
        size_t record, size;  // the record that must change, alone
    };
    std::vector<edit_case> cases = {
        {"a triangle's corner", "v ", 0, 0, "v 0.500000 -1.250000 0.750000", at.tex_tri_positions(), 18},
        {"a quad's corner A", "v ", quad0, 0, "v 0.010000 0.020000 0.030000", at.tex_quad_positions(), 24},
        {"the lowest y", "v ", 1, 2, "v 1.000000 -327.680000 327.670000", at.tex_tri_positions() + 18, 18},
        {"a quad's normal at D", "vn ", quad0 + 1, 1, "vn 0.300000 0.400000 -0.500000", at.tex_quad_normals(), 24},
        // B's normal turned in one of the quad's triangles only, as Blender turns normals around a
        // moved corner: the quad takes the turned one.
        {"a quad's normal at B, in one triangle", "vn ", quad0, 1, "vn 0.600000 -0.800000 0.000000",
         at.tex_quad_normals(), 24},
        {"a triangle's texture coordinate", "vt ", 1, 2, "vt 0.500000 0.765625 ", at.tex_tri_textures() + 10, 10},
        {"a quad's D texture coordinate", "vt ", quad0 + 1, 1, "vt 0.003906 0.000977 ", at.tex_quad_textures(), 12},
    };
    for (const edit_case& e : cases) {
        SCOPED_TRACE(e.what);
        std::vector<std::string> edited = obj;
        size_t index = corner_index(obj[face_of(e.triangle)], e.corner);
        edited[nth_line(edited, e.keyword, index)] = e.line;
        ASSERT_EQ(write_file(folder / "e.obj", joined(edited)), 0);
        program_run back = write_back(folder, "h.msh", "e.obj", "new.msh");
        ASSERT_EQ(back.status, 0) << back.err;
        auto ranges = differing_ranges(original, read_file(folder / "new.msh"));
        ASSERT_FALSE(ranges.empty());
        EXPECT_GE(ranges.front().first, e.record);
        EXPECT_LE(ranges.back().second, e.record + e.size);
    }
    // With --keep-normals an edited normal changes nothing.
    {
        std::vector<std::string> edited = obj;
        edited[nth_line(edited, "vn ", corner_index(obj[face_of(quad0 + 1)], 1))] = "vn 0.300000 0.400000 -0.500000";
        ASSERT_EQ(write_file(folder / "e.obj", joined(edited)), 0);
        program_run back = run_mapconv(folder.path, {"--keep-normals", "--write-back", "h.msh", "e.obj", "new.msh"});
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_TRUE(read_file(folder / "new.msh") == original);
    }
    // The lowest y is stored as -32768 (its negation cannot be), and +327.68 cannot be stored.
    {
        std::string back = read_file(folder / "new.msh");  // of the texture case: redo the lowest y
        std::vector<std::string> edited = obj;
        edited[nth_line(edited, "v ", corner_index(obj[face_of(1)], 2))] = "v 1.000000 -327.680000 327.670000";
        ASSERT_EQ(write_file(folder / "e.obj", joined(edited)), 0);
        ASSERT_EQ(write_back(folder, "h.msh", "e.obj", "new.msh").status, 0);
        back = read_file(folder / "new.msh");
        size_t corner = at.tex_tri_positions() + 18 + 12;
        EXPECT_EQ(back.substr(corner, 6), std::string("\x64\x00\x00\x80\xff\x7f", 6));
    }
    // Re-exported by an editor, unedited, it comes back whole.
    {
        ASSERT_EQ(write_file(folder / "e.obj", as_an_editor_exports(obj)), 0);
        program_run back = write_back(folder, "h.msh", "e.obj", "new.msh");
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_TRUE(read_file(folder / "new.msh") == original);
    }
    // A palette: the face of a triangle put under another material, in its place, or moved to the
    // end of that material's faces (as editors write a material's faces together).
    for (bool moved : {false, true}) {
        SCOPED_TRACE(moved ? "moved" : "in place");
        std::vector<std::string> edited = obj;
        size_t line = face_of(2);
        int palette = decoded.mesh.tex_faces[2].palette_number % 16;
        int other = moved ? 15 : (palette + 5) % 16;
        if (moved) {
            // Where an editor that sorts the faces by material puts it: first of palette 15's,
            // since it came before them.
            size_t group = size_t(std::find(edited.begin(), edited.end(), "usemtl palette_15") - edited.begin());
            ASSERT_LT(group, edited.size());
            ASSERT_NE(palette, 15);
            edited.insert(edited.begin() + long(group) + 1, edited[line]);
            edited.erase(edited.begin() + long(line));
        } else {
            edited.insert(edited.begin() + long(line) + 1, "usemtl palette_" + std::to_string(palette));
            edited.insert(edited.begin() + long(line), "usemtl palette_" + std::to_string(other));
        }
        ASSERT_EQ(write_file(folder / "e.obj", joined(edited)), 0);
        ASSERT_EQ(write_back(folder, "h.msh", "e.obj", "new.msh").status, 0);
        auto ranges = differing_ranges(original, read_file(folder / "new.msh"));
        size_t palette_byte = at.tex_tri_textures() + 2 * 10 + 2;
        ASSERT_EQ(ranges.size(), 1u);
        EXPECT_EQ(ranges[0], std::make_pair(palette_byte, palette_byte + 1));
        EXPECT_EQ(uint8_t(read_file(folder / "new.msh")[palette_byte]), other);
    }
}

TEST(WriteBack, RefusalsNameTheRecordAndWriteNothing)
{
    scratch_folder folder;
    converted_hill hill;
    ASSERT_NO_FATAL_FAILURE(convert_hill(folder, &hill));
    const written_mesh& m = hill.mesh;
    const std::string& original = hill.bytes;
    const std::vector<std::string>& obj = hill.obj;
    const std::vector<size_t>& faces = hill.faces;
    size_t quad_first = hill.face_of(m.tex_tris.size());  // a terrain face of a quad's first triangle, and its second
    size_t triangle_face = hill.face_of(0);               // the terrain face of textured triangle 1 (a triangle record)
    ASSERT_LT(quad_first + 1, faces.size());
    auto vertex_line = [&](size_t face, int c, const char* keyword) {
        return nth_line(obj, keyword, corner_index(obj[faces[face]], c));
    };

    // A different mesh with the same counts: its faces match none of these.
    ASSERT_EQ(write_file(folder / "other.msh",
                         random_whole_range_mesh(int(m.tex_tris.size()), int(m.tex_quads.size()),
                                                 int(m.untex_tris.size()), int(m.untex_quads.size()), 7)),
              0);

    struct refusal {
        const char* what;
        std::function<void(std::vector<std::string>*)> edit;
        const char* mesh;
        std::string message;
    };
    std::vector<refusal> cases = {
        {"a face less", [&](std::vector<std::string>* l) { l->erase(l->begin() + long(faces[3])); }, "h.msh",
         "expected " + std::string() + std::to_string(faces.size()) + " terrain faces"},
        {"a quad's corner B moved in one triangle only",
         [&](std::vector<std::string>* l) { (*l)[vertex_line(quad_first, 1, "v ")] = "v 9.000000 9.000000 9.000000"; },
         "h.msh", "textured quad 1: its two triangles no longer share corner B"},
        {"a coordinate past 16 bits",
         [&](std::vector<std::string>* l) {
             (*l)[vertex_line(triangle_face, 0, "v ")] = "v 400.000000 0.000000 0.000000";
         },
         "h.msh", "corner 1: expected coordinates from -327.68 to 327.67"},
        {"y at +327.68, which its negation cannot store",
         [&](std::vector<std::string>* l) {
             (*l)[vertex_line(triangle_face, 0, "v ")] = "v 0.000000 327.680000 0.000000";
         },
         "h.msh", "expected coordinates from -327.68 to 327.67"},
        {"a texture coordinate off the sheet",
         [&](std::vector<std::string>* l) { (*l)[vertex_line(triangle_face, 1, "vt ")] = "vt 1.250000 0.500000"; },
         "h.msh", "corner 2: expected a texture coordinate within the sheet"},
        {"corners in two pages",
         [&](std::vector<std::string>* l) { (*l)[vertex_line(triangle_face, 1, "vt ")] = "vt 0.500000 0.900000"; },
         "h.msh", "expected its corners in one texture page"},
        {"a material that names no palette",
         [&](std::vector<std::string>* l) { l->insert(l->begin() + long(faces[5]), "usemtl stone"); }, "h.msh",
         "expected a material palette_P (P 0 to 15), found \"stone\""},
        {"a quad's triangles in two palettes",
         [&](std::vector<std::string>* l) {
             l->insert(l->begin() + long(faces[quad_first + 1]) + 1,
                       "usemtl palette_" + std::to_string(m.tex_quads[0].palette_byte % 16));
             l->insert(l->begin() + long(faces[quad_first + 1]), "usemtl palette_15");
         },
         "h.msh", "textured quad 1: expected one palette for its two triangles"},
        {"a quad as one face", [&](std::vector<std::string>* l) { (*l)[faces[0]] = "f 1/1/1 2/2/2 3/3/3 4/4/4"; },
         "h.msh", "terrain face 1: expected a triangle, found 4 corners"},
        {"another mesh's file", [](std::vector<std::string>*) {}, "other.msh", "made from another map"},
        {"the terrain scaled as a whole (an export's scale)",
         [](std::vector<std::string>* l) {
             for (std::string& line : *l) {
                 if (line == "o skirt")
                     break;
                 double x, y, z;
                 if (sscanf(line.c_str(), "v %lf %lf %lf", &x, &y, &z) == 3)
                     line = "v " + std::to_string(x * 2) + " " + std::to_string(y * 2) + " " + std::to_string(z * 2);
             }
         },
         "h.msh", "the map is turned, mirrored or scaled as a whole"},
    };
    for (const refusal& r : cases) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> edited = obj;
        r.edit(&edited);
        ASSERT_EQ(write_file(folder / "e.obj", joined(edited)), 0);
        program_run back = write_back(folder, r.mesh, "e.obj", "new.msh");
        EXPECT_EQ(back.status, 1);
        EXPECT_NE(back.err.find(std::string("mapconv: e.obj: ")), std::string::npos) << back.err;
        EXPECT_NE(back.err.find(r.message), std::string::npos) << back.err;
        EXPECT_EQ(back.out, "");
        EXPECT_FALSE(exists(folder / "new.msh"));
    }
    // Named as the output, the original is replaced only by a whole edit; refused, it stays.
    std::vector<std::string> edited = obj;
    edited[vertex_line(0, 0, "v ")] = "v 400.000000 0.000000 0.000000";
    ASSERT_EQ(write_file(folder / "e.obj", joined(edited)), 0);
    EXPECT_EQ(write_back(folder, "h.msh", "e.obj", "h.msh").status, 1);
    EXPECT_TRUE(read_file(folder / "h.msh") == original);
    edited[vertex_line(0, 0, "v ")] = "v 4.000000 0.000000 0.000000";
    ASSERT_EQ(write_file(folder / "e.obj", joined(edited)), 0);
    EXPECT_EQ(write_back(folder, "h.msh", "e.obj", "h.msh").status, 0);
    EXPECT_EQ(differing_ranges(original, read_file(folder / "h.msh")).size(), 1u);
    // The command line: three files, and no option of a conversion.
    EXPECT_EQ(run_mapconv(folder.path, {"--write-back", "h.msh", "e.obj"}).status, 2);
    program_run with_option = run_mapconv(folder.path, {"--write-back", "--all-palettes", "h.msh", "e.obj", "n.msh"});
    EXPECT_EQ(with_option.status, 2);
    EXPECT_NE(with_option.err.find("--write-back takes no conversion option: --all-palettes"), std::string::npos);
    EXPECT_FALSE(exists(folder / "n.msh"));
    EXPECT_EQ(run_mapconv(folder.path, {"--keep-normals", "h"}).status, 2);
}

TEST(WriteBack, NewNeverTakesWhatTheUserHas)
{
    scratch_folder folder;
    converted_hill hill;
    ASSERT_NO_FATAL_FAILURE(convert_hill(folder, &hill));
    std::vector<std::string> edited = hill.obj;
    edited[nth_line(edited, "v ", 1)] = "v 4.000000 0.000000 0.000000";
    std::string edit = joined(edited);
    ASSERT_EQ(write_file(folder / "e.obj", edit), 0);
    std::string sheet_bytes = read_file(folder / "h.tex");
    // The edited file, by its name, another spelling of it, a symbolic link or a hard link to it.
    std::vector<std::string> spellings = {"e.obj", "./e.obj"};
#if !defined(_WIN32)
    ASSERT_EQ(symlink("e.obj", (folder / "link.obj").c_str()), 0);
    ASSERT_EQ(link((folder / "e.obj").c_str(), (folder / "hard.obj").c_str()), 0);
    spellings.insert(spellings.end(), {"link.obj", "hard.obj"});
#endif
    for (const std::string& name : spellings) {
        program_run run = write_back(folder, "h.msh", "e.obj", name);
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_NE(run.err.find("is the edited file e.obj, which the new map mesh would replace"), std::string::npos)
            << run.err;
        EXPECT_EQ(read_file(folder / "e.obj"), edit) << name;
    }
    // An existing file that is not a map mesh: the sheet, an OBJ.
    for (std::string name : {"h.tex", "h.msh_h.tex.obj"}) {
        std::string before = read_file(folder / name);
        program_run run = write_back(folder, "h.msh", "e.obj", name);
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_NE(run.err.find("exists and is not a map mesh (no 0xC4 at offset 64)"), std::string::npos) << run.err;
        EXPECT_TRUE(read_file(folder / name) == before) << name;
    }
    // A map mesh, MESH itself included, is replaced as documented.
    ASSERT_EQ(write_file(folder / "old.msh", hill.bytes), 0);
    EXPECT_EQ(write_back(folder, "h.msh", "e.obj", "old.msh").status, 0);
    EXPECT_FALSE(read_file(folder / "old.msh") == hill.bytes);
    // -o means nothing to the write-back: refused. -C is where the three names are found.
    program_run with_o = run_mapconv(folder.path, {"-o", "out", "--write-back", "h.msh", "e.obj", "n.msh"});
    EXPECT_EQ(with_o.status, 2);
    EXPECT_NE(with_o.err.find("--write-back takes no conversion option: -o"), std::string::npos);
    scratch_folder elsewhere;
    program_run with_c = run_mapconv(elsewhere.path, {"-C", folder.path, "--write-back", "h.msh", "e.obj", "c.msh"});
    EXPECT_EQ(with_c.status, 0) << with_c.err;
    EXPECT_TRUE(exists(folder / "c.msh"));
#if defined(FAULT_SHIM_LIBRARY)
    // A temporary swapped for another file just before its rename: refused, and NEW, here MESH
    // itself, holds what it held.
    run_setup swap;
    swap.environment = {"LD_PRELOAD=" FAULT_SHIM_LIBRARY, "SWAP_AT_RENAME=1", "ASAN_OPTIONS=verify_asan_link_order=0"};
    program_run swapped = run_mapconv(folder.path, {"--write-back", "h.msh", "e.obj", "h.msh"}, swap);
    EXPECT_EQ(swapped.status, 1);
    EXPECT_NE(swapped.err.find("another program replaced the temporary file"), std::string::npos) << swapped.err;
    EXPECT_TRUE(read_file(folder / "h.msh") == hill.bytes);
    swapped = run_mapconv(folder.path, {"--write-back", "h.msh", "e.obj", "fresh.msh"}, swap);
    EXPECT_EQ(swapped.status, 1);
    EXPECT_FALSE(exists(folder / "fresh.msh"));
    for (const std::string& name : list_names(folder.path))
        EXPECT_EQ(name.find(".mapconv-"), std::string::npos) << name;
#endif
    EXPECT_EQ(read_file(folder / "h.tex"), sheet_bytes);
}

TEST(WriteBack, ARepaintedSheetGoesBackThroughItsMeshsPalette)
{
    scratch_folder folder;
    converted_hill hill;
    ASSERT_NO_FATAL_FAILURE(convert_hill(folder, &hill));
    std::string sheet_bytes = read_file(folder / "h.tex");
    // Every picture of the sheet, unedited, gives the sheet back; bytes past the sheet are copied.
    ASSERT_EQ(write_file(folder / "long.tex", sheet_bytes + "tail bytes"), 0);
    int pictures = 0;
    for (int p = 0; p < 16; p++) {
        std::string picture = "h.tex_tex_" + std::to_string(p) + ".png";
        if (!exists(folder / picture))
            continue;
        pictures++;
        program_run run = run_mapconv(folder.path, {"--write-back", "long.tex", picture, "n.tex", "--mesh", "h.msh"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "Wrote n.tex from long.tex and " + picture + " through palette " + std::to_string(p) +
                               " of h.msh: 0 pixels changed, 0 bytes of the sheet\n");
        EXPECT_TRUE(read_file(folder / "n.tex") == sheet_bytes + "tail bytes") << picture;
    }
    EXPECT_GE(pictures, 2);
    // An indexed sheet goes back index by index.
    scratch_folder indexed;
    ASSERT_EQ(write_file(indexed / "h.msh", hill.bytes), 0);
    ASSERT_EQ(write_file(indexed / "h.tex", sheet_bytes), 0);
    ASSERT_EQ(run_mapconv(indexed.path, {"-q", "--indexed-sheets", "--glb", "h"}).status, 0);
    program_run by_index =
        run_mapconv(indexed.path, {"--write-back", "h.tex", "h.tex_tex_0.png", "n.tex", "--mesh", "h.msh"});
    EXPECT_EQ(by_index.out, "Wrote n.tex from h.tex and h.tex_tex_0.png through palette 0 of h.msh: 0 pixels changed, "
                            "index by index, 0 bytes of the sheet\n");
    EXPECT_TRUE(read_file(indexed / "n.tex") == sheet_bytes);
    // A picture whose name does not say its palette needs --palette.
    ASSERT_EQ(write_file(folder / "edit.png", read_file(folder / "h.tex_tex_0.png")), 0);
    program_run unnamed = run_mapconv(folder.path, {"--write-back", "h.tex", "edit.png", "m.tex", "--mesh", "h.msh"});
    EXPECT_EQ(unnamed.status, 1);
    EXPECT_EQ(unnamed.err, "mapconv: edit.png: its name does not say the palette that coloured it (as T_tex_P.png "
                           "does): give it with --palette P\n");
    EXPECT_FALSE(exists(folder / "m.tex"));
    EXPECT_EQ(run_mapconv(folder.path,
                          {"-q", "--palette", "0", "--write-back", "h.tex", "edit.png", "m.tex", "--mesh", "h.msh"})
                  .status,
              0);
    EXPECT_TRUE(read_file(folder / "m.tex") == sheet_bytes);

    // NEW is never the picture or the mesh, nor a file that cannot be a sheet; it may be SHEET.
    ASSERT_EQ(write_file(folder / "short.tex", std::string("\x01\x02\xff", 3)), 0);
    struct refusal {
        const char* name;
        const char* said;
    };
    for (const refusal& r : {refusal{"edit.png", "is edit.png, an input the new sheet would replace"},
                             refusal{"./h.msh", "is h.msh, an input the new sheet would replace"},
                             refusal{"h.tex_tex_0.png", "exists and is a PNG, not a texture sheet"},
                             refusal{"h.msh_h.tex.obj", "exists and is text, not a texture sheet"},
                             refusal{"short.tex", "exists and is shorter than a texture sheet, not a texture sheet"}}) {
        std::string before = read_file(folder / r.name);
        program_run run = run_mapconv(
            folder.path, {"--palette", "0", "--write-back", "h.tex", "edit.png", r.name, "--mesh", "h.msh"});
        EXPECT_EQ(run.status, 1) << r.name;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << r.name << ": " << run.err;
        EXPECT_TRUE(read_file(folder / r.name) == before) << r.name;
    }
    ASSERT_EQ(write_file(folder / "other.msh", hill.bytes + std::string(140000, '\0')), 0);
    program_run mesh_new =
        run_mapconv(folder.path, {"--write-back", "h.tex", "h.tex_tex_0.png", "other.msh", "--mesh", "h.msh"});
    EXPECT_NE(mesh_new.err.find("exists and is a map mesh, not a texture sheet"), std::string::npos) << mesh_new.err;
    EXPECT_EQ(
        run_mapconv(folder.path, {"-q", "--write-back", "h.tex", "h.tex_tex_0.png", "h.tex", "--mesh", "h.msh"}).status,
        0);
    EXPECT_TRUE(read_file(folder / "h.tex") == sheet_bytes);

    // The options of a picture's write-back go with it, and a picture is no mesh's edit.
    EXPECT_EQ(run_mapconv(folder.path, {"--palette", "1", "h"}).status, 2);
    EXPECT_EQ(run_mapconv(folder.path, {"--exact-colours", "--write-back", "h.msh", "e.obj", "n.msh"}).status, 2);
    EXPECT_EQ(run_mapconv(folder.path,
                          {"--keep-normals", "--write-back", "h.tex", "h.tex_tex_0.png", "n.tex", "--mesh", "h.msh"})
                  .status,
              2);
    program_run picture_as_edit = write_back(folder, "h.msh", "h.tex_tex_0.png", "n.msh");
    EXPECT_EQ(picture_as_edit.status, 1);
    EXPECT_NE(picture_as_edit.err.find("a PNG, not an OBJ or glTF binary: a repainted sheet goes back with"),
              std::string::npos)
        << picture_as_edit.err;
}
