// mapconv: converts every map mesh and texture sheet pair of a folder into a PNG sheet, a Wavefront
// OBJ model and its MTL material library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "exit_status.h"
#include "files.h"
#include "run.h"
#include "write_back.h"

static const char usage[] =
    "usage: mapconv [-h] [--version] [-j N] [-C DIR] [-o DIR] [-q] [--all-palettes] [--glb] [--face-up]\n"
    "               [--preview] [--preview-size N] [--indexed-sheets] [--] [DIR/]PREFIX | DIR/FILE...\n"
    "       mapconv [-q] [-C DIR] [--keep-normals] --write-back MESH EDITED NEW\n"
    "       mapconv [-q] [-C DIR] [--palette P] [--exact-colours] --write-back SHEET PICTURE NEW --mesh MESH\n";

static const char help[] =
    "usage: mapconv [OPTIONS] [--] [DIR/]PREFIX\n"
    "       mapconv [OPTIONS] [--] DIR/FILE...\n"
    "       mapconv [-q] [-C DIR] [--keep-normals] --write-back MESH EDITED NEW\n"
    "       mapconv [-q] [-C DIR] [--palette P] [--exact-colours] --write-back SHEET PICTURE NEW --mesh MESH\n"
    "\n"
    "Converts every map mesh whose name begins with PREFIX together with every other file\n"
    "beginning with PREFIX (a texture sheet candidate) in the current folder, or in DIR when the\n"
    "prefix names one. For a mesh M and a sheet T it writes T_tex_0.png, M_T.obj and M_T.mtl.\n"
    "Files ending in obj, gns, mtl, png, glb or html are never inputs.\n"
    "\n"
    "Options:\n"
    "  -j N, --jobs N\n"
    "               convert up to N pairs at once (default: the number of processors);\n"
    "               the output is the same for every N\n"
    "  -C DIR       work in the folder DIR, as if started there\n"
    "  -o DIR, --output-dir DIR\n"
    "               write the outputs into DIR (made when missing) instead of the folder of\n"
    "               the inputs, which is then only read; DIR is found from where the command\n"
    "               was typed, before -C or the prefix's folder applies\n"
    "  -q, --quiet  print no progress lines; errors still go to standard error, and a run\n"
    "               in which a pair failed ends with how many failed\n"
    "  --all-palettes\n"
    "               colour the sheet through every palette the terrain's triangles use:\n"
    "               T_tex_P.png for each such palette P, one material palette_P for each in\n"
    "               M_T.mtl, and the terrain's faces grouped by palette in M_T.obj;\n"
    "               palette numbers 16-255 select palette (number mod 16)\n"
    "  --glb        also write M_T.glb: glTF 2.0 binary with the sheets embedded,\n"
    "               unit normals, crisp texels and a material of its own for the skirt\n"
    "  --preview    also write M_T_top.png, the map seen from above in its true colours,\n"
    "               and index.html, a page of every pair of the run with its picture\n"
    "  --preview-size N\n"
    "               the preview's longest side in pixels (16 to 4096; default 512);\n"
    "               implies --preview\n"
    "  --indexed-sheets\n"
    "               write each sheet as a 4-bit palette PNG: the 16 colours of its palette and\n"
    "               the sheet's own indices, which a paint program in indexed mode keeps\n"
    "  --face-up    write each OBJ face in the corner order the .glb uses, so that every\n"
    "               viewer draws it from the side its normals point to (only the order of\n"
    "               the indices on f lines changes)\n"
    "  --write-back MESH EDITED NEW\n"
    "               write NEW, a copy of the map mesh MESH with the corner positions,\n"
    "               normals, texture coordinates and palettes of EDITED: an OBJ or .glb that\n"
    "               mapconv made from MESH (with any options), edited in another program;\n"
    "               nothing else of MESH changes, and nothing is written when the edit\n"
    "               cannot be put back whole (NEW may be MESH: it is replaced only then)\n"
    "  --keep-normals\n"
    "               with --write-back: keep MESH's normals, whatever EDITED's are\n"
    "  --write-back SHEET PICTURE NEW --mesh MESH\n"
    "               write NEW, a copy of the texture sheet SHEET with the colour indices that\n"
    "               PICTURE shows: a PNG of SHEET that mapconv wrote (T_tex_P.png, coloured\n"
    "               through palette P of the map mesh MESH), repainted; a pixel that kept its\n"
    "               colour keeps its index, a new colour takes the palette's nearest\n"
    "  --palette P  with a picture: the palette that coloured it (default: the P of its name)\n"
    "  --exact-colours\n"
    "               with a picture: refuse a colour the palette does not hold\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "  --           end of options: the next argument is the prefix, even if it begins with -\n"
    "\n"
    "Options may stand before or after the prefix; -jN, --jobs=N and --output-dir=DIR work too.\n"
    "\n"
    "Files given with their folder (as when dragged onto the program) convert their own pairs:\n"
    "a mesh with every candidate whose name begins with the mesh's name up to its last dot, a\n"
    "sheet with every mesh whose name begins with the sheet's; several at once, each pair once.\n"
    "\n"
    "Exit status: 0 every pair converted, 1 a pair failed or a folder could not be used,\n"
    "2 bad usage, 255 a PNG could not be written (the run stops at that pair).\n";

