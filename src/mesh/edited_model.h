// A model read back from an OBJ or .glb that a user edited: the terrain's and the skirt's triangles
// in the order the file lists them. Each face names its corners' values, which stay where the file
// has them: the numbers an OBJ's lines read into, or a .glb's own arrays, so that the largest map's
// files are read in little more memory than they take (a .glb in less: only the arrays read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How an array's numbers are stored.
enum number_type : uint8_t {
    numbers_double,          // the host's doubles: what an OBJ's text reads into
    numbers_float,           // little-endian 32-bit floats
    numbers_u8,              // unsigned bytes
    numbers_u16,             // little-endian unsigned 16-bit integers
    numbers_u8_normalized,   // bytes as fractions of 255
    numbers_u16_normalized,  // 16-bit integers as fractions of 65535
};

// The model's own numbers: what an OBJ's v, vn and vt lines read into.
enum model_pool { positions_pool, normals_pool, uvs_pool };

// An array of elements of a few numbers each: in the bytes of a file the caller holds, or (bytes
// null) in one of the model's own pools.
struct number_array {
    const uint8_t* bytes = nullptr;
    int pool = positions_pool;
    size_t first = 0;   // where element 0 begins, in bytes
    size_t stride = 0;  // bytes from one element to the next
    size_t count = 0;   // elements
    number_type type = numbers_double;
};

// What a part of the model (the whole OBJ, or one primitive of a .glb) takes its values from, and
// how its node places it.
struct model_part {
    number_array positions;    // x, y, z
    number_array normals;      // x, y, z
    number_array uvs;          // u, v
    bool uv_from_top = false;  // v counts from the image's top (glTF); else the sheet's first row is v = 0
    bool placed = false;       // place applies: the part's node moves, turns or scales it
    double place[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};  // column-major
};

// Which element of its part's arrays each corner of a face takes its values from.
struct corner_elements {
    uint32_t position[3] = {};
    uint32_t normal[3] = {};
    uint32_t uv[3] = {};
};

// A face in 20 bytes: most files give a corner's normal and texture coordinate the element of its
// position (a .glb always, mapconv's OBJ too), and the largest map has 393,210 faces.
struct edited_face {
    uint32_t position[3] = {};  // each corner's element of its part's positions
    uint32_t elsewhere = 0;  // 0: its normals and uvs are its positions' elements; else 1 + where in elements_elsewhere
    uint16_t part = 0;
    int8_t palette = -1;  // the palette its material names (palette_P), or -1 when it names none
    bool has_normal : 1;  // one byte for both
    bool has_uv : 1;
    edited_face() : has_normal(false), has_uv(false) {}
};
static_assert(sizeof(edited_face) == 20, "a face in 20 bytes");

// How the file groups the terrain's faces, which tells the order mapconv wrote them in.
enum face_grouping {
    grouped_as_stored,   // one material: the mesh's order
    grouped_by_palette,  // a material per palette: palette by palette, each in the mesh's order
};

struct edited_model {
    std::vector<edited_face> terrain;
    std::vector<edited_face> skirt;
    std::vector<model_part> parts;
    std::vector<double> pools[3];           // what the arrays without bytes hold
    std::unique_ptr<uint8_t[]> glb_binary;  // a .glb's binary chunk, where its arrays' bytes lie
    uint64_t glb_binary_at = 0;             // where the chunk begins in the file
    size_t glb_binary_size = 0;
    std::vector<corner_elements> elements_elsewhere;  // of the faces whose normals or uvs have elements of their own
    face_grouping grouping = grouped_as_stored;
    bool prefers_turned = false;  // when the corners tell nothing, they turn as the .glb writer turns them
    std::string format;           // "OBJ" or "glTF binary", for messages
};

// Gives the face (its has_normal and has_uv set) the corners' elements.
void set_elements(edited_model* model, const corner_elements& elements, edited_face* face);

inline uint32_t normal_element(const edited_model& model, const edited_face& face, int c)
{
    return face.elsewhere ? model.elements_elsewhere[face.elsewhere - 1].normal[c] : face.position[c];
}

inline uint32_t uv_element(const edited_model& model, const edited_face& face, int c)
{
    return face.elsewhere ? model.elements_elsewhere[face.elsewhere - 1].uv[c] : face.position[c];
}

// A face's corners as numbers: placed as its part's node places them, normals turned with it (zero
// where the face has none), texture coordinates with the sheet's first row at v = 0.
struct face_corners {
    double position[3][3];
    double normal[3][3];
    double uv[3][2];
};

// Without normals, the normals are left as they are (what matching a face to its triangle needs).
void face_corners_of(const edited_model& model, const edited_face& face, face_corners* out, bool normals = true);

// Asks for the memory face_corners_of reads of the face: for loops that go through faces whose
// corners lie all over a large file.
void prefetch_face(const edited_model& model, const edited_face& face);

// The first n (at most 3) components of element i of an array into out.
void numbers_at(const edited_model& model, const number_array& array, size_t i, int n, double* out);
