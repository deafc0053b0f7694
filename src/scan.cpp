#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "console.h"
#include "convert.h"
#include "files.h"
#include "mesh/read_map_mesh.h"

namespace {

// Outputs of earlier runs are never inputs: the .glb files included, or a second run would take
// them for sheets and a third would convert its own outputs again.
bool has_output_extension(const char* name)
{
    size_t n = strlen(name);
    if (n < 3)
        return false;
    const char* last = name + n - 3;
    return memcmp(last, "obj", 3) == 0 || memcmp(last, "gns", 3) == 0 || memcmp(last, "mtl", 3) == 0 ||
           memcmp(last, "png", 3) == 0 || memcmp(last, "glb", 3) == 0 || (n >= 4 && memcmp(last - 1, "html", 4) == 0);
}

bool begins_with(const std::string& name, const std::string& start)
{
    return name.compare(0, start.size(), start) == 0;
}

// A name up to its last '.', or the whole name when it has none.
std::string stem(const std::string& name)
{
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Whether a listed name may be an input at all: never an output of a run (nor a temporary), nor
// "." and "..", which are no entries of the user's, nor the run's own output folder.
bool may_be_input(const std::string& name, const file_identity* output_folder)
{
    if (has_output_extension(name.c_str()) || is_temporary_name(name.c_str()) || name == "." || name == "..")
        return false;
    file_identity id;
    return !output_folder || path_identity(name.c_str(), &id) != 0 || id.device != output_folder->device ||
           id.number != output_folder->number;
}

// Lists "." and sorts the names wanted(name) accepts, of those a run may take for inputs, into
// meshes and texture candidates, in listing order. A name the system cannot open as itself is
// refused with its reason, once, and is neither. Returns 0, or -1 when "." cannot be listed.
template <typename predicate>
int scan_folder(const std::string& output_folder, console_log* log, predicate wanted, pair_list* list)
{
    std::vector<std::string> names;
    if (list_directory(&names) != 0)
        return -1;
    file_identity folder = {};
    bool folder_known = !output_folder.empty() && path_identity(output_folder.c_str(), &folder) == 0;
    for (const std::string& name : names) {
        if (!wanted(name) || !may_be_input(name, folder_known ? &folder : nullptr))
            continue;
        if (int reason = name_refused(name.c_str())) {
            log_error(log, name.c_str(), "%s", error_text(reason).c_str());
            flush_log(log);
            list->refused++;
            continue;
        }
        byte_source source;
        bool is_mesh = false;
        if (open_run_input(name.c_str(), log, &source) == 0) {
            is_mesh = check_mesh(&source) == 0;
            close_input(source.fd);
        }
        (is_mesh ? list->meshes : list->textures).push_back(name);
        flush_log(log);
    }
    return 0;
}

// Which mesh and texture candidate a dropped name is, or -1.
long index_of(const std::vector<std::string>& names, const std::string& name)
{
    auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : long(found - names.begin());
}

// Marks in paired[m][t] the pairs dropped name d makes: with the others dropped (meshes and sheets
// dropped together), or by the names' stems. Returns whether it makes any.
bool pair_dropped(const pair_list& list, const std::string& dropped, const std::vector<char>& mesh_dropped,
                  const std::vector<char>& texture_dropped, bool together, std::vector<std::vector<char>>* paired)
{
    long mesh = index_of(list.meshes, dropped), texture = index_of(list.textures, dropped);
    bool any = false;
    for (size_t m = 0; m < list.meshes.size(); m++) {
        for (size_t t = 0; t < list.textures.size(); t++) {
            bool pair = together ? (mesh == long(m) && texture_dropped[t]) || (texture == long(t) && mesh_dropped[m])
                                 : (mesh == long(m) && begins_with(list.textures[t], stem(dropped))) ||
                                       (texture == long(t) && begins_with(dropped, stem(list.meshes[m])));
            (*paired)[m][t] |= char(pair);
            any = any || pair;
        }
    }
    return any;
}

// The pairs marked, mesh by mesh; prints the count lines of the meshes and candidates they use.
void list_marked_pairs(const std::vector<std::vector<char>>& paired, console_log* log, pair_list* list)
{
    std::vector<char> mesh_used(list->meshes.size(), 0), texture_used(list->textures.size(), 0);
    for (size_t m = 0; m < list->meshes.size(); m++) {
        size_t per_mesh = 0;
        for (size_t t = 0; t < list->textures.size(); t++) {
            if (!paired[m][t])
                continue;
            list->pairs.push_back(pair_names{m, t});
            mesh_used[m] = texture_used[t] = 1;
            per_mesh++;
        }
        list->pairs_per_mesh = std::max(list->pairs_per_mesh, per_mesh);
    }
    log_out(log, "%i meshes found\n", int(std::count(mesh_used.begin(), mesh_used.end(), 1)));
    log_out(log, "%i possible textures\n", int(std::count(texture_used.begin(), texture_used.end(), 1)));
}

}  // namespace

int scan_prefix(const char* prefix, const char* as_typed, const std::string& output_folder, int quiet, pair_list* list)
{
    console_log log;
    log.quiet = quiet;
    std::string start = prefix;
    auto wanted = [&](const std::string& name) { return begins_with(name, start); };
    if (scan_folder(output_folder, &log, wanted, list) != 0)
        return -1;
    log_out(&log, "%i meshes found\n", int(list->meshes.size()));
    log_out(&log, "%i possible textures\n", int(list->textures.size()));
    // Nothing to convert is not a failure, but a typing mistake is the likelier cause: say so, and
    // where the prefix names a file (a prefix is a file's name too), how to convert that file.
    bool names_mesh = index_of(list->meshes, start) >= 0, names_sheet = index_of(list->textures, start) >= 0;
    std::string how = "; to convert this " + std::string(names_mesh ? "mesh" : "sheet") + " with its " +
                      (names_mesh ? "sheets" : "meshes") + ", give it with its folder (./" + name_for_stderr(prefix) +
                      "), or the prefix " + name_for_stderr(stem(start).c_str());
    list->missing = as_typed && list->meshes.empty() && list->textures.empty() && list->refused == 0;
    if (list->missing)
        log_error(&log, as_typed, "%s", error_text(ENOENT).c_str());
    else if (list->meshes.empty())
        log_error(&log, prefix, "no map mesh's name begins with this prefix%s", names_sheet ? how.c_str() : "");
    else if (list->textures.empty())
        log_error(&log, prefix, "no texture sheet candidate's name begins with this prefix, so no mesh has one%s",
                  names_mesh ? how.c_str() : "");
    flush_log(&log);
    for (size_t m = 0; m < list->meshes.size(); m++)
        for (size_t t = 0; t < list->textures.size(); t++)
            list->pairs.push_back(pair_names{m, t});
    list->pairs_per_mesh = list->textures.size();
    return 0;
}

int scan_dropped(const std::vector<std::string>& dropped, const std::string& output_folder, int quiet, pair_list* list)
{
    std::vector<std::string> stems;
    for (const std::string& name : dropped)
        stems.push_back(stem(name));
    // A candidate for a pair: a dropped name, a name a dropped mesh's stem begins, or a mesh whose
    // stem begins a dropped sheet's name.
    auto wanted = [&](const std::string& name) {
        for (size_t i = 0; i < dropped.size(); i++)
            if (name == dropped[i] || begins_with(name, stems[i]) || begins_with(dropped[i], stem(name)))
                return true;
        return false;
    };
    console_log log;
    log.quiet = quiet;
    if (scan_folder(output_folder, &log, wanted, list) != 0)
        return -1;
    std::vector<std::vector<char>> paired(list->meshes.size(), std::vector<char>(list->textures.size(), 0));
    std::vector<char> mesh_dropped(list->meshes.size(), 0), texture_dropped(list->textures.size(), 0);
    for (const std::string& name : dropped) {
        long m = index_of(list->meshes, name), t = index_of(list->textures, name);
        if (m >= 0)
            mesh_dropped[size_t(m)] = 1;
        if (t >= 0)
            texture_dropped[size_t(t)] = 1;
    }
    bool together = std::count(mesh_dropped.begin(), mesh_dropped.end(), 1) > 0 &&
                    std::count(texture_dropped.begin(), texture_dropped.end(), 1) > 0;
    std::vector<size_t> lonely;  // dropped files that pair with nothing
    for (size_t d = 0; d < dropped.size(); d++)
        if (!pair_dropped(*list, dropped[d], mesh_dropped, texture_dropped, together, &paired))
            lonely.push_back(d);
    list_marked_pairs(paired, &log, list);
    for (size_t d : lonely) {
        if (index_of(list->meshes, dropped[d]) >= 0)
            log_error(&log, dropped[d].c_str(),
                      "no texture sheet candidate's name begins with \"%s\", so it pairs "
                      "with nothing",
                      name_for_stderr(stems[d].c_str()).c_str());
        else
            log_error(&log, dropped[d].c_str(),
                      "no map mesh's stem (its name up to its last dot) begins this name, "
                      "so it pairs with nothing");
    }
    flush_log(&log);
    return 0;
}

int group_dropped(const std::vector<const char*>& paths, std::vector<dropped_folder>* folders, std::string* bad_folder,
                  int* error)
{
    for (const char* path : paths) {
        size_t length = folder_part_length(path);
        std::string folder = length > 0 ? std::string(path, length) : std::string("."), absolute;
        if ((*error = absolute_folder(folder.c_str(), &absolute)) != 0) {
            *bad_folder = folder;
            return -1;
        }
        auto same = [&](const dropped_folder& f) { return f.folder == absolute; };
        auto at = std::find_if(folders->begin(), folders->end(), same);
        if (at == folders->end())
            at = folders->insert(folders->end(), dropped_folder{absolute, {}});
        std::string name = path + length;
        if (std::find(at->names.begin(), at->names.end(), name) == at->names.end())
            at->names.push_back(name);
    }
    return 0;
}