namespace {

// What the command line asks for.
struct command_line {
    run_options options;
    std::vector<const char*> prefixes;    // as given: may hold a folder; several only as dropped files
    const char* work_folder = nullptr;    // -C
    const char* output_folder = nullptr;  // -o
    int help = 0, version = 0;
    int write_back = 0;                       // --write-back: the three arguments are MESH EDITED NEW
    int keep_normals = 0;                     // --keep-normals, of --write-back
    sheet_write_back sheet;                   // --mesh, --palette, --exact-colours: a picture goes back
    const char* sheet_option = nullptr;       // the first option only a picture's write-back takes
    const char* conversion_option = nullptr;  // the first option that only a conversion takes
};

// Reads a whole number from least to most. Returns 0, or -1 when text is not one.
int parse_number(const char* text, long least, long most, int* number)
{
    char* end;
    long n = strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || n < least || n > most)
        return -1;
    *number = int(n);
    return 0;
}

int usage_error(const char* message, const char* arg)
{
    fprintf(stderr, "mapconv: %s%s\n%s", message, arg, usage);
    return status_usage;
}

// Whether argv[*i] is the option short_name or long_name (null when it has none), which takes a
// value: the next argument (*i moves on to it), "--long=VALUE", or with attached "-jVALUE" (every
// short option with a value takes it attached, as getopt does). *value is null when the value is
// missing.
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

// Reads an option of the write-back at argv[*i]. Returns whether it was one; *status is a usage
// status after a message when its value is wrong.
bool read_write_back_option(int argc, char** argv, int* index, command_line* cl, int* status)
{
    const char* arg = argv[*index];
    const char* value;
    if (strcmp(arg, "--write-back") == 0) {
        cl->write_back = 1;
    } else if (strcmp(arg, "--keep-normals") == 0) {
        cl->keep_normals = 1;
    } else if (option_with_value(argc, argv, index, "--mesh", nullptr, false, &value)) {
        if (!(cl->sheet.mesh_name = value))
            *status = usage_error("--mesh takes the map mesh whose palettes coloured the picture", "");
    } else if (option_with_value(argc, argv, index, "--palette", nullptr, false, &value)) {
        if (!value || parse_number(value, 0, palette_count - 1, &cl->sheet.palette) != 0)
            *status = usage_error("--palette takes a palette from 0 to 15", "");
        cl->sheet_option = cl->sheet_option ? cl->sheet_option : "--palette";
    } else if (strcmp(arg, "--exact-colours") == 0) {
        cl->sheet.exact_colours = 1;
        cl->sheet_option = cl->sheet_option ? cl->sheet_option : "--exact-colours";
    } else {
        return false;
    }
    return true;
}

// Reads the arguments into *cl. Returns 0, or a usage status after a message.
int read_command_line(int argc, char** argv, command_line* cl)
{
    bool options_end = false;
    int status = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* value;
        if (options_end || arg[0] != '-') {
            cl->prefixes.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            options_end = true;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            cl->help = 1;
        } else if (strcmp(arg, "--version") == 0) {
            cl->version = 1;
        } else if (read_write_back_option(argc, argv, &i, cl, &status)) {
            if (status != 0)
                return status;
        } else if (option_with_value(argc, argv, &i, "-j", "--jobs", true, &value)) {
            if (!value || parse_number(value, 1, 1024, &cl->options.jobs) != 0)
                return usage_error("-j takes a number of pairs from 1 to 1024", "");
        } else if (option_with_value(argc, argv, &i, "-C", nullptr, true, &value)) {
            if (!(cl->work_folder = value))
                return usage_error("-C takes a folder", "");
        } else if (option_with_value(argc, argv, &i, "-o", "--output-dir", true, &value)) {
            if (!(cl->output_folder = value))
                return usage_error("-o takes a folder", "");
        } else if (strcmp(arg, "-q") == 0 || strcmp(arg, "--quiet") == 0) {
            cl->options.pair.quiet = 1;
        } else if (strcmp(arg, "--all-palettes") == 0) {
            cl->options.pair.all_palettes = 1;
        } else if (strcmp(arg, "--preview") == 0) {
            cl->options.pair.preview = 1;
        } else if (option_with_value(argc, argv, &i, "--preview-size", nullptr, false, &value)) {
            if (!value ||
                parse_number(value, preview_least_size, preview_most_size, &cl->options.pair.preview_size) != 0)
                return usage_error("--preview-size takes a number of pixels from 16 to 4096", "");
            cl->options.pair.preview = 1;
        } else if (strcmp(arg, "--face-up") == 0) {
            cl->options.pair.face_up = 1;
        } else if (strcmp(arg, "--indexed-sheets") == 0) {
            cl->options.pair.indexed_sheets = 1;
        } else if (strcmp(arg, "--glb") == 0) {
            if (!glb_available())
                return usage_error("--glb: this build of mapconv has no glTF output", "");
            cl->options.pair.glb = 1;
        } else {
            return usage_error("unknown option: ", arg);
        }
        // Options of a conversion (-j, -o, the outputs' options) mean nothing to --write-back.
        static const char* const conversion_options[] = {"-j",           "--jobs",         "-o",
                                                         "--output-dir", "--all-palettes", "--preview",
                                                         "--face-up",    "--glb",          "--indexed-sheets"};
        for (const char* option : conversion_options)
            if (!cl->conversion_option && strncmp(arg, option, strlen(option)) == 0)
                cl->conversion_option = arg;
    }
    return 0;
}

