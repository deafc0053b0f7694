// One whole pair conversion, in memory. The first byte chooses the options (bit 0 --all-palettes,
// bit 1 --glb, bit 2 --face-up, bit 3 --preview at a size from the second byte), the next two give
// the mesh's length, and the rest is split into the mesh and a sheet. A sheet shorter than 131,072
// bytes is repeated to full length unless its first byte is odd, so both the refusal and the PNG
// path are reached.
#include <cstdlib>
#include <string>

#include "convert.h"
#include "gltf/encode_glb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    pair_options options;
    options.all_palettes = data[0] & 1;
    options.glb = glb_built_in && (data[0] & 2);
    options.face_up = (data[0] >> 2) & 1;
    options.preview = (data[0] >> 3) & 1;
    options.preview_size = 16 + data[1];
    options.quiet = 1;
    size_t mesh_size = size_t(data[1] | data[2] << 8);
    if (mesh_size > size - 3)
        mesh_size = size - 3;
    const uint8_t* mesh = data + 3;
    const uint8_t* sheet = mesh + mesh_size;
    size_t sheet_size = size - 3 - mesh_size;
    std::string full(sheet, sheet + sheet_size);
    if (sheet_size > 0 && sheet_size < 131072 && (sheet[0] & 1) == 0)
        while (full.size() < 131072)
            full.append(reinterpret_cast<const char*>(sheet), sheet_size);

    static worker_buffers work;  // reused, as a worker reuses them from pair to pair
    static sheet_cache sheets;
    converted_pair pair;
    byte_source mesh_source = memory_source(mesh, mesh_size);
    byte_source sheet_source = memory_source(full.data(), full.size());
    pair_result result = convert_bytes("m.msh", &mesh_source, "m.tex", &sheet_source, &options, &sheets, &work, &pair);
    // A pair either makes every output, each of some bytes, or fails saying why; nothing here can
    // stop the run.
    if (result == pair_stop_run)
        __builtin_trap();
    size_t expected = 2 + size_t(options.glb) + size_t(options.preview);
    if (result == pair_done) {
        size_t sheets_made = pair.outputs.size() - expected;
        if (pair.outputs.size() < expected + 1 || sheets_made > 16)
            __builtin_trap();
        for (const pair_output& out : pair.outputs)
            if (out.bytes.empty() && out.name.find(".mtl") == std::string::npos)
                __builtin_trap();
    } else if (mesh_size > 64 && mesh[64] == 0xC4) {
        // A file that is no mesh at all is refused with "Not a mesh file." alone, as at the scan.
        bool said = false;
        for (const console_chunk& chunk : pair.log.chunks)
            said = said || chunk.to_stderr;
        if (!said)
            __builtin_trap();
    }
    return 0;
}
