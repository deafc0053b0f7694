// mapconv: converts every map mesh and texture sheet pair of the current folder into a PNG sheet,
// a Wavefront OBJ model and its MTL material library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "gltf/encode_glb.h"
#include "run.h"

static const char usage[] = "usage: mapconv [--help] [--version] [-j N] [--all-palettes] [--glb] PREFIX\n";

static const char help[] =
    "usage: mapconv [OPTIONS] PREFIX\n"
    "\n"
    "Converts every map mesh whose name begins with PREFIX together with every other file\n"
    "beginning with PREFIX (a texture sheet candidate) in the current folder. For a mesh M and a\n"
    "sheet T it writes T_tex_0.png, M_T.obj and M_T.mtl. Files ending in obj, gns, mtl, png or glb\n"
    "are never inputs.\n"
    "\n"
    "Options:\n"
    "  -j N         convert up to N pairs at once (default: the number of processors);\n"
    "               the output is the same for every N\n"
    "  --all-palettes\n"
    "               colour the sheet through every palette the terrain's triangles use:\n"
    "               T_tex_P.png for each such palette P, one material palette_P for each in\n"
    "               M_T.mtl, and the terrain's faces grouped by palette in M_T.obj;\n"
    "               palette numbers 16-255 select palette (number mod 16)\n"
    "  --glb        also write M_T.glb: glTF 2.0 binary with the sheets embedded,\n"
    "               unit normals, crisp texels and a material of its own for the skirt\n"
    "  --help       print this help and exit\n"
    "  --version    print the version and exit\n"
    "  --           end of options: the next argument is the prefix\n"
    "\n"
    "Exit status: 0 every pair converted, 1 a pair failed or the folder could not be listed,\n"
    "2 bad usage, 255 a PNG could not be written (the run stops at that pair).\n";

// Reads a positive job count. Returns 0, or -1 when text is not one.
static int parse_jobs(const char* text, int* jobs)
{
    char* end;
    long n = strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || n < 1 || n > 1024)
        return -1;
    *jobs = int(n);
    return 0;
}

static int run(int argc, char** argv)
{
    run_options options;
    options.jobs = processor_count();
    const char* prefix = nullptr;
    for (int i = 1; i < argc && !prefix; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0) {
            fputs(help, stdout);
            return status_done;
        } else if (strcmp(arg, "--version") == 0) {
            printf("mapconv %s\n", MAPCONV_VERSION);
            return status_done;
        } else if (strcmp(arg, "-j") == 0) {
            if (i + 1 >= argc || parse_jobs(argv[i + 1], &options.jobs) != 0) {
                fprintf(stderr, "mapconv: -j takes a number of pairs from 1 to 1024\n%s", usage);
                return status_usage;
            }
            i++;
        } else if (strcmp(arg, "--all-palettes") == 0) {
            options.pair.all_palettes = 1;
        } else if (strcmp(arg, "--glb") == 0) {
            if (!glb_built_in) {
                fprintf(stderr, "mapconv: --glb: this build of mapconv has no glTF output\n%s", usage);
                return status_usage;
            }
            options.pair.glb = 1;
        } else if (strcmp(arg, "--") == 0) {
            if (i + 1 < argc)
                prefix = argv[i + 1];
            break;
        } else {
            prefix = arg;
        }
    }
    if (!prefix) {
        fputs(usage, stderr);
        return status_usage;
    }
    return walkdir(prefix, &options);
}

int main(int argc, char** argv)
{
    int closed = prepare_process();
    try {
        int status = run(argc, argv);
        // Output that never arrived is a failure too: a full disk, a closed pipe, or a standard
        // output that was closed when the run began (its text went to the null device).
        if (fflush(stdout) != 0 || ferror(stdout) || (closed & 2)) {
            fprintf(stderr, "mapconv: standard output: write failed\n");
            if (status == status_done)
                status = status_failed;
        }
        return status;
    } catch (const std::bad_alloc&) {
        fflush(stdout);
        fputs("mapconv: out of memory\n", stderr);
        return status_failed;
    }
}