int folder_error(const char* folder, int error)
{
    print_error(folder, error_text(error));
    return status_failed;
}

bool is_regular_file(const char* path)
{
    int fd, error;
    std::string reason;
    if (open_input(path, &fd, &reason, &error) != 0)
        return false;
    close_input(fd);
    return true;
}

// --write-back: a mesh's edit, or with --mesh a sheet's repainted picture.
int run_write_back(const command_line& cl)
{
    if (cl.conversion_option)
        return usage_error("--write-back takes no conversion option: ", cl.conversion_option);
    if (cl.prefixes.size() != 3)
        return usage_error(cl.sheet.mesh_name ? "--write-back takes three files: the sheet, the repainted "
                                                "picture, the new sheet"
                                              : "--write-back takes three files: the map mesh, the edited OBJ "
                                                "or .glb, the new file",
                           "");
    if (cl.sheet.mesh_name && cl.keep_normals)
        return usage_error("--keep-normals goes with a mesh's write-back, not a picture's", "");
    if (!cl.sheet.mesh_name && cl.sheet_option)
        return usage_error(cl.sheet_option, " goes with a picture's write-back: --mesh MESH names its map");
    int error;
    if (cl.work_folder && change_folder(cl.work_folder, &error) != 0)
        return folder_error(cl.work_folder, error);
    if (cl.sheet.mesh_name)
        return write_back_sheet(cl.prefixes[0], cl.prefixes[1], cl.prefixes[2], cl.sheet, cl.options.pair.quiet);
    return write_back(cl.prefixes[0], cl.prefixes[1], cl.prefixes[2], cl.keep_normals, cl.options.pair.quiet);
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
    if (cl.write_back)
        return run_write_back(cl);
    if (cl.sheet.mesh_name || cl.sheet_option)
        return usage_error(cl.sheet.mesh_name ? "--mesh" : cl.sheet_option, " goes with --write-back");
    if (cl.keep_normals)
        return usage_error("--keep-normals goes with --write-back", "");
    if (cl.prefixes.empty())
        return usage_error("a prefix is missing: the start of the names of the maps to convert", "");
    // Files dragged onto the program arrive as full paths: each converts its own pairs, and so do
    // several files named at once. Any other argument is a prefix, and a run takes one.
    bool dropped = true;
    for (const char* arg : cl.prefixes)
        dropped = dropped && (folder_part_length(arg) > 0 || cl.prefixes.size() > 1) && is_regular_file(arg);
    if (!dropped && cl.prefixes.size() > 1)
        return usage_error("one prefix only; a second was given: ", cl.prefixes[1]);
    // The output folder is found from where the user typed it, before the run changes folder.
    int error;
    if (cl.output_folder && use_output_folder(cl.output_folder, &cl.options.pair.output_folder, &error) != 0)
        return folder_error(cl.output_folder, error);
    if (cl.work_folder && change_folder(cl.work_folder, &error) != 0)
        return folder_error(cl.work_folder, error);
    if (dropped)
        return run_dropped_files(cl.prefixes, &cl.options);
    // A prefix that holds a folder runs in that folder.
    const char* prefix = cl.prefixes[0];
    size_t folder_length = folder_part_length(prefix);
    if (folder_length > 0) {
        std::string folder(prefix, folder_length);
        if (change_folder(folder.c_str(), &error) != 0)
            return folder_error(folder.c_str(), error);
    }
    return walkdir(prefix + folder_length, folder_length > 0 ? prefix : nullptr, &cl.options);
}

// Runs the command line, and turns what standard output and memory did into the exit status.
int run_and_report(int argc, char** argv, int closed)
{
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

}  // namespace

int main(int argc, char** argv)
{
    int closed = prepare_process(remove_own_temporaries);
    choose_temporary_token(random_token());
    platform_arguments(&argc, &argv);
    int status = run_and_report(argc, argv, closed);
    wait_before_own_console_closes();
    return status;
}
