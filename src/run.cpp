#include "run.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "mesh/read_map_mesh.h"
#include "preview/index_page.h"

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

struct pair_names {
    const std::string* mesh;
    const std::string* texture;
};

// What every pair of the run shares.
struct run_state {
    std::vector<pair_names> pairs;
    const pair_options* options;
    sheet_cache sheets;
    std::map<std::string, size_t> written_by;  // MESH_TEXTURE of each OBJ and MTL put in place (its key): which pair
    std::map<std::pair<uint64_t, uint64_t>, size_t> written_files;  // each OBJ put in place, by identity: which pair
    std::vector<index_entry> index;  // with --preview, what the run's index page shows of each pair
    size_t ended = 0, failed = 0;    // pairs that ended, and of them those that failed
};

// Converts one pair; a pair that runs out of memory fails alone.
void convert_pair(pair_names names, run_state* run, converted_pair* pair, worker_buffers* work)
{
    pair->log.quiet = run->options->quiet;
    try {
        log_out(&pair->log, "%s > %s\n", name_for_stdout(names.mesh->c_str()).c_str(),
                name_for_stdout(names.texture->c_str()).c_str());
        convert(names.mesh->c_str(), names.texture->c_str(), run->options, &run->sheets, work, pair);
    } catch (const std::bad_alloc&) {
        discard_pair(pair);
        pair->log.short_of_resources = 1;
        pair->result = pair_failed;
        log_error(&pair->log, names.mesh->c_str(), "out of memory");
    }
}

// The pair that put the OBJ now bearing obj_name in place, by the file's identity: a case-blind
// folder gives two names one file. Returns the pair's index, or -1.
long pair_behind(const run_state* run, const std::string& obj_name)
{
    file_identity there;
    if (run->written_files.empty() || name_identity(obj_name.c_str(), &there) != 0)
        return -1;
    auto found = run->written_files.find({there.device, there.number});
    return found == run->written_files.end() ? -1 : long(found->second);
}

// What the index page says of a pair that ended with result.
index_entry index_entry_of(const pair_options& options, pair_names names, const converted_pair& pair,
                           pair_result result)
{
    index_entry e;
    e.mesh = *names.mesh;
    e.sheet = *names.texture;
    e.converted = result == pair_done;
    e.reason = pair.reasons;
    e.counts = pair.counts;
    e.palettes = pair.used_palettes;
    std::string preview = preview_name(e.mesh, e.sheet);
    for (const pair_output& out : pair.outputs) {
        std::string name = out.name.substr(options.output_folder.size());
        if (name == preview)
            e.preview = name;
        else
            e.files.push_back(name);
    }
    return e;
}

// Puts pair i in place. Two pairs can name the same OBJ and MTL (p with px_pt, and p_px with pt;
// or, in a folder blind to case, xa with xb_xc and xA_xb with xc): the later one is refused and the
// first one's files stay. Returns how the pair ended.
pair_result commit_in_order(run_state* run, size_t i, converted_pair* pair)
{
    pair_names names = run->pairs[i];
    std::string base = pair_base_name(*names.mesh, *names.texture);
    std::string key = output_name_key(base);
    std::string obj_name = run->options->output_folder + base + ".obj";
    auto earlier = run->written_by.find(key);
    long first_index = -1;
    if (pair->result == pair_done)
        first_index = earlier != run->written_by.end() ? long(earlier->second) : pair_behind(run, obj_name);
    if (first_index >= 0) {
        pair_names first = run->pairs[size_t(first_index)];
        log_error(&pair->log, (base + ".obj").c_str(),
                  "already written for %s and %s in this run; not replaced with %s and %s",
                  name_for_stderr(first.mesh->c_str()).c_str(), name_for_stderr(first.texture->c_str()).c_str(),
                  name_for_stderr(names.mesh->c_str()).c_str(), name_for_stderr(names.texture->c_str()).c_str());
        pair->result = pair_failed;
    }
    pair_result result = commit_pair(pair);
    if (run->options->preview)
        run->index.push_back(index_entry_of(*run->options, names, *pair, result));
    if (result == pair_done) {
        run->written_by.emplace(key, i);
        for (const pair_output& out : pair->outputs)
            if (out.name == obj_name)
                run->written_files.emplace(std::make_pair(out.file.id.device, out.file.id.number), i);
    }
    run->ended++;
    run->failed += result != pair_done;
    return result;
}

