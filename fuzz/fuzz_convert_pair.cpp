// One whole pair conversion in a scratch folder. The first byte chooses the options (bit 0
// --all-palettes, bit 1 --glb), the next two give the mesh's length, and the rest is split into the
// mesh and a sheet. A sheet shorter than 131,072 bytes is repeated to full length unless its first
// byte is odd, so both the refusal and the PNG path are reached.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "convert.h"
#include "gltf/encode_glb.h"

static void write_whole(const char* name, const uint8_t* data, size_t size)
{
    FILE* f = fopen(name, "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        char folder[] = "/tmp/mapconv-fuzz-XXXXXX";
        if (!mkdtemp(folder) || chdir(folder) != 0)
            abort();
        if (!freopen("/dev/null", "w", stdout))
            abort();
        ready = true;
    }
    if (size < 3)
        return 0;
    pair_options options;
    options.all_palettes = data[0] & 1;
    options.glb = glb_built_in && (data[0] & 2);
    size_t mesh_size = size_t(data[1] | data[2] << 8);
    if (mesh_size > size - 3)
        mesh_size = size - 3;
    const uint8_t* mesh = data + 3;
    const uint8_t* sheet = mesh + mesh_size;
    size_t sheet_size = size - 3 - mesh_size;

    write_whole("m.msh", mesh, mesh_size);
    std::string full(sheet, sheet + sheet_size);
    if (sheet_size > 0 && sheet_size < 131072 && (sheet[0] & 1) == 0)
        while (full.size() < 131072)
            full.append(reinterpret_cast<const char*>(sheet), sheet_size);
    write_whole("m.tex", reinterpret_cast<const uint8_t*>(full.data()), full.size());

    static worker_buffers work;
    static sheet_cache sheets;
    converted_pair pair;
    convert("m.msh", "m.tex", &options, &sheets, &work, &pair);
    pair_result result = commit_pair(&pair);
    bool any_sheet = false;
    for (int p = 0; p < 16; p++)
        any_sheet = any_sheet || access(("m.tex_tex_" + std::to_string(p) + ".png").c_str(), F_OK) == 0;
    bool written = any_sheet && access("m.msh_m.tex.obj", F_OK) == 0 && access("m.msh_m.tex.mtl", F_OK) == 0 &&
                   (!options.glb || access("m.msh_m.tex.glb", F_OK) == 0);
    // A pair either writes everything or fails and leaves nothing; here no write can fail.
    if (result == pair_done ? !written : (any_sheet || result != pair_failed))
        __builtin_trap();
    for (int p = 0; p < 16; p++)
        unlink(("m.tex_tex_" + std::to_string(p) + ".png").c_str());
    unlink("m.msh_m.tex.obj");
    unlink("m.msh_m.tex.mtl");
    unlink("m.msh_m.tex.glb");
    return 0;
}
