// Writing back edited OBJ and .glb files made of arbitrary bytes: each is read and refused, or
// written back into a whole map mesh of the original's size; never a crash or a read out of bounds.
#include <cstring>

#include "fuzz_map.h"
#include "gltf/read_glb.h"
#include "mesh/match_edit.h"
#include "mesh/read_map_mesh.h"
#include "mesh/write_map_mesh.h"
#include "wavefront/read_obj.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::vector<uint8_t> file;
    static map_mesh mesh;
    static std::vector<uint8_t> block;
    read_problem problem;
    if (file.empty()) {
        std::string bytes = write_map_mesh(fuzz_map());
        file.assign(bytes.begin(), bytes.end());
        byte_source source = memory_source(file.data(), file.size());
        if (read_map_mesh(&source, &mesh, &block, &problem) != 0)
            __builtin_trap();
    }
    edited_model model;
    std::string error;
    byte_source source = memory_source(data, size);
    int read = size >= 4 && memcmp(data, "glTF", 4) == 0 ? read_glb_model(&source, &model, &error)
                                                         : read_obj_model(&source, &model, &error);
    mesh_values values;
    if (read == 0 && match_edited_model(mesh, choose_face_orders(&mesh), records_of(file.data(), mesh.counts), model,
                                        &values, &error) == 0) {
        // Written back, the file has the original's size and decodes.
        std::vector<uint8_t> out = file;
        edit_counts counts;
        write_mesh_records(out.data(), mesh.counts, values, &counts);
        map_mesh again;
        byte_source written = memory_source(out.data(), out.size());
        if (out.size() != file.size() || read_map_mesh(&written, &again, &block, &problem) != 0)
            __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();  // a refusal always says why
    }
    return 0;
}