// The run's status so far, after a pair ended with result.
int add_result(int status, pair_result result)
{
    if (result == pair_stop_run)
        return status_png_failed;
    return result == pair_failed ? status_failed : status;
}

// Converts and puts in place pairs first to the last, one after another. Returns the run status,
// given the status so far.
int run_in_order(run_state* run, size_t first, int status)
{
    worker_buffers work;
    for (size_t i = first; i < run->pairs.size() && status != status_png_failed; i++) {
        converted_pair pair;
        convert_pair(run->pairs[i], run, &pair, &work);
        status = add_result(status, commit_in_order(run, i, &pair));
    }
    return status;
}

// Pairs are converted by several workers but put in place and printed strictly in pair order,
// so the run looks exactly as if one pair were converted after another.
struct pair_queue {
    run_state* run;
    std::vector<std::unique_ptr<converted_pair>> done;  // filled by workers, emptied by the committer
    std::vector<char> lost;                             // a worker could not even hold the pair
    size_t next = 0;                                    // the next pair a worker takes
    size_t committed = 0;                               // pairs put in place so far
    size_t window = 0;                                  // how far workers may run ahead
    bool stop = false;
    std::mutex lock;
    std::condition_variable changed;
};

void work_on_queue(pair_queue* q)
{
    worker_buffers work;
    for (;;) {
        size_t index;
        {
            std::unique_lock<std::mutex> hold(q->lock);
            q->changed.wait(
                hold, [q] { return q->stop || q->next >= q->run->pairs.size() || q->next < q->committed + q->window; });
            if (q->stop || q->next >= q->run->pairs.size())
                return;
            index = q->next++;
        }
        // Nothing may leave a worker by exception: a pair it cannot convert for lack of memory is
        // left for the committer to convert in order.
        std::unique_ptr<converted_pair> out;
        try {
            out.reset(new converted_pair);
            convert_pair(q->run->pairs[index], q->run, out.get(), &work);
        } catch (const std::bad_alloc&) {
            if (out)
                discard_pair(out.get());
            out.reset();
        }
        {
            std::lock_guard<std::mutex> hold(q->lock);
            q->lost[index] = !out;
            q->done[index] = std::move(out);
        }
        q->changed.notify_all();
    }
}

void stop_workers(pair_queue* q, std::vector<std::thread>* workers)
{
    {
        std::lock_guard<std::mutex> hold(q->lock);
        q->stop = true;
    }
    q->changed.notify_all();
    for (std::thread& worker : *workers)
        worker.join();
    workers->clear();
    // Pairs converted ahead of where the run stopped leave nothing behind.
    for (std::unique_ptr<converted_pair>& pair : q->done)
        if (pair)
            discard_pair(pair.get());
}

int commit_in_parallel(pair_queue* q, std::vector<std::thread>* workers)
{
    run_state* run = q->run;
    int status = status_done;
    for (size_t i = 0; i < run->pairs.size() && status != status_png_failed; i++) {
        std::unique_ptr<converted_pair> pair;
        bool lost;
        {
            std::unique_lock<std::mutex> hold(q->lock);
            q->changed.wait(hold, [q, i] { return q->done[i] != nullptr || q->lost[i]; });
            pair = std::move(q->done[i]);
            lost = q->lost[i];
        }
        if (lost || pair->log.short_of_resources) {
            // Converting ahead ran short of memory, descriptors or disk space, which the pairs
            // held ahead may have caused: from this pair on, one pair after another, as -j 1.
            if (pair)
                discard_pair(pair.get());
            stop_workers(q, workers);
            return run_in_order(run, i, status);
        }
        status = add_result(status, commit_in_order(run, i, pair.get()));
        {
            std::lock_guard<std::mutex> hold(q->lock);
            q->committed = i + 1;
        }
        q->changed.notify_all();
    }
    stop_workers(q, workers);
    return status;
}

