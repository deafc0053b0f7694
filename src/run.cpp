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

#include "exit_status.h"
#include "preview/index_page.h"

namespace {

// A pair that put its outputs in place: its mesh and its sheet, for a message.
struct pair_made {
    std::string mesh, texture;
};

// What every pair of the run shares: across the folders of dropped files too.
struct run_state {
    const pair_list* list;  // of the folder being converted
    const pair_options* options;
    std::string folder;  // the folder being converted, absolute, where a run has several; else ""
    sheet_cache sheets;
    // The outputs put in place: by the folder and MESH_TEXTURE of each OBJ and MTL (their key), and
    // by each OBJ's identity (a case-blind folder gives two names one file).
    std::map<std::string, pair_made> written_by;
    std::map<std::pair<uint64_t, uint64_t>, pair_made> written_files;
    std::vector<index_entry> index;           // with --preview, what the run's index page shows of each pair
    size_t pairs = 0, ended = 0, failed = 0;  // pairs of the run, those that ended, and of them failed
};

const std::string& mesh_of(const run_state* run, size_t i)
{
    return run->list->meshes[run->list->pairs[i].mesh];
}

const std::string& texture_of(const run_state* run, size_t i)
{
    return run->list->textures[run->list->pairs[i].texture];
}

// Converts pair i; a pair that runs out of memory fails alone.
void convert_pair(size_t i, run_state* run, converted_pair* pair, worker_buffers* work)
{
    const char* mesh = mesh_of(run, i).c_str();
    const char* texture = texture_of(run, i).c_str();
    pair->log.quiet = run->options->quiet;
    try {
        log_out(&pair->log, "%s > %s\n", name_for_stdout(mesh).c_str(), name_for_stdout(texture).c_str());
        convert(mesh, texture, run->options, &run->sheets, work, pair);
    } catch (const std::bad_alloc&) {
        discard_pair(pair);
        pair->log.short_of_resources = 1;
        pair->result = pair_failed;
        log_error(&pair->log, mesh, "out of memory");
    }
}

// The pair that put the OBJ now bearing obj_name in place, by the file's identity: a case-blind
// folder gives two names one file. Returns it, or null.
const pair_made* pair_behind(const run_state* run, const std::string& obj_name)
{
    file_identity there;
    if (run->written_files.empty() || name_identity(obj_name.c_str(), &there) != 0)
        return nullptr;
    auto found = run->written_files.find({there.device, there.number});
    return found == run->written_files.end() ? nullptr : &found->second;
}

// What the index page says of a pair that ended with result.
index_entry index_entry_of(const pair_options& options, const std::string& mesh, const std::string& sheet,
                           const converted_pair& pair, pair_result result)
{
    index_entry e;
    e.mesh = mesh;
    e.sheet = sheet;
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
    const std::string& mesh = mesh_of(run, i);
    const std::string& texture = texture_of(run, i);
    std::string base = pair_base_name(mesh, texture);
    const std::string& output_folder = run->options->output_folder;
    std::string key = (output_folder.empty() ? run->folder : output_folder) + '/' + output_name_key(base);
    std::string obj_name = output_folder + base + ".obj";
    auto earlier = run->written_by.find(key);
    const pair_made* first = nullptr;
    if (pair->result == pair_done)
        first = earlier != run->written_by.end() ? &earlier->second : pair_behind(run, obj_name);
    if (first) {
        log_error(&pair->log, (base + ".obj").c_str(),
                  "already written for %s and %s in this run; not replaced with %s and %s",
                  name_for_stderr(first->mesh.c_str()).c_str(), name_for_stderr(first->texture.c_str()).c_str(),
                  name_for_stderr(mesh.c_str()).c_str(), name_for_stderr(texture.c_str()).c_str());
        pair->result = pair_failed;
    }
    pair_result result = commit_pair(pair);
    if (run->options->preview)
        run->index.push_back(index_entry_of(*run->options, mesh, texture, *pair, result));
    if (result == pair_done) {
        run->written_by.emplace(key, pair_made{mesh, texture});
        for (const pair_output& out : pair->outputs)
            if (out.name == obj_name)
                run->written_files.emplace(std::make_pair(out.file.id.device, out.file.id.number),
                                           pair_made{mesh, texture});
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
    for (size_t i = first; i < run->list->pairs.size() && status != status_png_failed; i++) {
        converted_pair pair;
        convert_pair(i, run, &pair, &work);
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

void work_on_queue(void* queue)
{
    pair_queue* q = static_cast<pair_queue*>(queue);
    worker_buffers work;
    for (;;) {
        size_t index;
        {
            std::unique_lock<std::mutex> hold(q->lock);
            q->changed.wait(hold, [q] {
                return q->stop || q->next >= q->run->list->pairs.size() || q->next < q->committed + q->window;
            });
            if (q->stop || q->next >= q->run->list->pairs.size())
                return;
            index = q->next++;
        }
        // Nothing may leave a worker by exception: a pair it cannot convert for lack of memory is
        // left for the committer to convert in order.
        std::unique_ptr<converted_pair> out;
        try {
            out.reset(new converted_pair);
            convert_pair(index, q->run, out.get(), &work);
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

void stop_workers(pair_queue* q, std::vector<worker_thread>* workers)
{
    {
        std::lock_guard<std::mutex> hold(q->lock);
        q->stop = true;
    }
    q->changed.notify_all();
    for (worker_thread& worker : *workers)
        join_worker(&worker);
    workers->clear();
    // Pairs converted ahead of where the run stopped leave nothing behind.
    for (std::unique_ptr<converted_pair>& pair : q->done)
        if (pair)
            discard_pair(pair.get());
}

int commit_in_parallel(pair_queue* q, std::vector<worker_thread>* workers)
{
    run_state* run = q->run;
    int status = status_done;
    for (size_t i = 0; i < run->list->pairs.size() && status != status_png_failed; i++) {
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
    q.done.resize(run->list->pairs.size());
    q.lost.resize(run->list->pairs.size());
    // Each worker may hold one converted pair waiting for the committer while it converts the next:
    // the committer then never waits for a pair that a worker could have finished meanwhile, and
    // what is held ahead stays a few pairs, whatever the folder.
    q.window = size_t(jobs) * 2;
    std::vector<worker_thread> workers;
    workers.reserve(size_t(jobs));
    for (int i = 0; i < jobs; i++) {
        worker_thread worker;
        if (start_worker(work_on_queue, &q, &worker) != 0)
            break;  // the system gives no more threads: go on with those there are
        workers.push_back(worker);
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

// A run that refused a name failed, whatever its pairs did.
int with_refusals(int status, long refused)
{
    return refused > 0 && status == status_done ? status_failed : status;
}

// The page an earlier run left in the output folder, or "" where there is none to read.
std::string earlier_page(const std::string& name)
{
    constexpr long long largest_page = 64ll << 20;  // a page of many thousand pairs
    int fd, error;
    std::string reason, page;
    if (open_input(name.c_str(), &fd, &reason, &error) != 0)
        return page;
    byte_source source = file_source(fd);
    long long size = source_size(&source);
    if (size > 0 && size <= largest_page) {
        page.resize(size_t(size));
        long got = read_source(&source, 0, &page[0], page.size());
        page.resize(got < 0 ? 0 : size_t(got));
    }
    close_input(fd);
    return page;
}

// Writes the index page, index.html in the output folder, like every output: the run's pairs and
// those of the page an earlier run left there whose files are still in the folder. Returns 0, or
// -1 after a message.
int write_index_page(const run_state* run)
{
    const std::string& folder = run->options->output_folder;
    std::string name = folder + "index.html";
    auto exists = [&](const std::string& file) {
        file_identity id;
        return name_identity((folder + file).c_str(), &id) == 0;
    };
    std::string page = index_page(merged_entries(read_index_entries(earlier_page(name)), run->index, exists));
    int error;
    if (write_whole_output(name.c_str(), page.data(), page.size(), &error) != 0) {
        print_error(name.c_str(), error_text(error));
        return -1;
    }
    return 0;
}

}  // namespace

namespace {

// Converts the list's pairs, the folder being converted the current one. Returns the status.
int convert_list(run_state* run, const pair_list& list, const run_options* options, pair_options* pair)
{
    run->list = &list;
    *pair = options->pair;
    pair->pairs_per_mesh = list.pairs_per_mesh;
    run->options = pair;
    run->pairs += list.pairs.size();
    size_t jobs = std::min(size_t(options->jobs), list.pairs.size());
    // The idle processors shared among the pairs at work, at least one each where any is idle.
    size_t processors = size_t(processor_count());
    pair->spare_cores =
        jobs < processors ? int(std::max<size_t>(1, (processors - jobs) / std::max<size_t>(1, jobs))) : 0;
    int status = jobs <= 1 ? run_in_order(run, 0, status_done) : run_in_parallel(run, int(jobs));
    return with_refusals(status, list.refused);
}

// Ends the run: the quiet run's line when something failed (pairs after a stop count too).
void end_run(const run_state& run, const run_options* options)
{
    size_t failed = run.failed + (run.pairs - run.ended);
    if (options->pair.quiet && failed > 0)
        fprintf(stderr, "mapconv: %zu of %zu pairs failed\n", failed, run.pairs);
}

// The worse of two statuses: a stop beats a failure, which beats success.
int worse(int a, int b)
{
    return a == status_png_failed || b == status_png_failed ? status_png_failed : a != status_done ? a : b;
}

}  // namespace

int run_pairs(const pair_list& list, const run_options* options)
{
    run_state run;
    pair_options pair;
    int status = convert_list(&run, list, options, &pair);
    if (pair.preview && write_index_page(&run) != 0)
        status = worse(status, status_failed);
    end_run(run, options);
    return status;
}

int walkdir(const char* prefix, const char* as_typed, const run_options* options)
{
    pair_list list;
    if (scan_prefix(prefix, as_typed, options->pair.output_folder, options->pair.quiet, &list) != 0)
        return status_failed;
    int status = run_pairs(list, options);
    return list.missing && status == status_done ? status_failed : status;
}

int run_dropped_files(const std::vector<const char*>& paths, const run_options* options)
{
    std::vector<dropped_folder> folders;
    std::string bad_folder;
    int error;
    if (group_dropped(paths, &folders, &bad_folder, &error) != 0) {
        print_error(bad_folder.c_str(), error_text(error));
        return status_failed;
    }
    // One run across the folders: one check of the names the outputs take, and with -o one index
    // page; without it, each folder's page lies beside its outputs.
    run_state run;
    pair_options pair = options->pair;
    int status = status_done;
    for (size_t i = 0; i < folders.size() && status != status_png_failed; i++) {
        pair_list list;
        run.folder = folders[i].folder;
        if (change_folder(folders[i].folder.c_str(), &error) != 0) {
            print_error(folders[i].folder.c_str(), error_text(error));
            status = worse(status, status_failed);
        } else if (scan_dropped(folders[i].names, options->pair.output_folder, options->pair.quiet, &list) != 0) {
            status = worse(status, status_failed);
        } else {
            status = worse(status, convert_list(&run, list, options, &pair));
            if (pair.preview && pair.output_folder.empty()) {
                if (write_index_page(&run) != 0)
                    status = worse(status, status_failed);
                run.index.clear();
            }
        }
    }
    if (pair.preview && !pair.output_folder.empty() && write_index_page(&run) != 0)
        status = worse(status, status_failed);
    end_run(run, options);
    return status;
}
