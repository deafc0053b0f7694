// The map mesh reader on arbitrary bytes: refuses or fills, never crashes or reads out of bounds.
#include "mesh/read_map_mesh.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static map_mesh mesh;  // reused, as a worker reuses them from pair to pair
    static std::vector<uint8_t> block;
    read_problem problem;
    byte_source source = memory_source(data, size);
    int result = read_map_mesh(&source, &mesh, &block, &problem);
    // A refusal always says why.
    if (result != 0 && problem.reason.empty())
        __builtin_trap();
    if (result == 0) {
        // Every v stays on the sheet and every list has the length its counts give.
        if (mesh.tex_uvs.size() != textured_triangle_count(mesh.counts) ||
            mesh.untex_positions.size() != untextured_triangle_count(mesh.counts))
            __builtin_trap();
        for (const tri_uvs& t : mesh.tex_uvs)
            for (int c = 0; c < 3; c++)
                if (t.corner[c][1] > 1023 || t.corner[c][0] > 255)
                    __builtin_trap();
    }
    return 0;
}
