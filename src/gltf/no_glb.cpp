// A build without the glTF encoder: --glb is refused before any pair is converted.
#include "gltf/encode_glb.h"
#include "gltf/read_glb.h"

const bool glb_built_in = false;

int encode_glb(const map_mesh*, const std::vector<glb_sheet>&, const std::string&, byte_sink*, std::string* error)
{
    *error = "this build of mapconv has no glTF output";
    return -1;
}

// The layout is never made here: an empty one to free.
struct glb_layout {};
glb_plan::glb_plan() = default;
glb_plan::~glb_plan() = default;

void plan_glb(const map_mesh*, const std::vector<glb_sheet>&, const std::string&, glb_plan*) {}

int write_planned_glb(const glb_plan&, byte_sink*)
{
    return -1;
}

int read_glb_model(const byte_source*, edited_model*, std::string* error, bool)
{
    *error = "this build of mapconv reads no glTF binaries";
    return -1;
}

int read_glb_arrays(const byte_source*, edited_model*, std::string* error)
{
    *error = "this build of mapconv reads no glTF binaries";
    return -1;
}