int run_in_parallel(run_state* run, int jobs)
{
    pair_queue q;
    q.run = run;
    q.done.resize(run->pairs.size());
    q.lost.resize(run->pairs.size());
    // Each worker may hold one converted pair waiting for the committer while it converts the next:
    // the committer then never waits for a pair that a worker could have finished meanwhile, and
    // what is held ahead stays a few pairs, whatever the folder.
    q.window = size_t(jobs) * 2;
    std::vector<std::thread> workers;
    for (int i = 0; i < jobs; i++) {
        try {
            workers.emplace_back(work_on_queue, &q);
        } catch (const std::exception&) {
            break;  // the system gives no more threads: go on with those there are
        }
    }
    if (workers.empty())
        return run_in_order(run, 0, status_done);
    try {
        return commit_in_parallel(&q, &workers);
    } catch (...) {
        stop_workers(&q, &workers);
        throw;
    }
}

}  // namespace

namespace {

// Lists "." and sorts the names wanted(name) accepts, of those a run may take for inputs, into
// meshes and texture candidates, in listing order. A name the system cannot open as itself is
// refused with its reason, once, and is neither. Returns the number refused, or -1 when "." cannot
// be listed.
template <typename predicate>
long scan_folder(const run_options* options, console_log* log, predicate wanted, std::vector<std::string>* meshes,
                 std::vector<std::string>* textures)
{
    long refused = 0;
    std::vector<std::string> names;
    if (list_directory(&names) != 0)
        return -1;
    // The run's own output folder is never an input, nor are "." and "..", which are no entries of
    // the user's.
    file_identity output_folder = {};
    bool output_folder_known =
        !options->pair.output_folder.empty() && path_identity(options->pair.output_folder.c_str(), &output_folder) == 0;
    for (const std::string& name : names) {
        if (!wanted(name) || has_output_extension(name.c_str()) || is_temporary_name(name.c_str()) || name == "." ||
            name == "..")
            continue;
        file_identity id;
        if (output_folder_known && path_identity(name.c_str(), &id) == 0 && id.device == output_folder.device &&
            id.number == output_folder.number)
            continue;
        if (int reason = name_refused(name.c_str())) {
            log_error(log, name.c_str(), "%s", error_text(reason).c_str());
            flush_log(log);
            refused++;
            continue;
        }
        byte_source source;
        bool is_mesh = false;
        if (open_run_input(name.c_str(), log, &source) == 0) {
            is_mesh = check_mesh(&source) == 0;
            close_input(source.fd);
        }
        (is_mesh ? meshes : textures)->push_back(name);
        flush_log(log);
    }
    return refused;
}

// A run that refused a name failed, whatever its pairs did.
int with_refusals(int status, long refused)
{
    return refused > 0 && status == status_done ? status_failed : status;
}

// Writes the run's index page, index.html in the output folder, like every output. Returns 0, or
// -1 after a message.
int write_index_page(const run_state* run)
{
    std::string name = run->options->output_folder + "index.html";
    std::string page = index_page(run->index);
    int error;
    if (write_whole_output(name.c_str(), page.data(), page.size(), &error) != 0) {
        print_error(name.c_str(), error_text(error));
        return -1;
    }
    return 0;
}

// Converts the run's pairs and returns the run's status.
int run_pairs(run_state* run, size_t pairs_per_mesh, const run_options* options)
{
    pair_options pair = options->pair;
    pair.pairs_per_mesh = pairs_per_mesh;
    run->options = &pair;
    size_t jobs = std::min(size_t(options->jobs), run->pairs.size());
    int status = jobs <= 1 ? run_in_order(run, 0, status_done) : run_in_parallel(run, int(jobs));
    if (pair.preview && write_index_page(run) != 0 && status == status_done)
        status = status_failed;
    // Quiet, the run still ends with one line when something failed; pairs after a stop count too.
    size_t failed = run->failed + (run->pairs.size() - run->ended);
    if (options->pair.quiet && failed > 0)
        fprintf(stderr, "mapconv: %zu of %zu pairs failed\n", failed, run->pairs.size());
    return status;
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

}  // namespace

int walkdir(const char* prefix, const run_options* options)
{
    std::vector<std::string> meshes, textures;
    console_log log;
    log.quiet = options->pair.quiet;
    std::string start = prefix;
    auto wanted = [&](const std::string& name) { return begins_with(name, start); };
    long refused = scan_folder(options, &log, wanted, &meshes, &textures);
    if (refused < 0)
        return status_failed;
    log_out(&log, "%i meshes found\n", int(meshes.size()));
    log_out(&log, "%i possible textures\n", int(textures.size()));
    // Nothing to convert is not a failure, but a typing mistake is the likelier cause: say so.
    if (meshes.empty())
        log_error(&log, prefix, "no map mesh's name begins with this prefix");
    else if (textures.empty())
        log_error(&log, prefix, "no texture sheet candidate's name begins with this prefix, so no mesh has one");
    flush_log(&log);

    run_state run;
    run.pairs.reserve(meshes.size() * textures.size());
    for (const std::string& mesh : meshes)
        for (const std::string& texture : textures)
            run.pairs.push_back(pair_names{&mesh, &texture});
    return with_refusals(run_pairs(&run, textures.size(), options), refused);
}

int convert_dropped(const std::vector<std::string>& dropped, const run_options* options)
{
    std::vector<std::string> stems;
    for (const std::string& name : dropped)
        stems.push_back(stem(name));
    auto wanted = [&](const std::string& name) {
        for (size_t i = 0; i < dropped.size(); i++)
            if (name == dropped[i] || begins_with(name, stems[i]))
                return true;
        return false;
    };
    std::vector<std::string> meshes, textures;
    console_log log;
    log.quiet = options->pair.quiet;
    long refused = scan_folder(options, &log, wanted, &meshes, &textures);
    if (refused < 0)
        return status_failed;

    // A dropped mesh pairs with every candidate that begins with its stem, a dropped sheet with
    // every mesh that does; each pair once, mesh by mesh.
    std::vector<std::vector<char>> paired(meshes.size(), std::vector<char>(textures.size(), 0));
    std::vector<size_t> lonely;  // dropped files that pair with nothing
    for (size_t d = 0; d < dropped.size(); d++) {
        auto mesh = std::find(meshes.begin(), meshes.end(), dropped[d]);
        auto texture = std::find(textures.begin(), textures.end(), dropped[d]);
        bool any = false;
        for (size_t m = 0; m < meshes.size(); m++) {
            for (size_t t = 0; t < textures.size(); t++) {
                bool pair = (mesh != meshes.end() && size_t(mesh - meshes.begin()) == m &&
                             begins_with(textures[t], stems[d])) ||
                            (texture != textures.end() && size_t(texture - textures.begin()) == t &&
                             begins_with(meshes[m], stems[d]));
                paired[m][t] |= char(pair);
                any = any || pair;
            }
        }
        if (!any)
            lonely.push_back(d);
    }
    run_state run;
    std::vector<char> mesh_used(meshes.size(), 0), texture_used(textures.size(), 0);
    size_t most_per_mesh = 0;
    for (size_t m = 0; m < meshes.size(); m++) {
        size_t per_mesh = 0;
        for (size_t t = 0; t < textures.size(); t++) {
            if (!paired[m][t])
                continue;
            run.pairs.push_back(pair_names{&meshes[m], &textures[t]});
            mesh_used[m] = texture_used[t] = 1;
            per_mesh++;
        }
        most_per_mesh = std::max(most_per_mesh, per_mesh);
    }
    log_out(&log, "%i meshes found\n", int(std::count(mesh_used.begin(), mesh_used.end(), 1)));
    log_out(&log, "%i possible textures\n", int(std::count(texture_used.begin(), texture_used.end(), 1)));
    for (size_t d : lonely) {
        bool is_mesh = std::find(meshes.begin(), meshes.end(), dropped[d]) != meshes.end();
        log_error(&log, dropped[d].c_str(), "no %s's name begins with \"%s\", so it pairs with nothing",
                  is_mesh ? "texture sheet candidate" : "map mesh", name_for_stderr(stems[d].c_str()).c_str());
    }
    flush_log(&log);
    return with_refusals(run_pairs(&run, most_per_mesh, options), refused);
}
