// mapconv: converts every map mesh and texture sheet pair of a folder into a PNG sheet, a Wavefront
// OBJ model and its MTL material library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "files.h"
#include "gltf/encode_glb.h"
#include "run.h"

static const char usage[] =
    "usage: mapconv [-h] [--version] [-j N] [-C DIR] [-o DIR] [-q] [--all-palettes] [--glb] [--] [DIR/]PREFIX\n";

static const char help[] =
    "usage: mapconv [OPTIONS] [--] [DIR/]PREFIX\n"
    "\n"
    "Converts every map mesh whose name begins with PREFIX together with every other file\n"
    "beginning with PREFIX (a texture sheet candidate) in the current folder, or in DIR when the\n"
    "prefix names one. For a mesh M and a sheet T it writes T_tex_0.png, M_T.obj and M_T.mtl.\n"
    "Files ending in obj, gns, mtl, png or glb are never inputs.\n"
    "\n"
    "Options:\n"
    "  -j N, --jobs N\n"
    "               convert up to N pairs at once (default: the number of processors);\n"
    "               the output is the same for every N\n"
    "  -C DIR       work in the folder DIR, as if started there\n"
    "  -o DIR, --output-dir DIR\n"
    "               write the outputs into DIR (made when missing) instead of the folder of\n"
    "               the inputs, which is then only read\n"
    "  -q, --quiet  print no progress lines; errors still go to standard error, and a run\n"
    "               in which a pair failed ends with how many failed\n"
    "  --all-palettes\n"
    "               colour the sheet through every palette the terrain's triangles use:\n"
    "               T_tex_P.png for each such palette P, one material palette_P for each in\n"
    "               M_T.mtl, and the terrain's faces grouped by palette in M_T.obj;\n"
    "               palette numbers 16-255 select palette (number mod 16)\n"
    "  --glb        also write M_T.glb: glTF 2.0 binary with the sheets embedded,\n"
    "               unit normals, crisp texels and a material of its own for the skirt\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "  --           end of options: the next argument is the prefix, even if it begins with -\n"
    "\n"
    "Options may stand before or after the prefix; -jN, --jobs=N and --output-dir=DIR work too.\n"
    "\n"
    "Exit status: 0 every pair converted, 1 a pair failed or a folder could not be used,\n"
    "2 bad usage, 255 a PNG could not be written (the run stops at that pair).\n";

namespace {

// What the command line asks for.
struct command_line {
    run_options options;
    const char* prefix = nullptr;         // as given: may hold a folder
    const char* work_folder = nullptr;    // -C
    const char* output_folder = nullptr;  // -o
    int help = 0, version = 0;
};

// Reads a positive job count. Returns 0, or -1 when text is not one.
int parse_jobs(const char* text, int* jobs)
{
    char* end;
    long n = strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || n < 1 || n > 1024)
        return -1;
    *jobs = int(n);
    return 0;
}

int usage_error(const char* message, const char* arg)
{
    fprintf(stderr, "mapconv: %s%s\n%s", message, arg, usage);
    return status_usage;
}

// Whether argv[*i] is the option short_name or long_name (null when it has none), which takes a
// value: the next argument (*i moves on to it), "--long=VALUE", or with attached "-jVALUE". *value
// is null when the value is missing.
bool option_with_value(int argc, char** argv, int* i, const char* short_name, const char* long_name, bool attached,
                       const char** value)
{
    const char* arg = argv[*i];
    size_t long_length = long_name ? strlen(long_name) : 0;
    if (strcmp(arg, short_name) == 0 || (long_name && strcmp(arg, long_name) == 0))
        *value = *i + 1 < argc ? argv[++*i] : nullptr;
    else if (attached && strncmp(arg, short_name, 2) == 0 && arg[2] != '\0')
        *value = arg + 2;
    else if (long_name && strncmp(arg, long_name, long_length) == 0 && arg[long_length] == '=')
        *value = arg + long_length + 1;
    else
        return false;
    return true;
}

// Reads the arguments into *cl. Returns 0, or a usage status after a message.
int read_command_line(int argc, char** argv, command_line* cl)
{
    bool options_end = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* value;
        if (options_end || arg[0] != '-') {
            if (cl->prefix)
                return usage_error("one prefix only; a second was given: ", arg);
            cl->prefix = arg;
        } else if (strcmp(arg, "--") == 0) {
            options_end = true;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            cl->help = 1;
        } else if (strcmp(arg, "--version") == 0) {
            cl->version = 1;
        } else if (option_with_value(argc, argv, &i, "-j", "--jobs", true, &value)) {
            if (!value || parse_jobs(value, &cl->options.jobs) != 0)
                return usage_error("-j takes a number of pairs from 1 to 1024", "");
        } else if (option_with_value(argc, argv, &i, "-C", nullptr, false, &value)) {
            if (!(cl->work_folder = value))
                return usage_error("-C takes a folder", "");
        } else if (option_with_value(argc, argv, &i, "-o", "--output-dir", false, &value)) {
            if (!(cl->output_folder = value))
                return usage_error("-o takes a folder", "");
        } else if (strcmp(arg, "-q") == 0 || strcmp(arg, "--quiet") == 0) {
            cl->options.pair.quiet = 1;
        } else if (strcmp(arg, "--all-palettes") == 0) {
            cl->options.pair.all_palettes = 1;
        } else if (strcmp(arg, "--glb") == 0) {
            if (!glb_built_in)
                return usage_error("--glb: this build of mapconv has no glTF output", "");
            cl->options.pair.glb = 1;
        } else {
            return usage_error("unknown option: ", arg);
        }
    }
    return 0;
}

// Where a prefix's folder part ends: after its last separator, or 0 when it has none.
size_t folder_part_length(const char* prefix)
{
    size_t end = 0;
    for (size_t i = 0; prefix[i]; i++)
        if (prefix[i] == '/' || (path_separator_backslash && prefix[i] == '\\'))
            end = i + 1;
    return end;
}

int folder_error(const char* folder, int error)
{
    fprintf(stderr, "mapconv: %s: %s\n", name_for_stderr(folder).c_str(), error_text(error).c_str());
    return status_failed;
}

int run(int argc, char** argv)
{
    command_line cl;
    cl.options.jobs = processor_count();
    int status = read_command_line(argc, argv, &cl);
    if (status != 0)
        return status;
    if (cl.help) {
        fputs(help, stdout);
        return status_done;
    }
    if (cl.version) {
        printf("mapconv %s\n", MAPCONV_VERSION);
        return status_done;
    }
    if (!cl.prefix) {
        fputs(usage, stderr);
        return status_usage;
    }
    // The output folder is found from where the user typed it, before the run changes folder.
    int error;
    if (cl.output_folder && use_output_folder(cl.output_folder, &cl.options.pair.output_folder, &error) != 0)
        return folder_error(cl.output_folder, error);
    if (cl.work_folder && change_folder(cl.work_folder, &error) != 0)
        return folder_error(cl.work_folder, error);
    // A prefix that holds a folder (a path typed or dragged onto the program) runs in that folder.
    size_t folder_length = folder_part_length(cl.prefix);
    if (folder_length > 0) {
        std::string folder(cl.prefix, folder_length);
        if (change_folder(folder.c_str(), &error) != 0)
            return folder_error(folder.c_str(), error);
    }
    return walkdir(cl.prefix + folder_length, &cl.options);
}

}  // namespace

int main(int argc, char** argv)
{
    int closed = prepare_process(remove_own_temporaries);
    choose_temporary_token(random_token());
    platform_arguments(&argc, &argv);
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
