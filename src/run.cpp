#include "run.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

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
           memcmp(last, "png", 3) == 0 || memcmp(last, "glb", 3) == 0;
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
};

// Converts one pair; a pair that runs out of memory fails alone.
void convert_pair(pair_names names, run_state* run, converted_pair* pair, worker_buffers* work)
{
    log_out(&pair->log, "%s > %s\n", names.mesh->c_str(), names.texture->c_str());
    try {
        convert(names.mesh->c_str(), names.texture->c_str(), run->options, &run->sheets, work, pair);
    } catch (const std::bad_alloc&) {
        discard_pair(pair);
        log_error(&pair->log, names.mesh->c_str(), "out of memory");
        pair->result = pair_failed;
    }
}

// The run's status so far, after a pair ended with result.
int add_result(int status, pair_result result)
{
    if (result == pair_stop_run)
        return status_png_failed;
    return result == pair_failed ? status_failed : status;
}

// Pairs are converted by several workers but put in place and printed strictly in pair order,
// so the run looks exactly as if one pair were converted after another.
struct pair_queue {
    run_state* run;
    std::vector<std::unique_ptr<converted_pair>> done;  // filled by workers, emptied by the committer
    size_t next = 0;                                   // the next pair a worker takes
    size_t committed = 0;                              // pairs put in place so far
    size_t window = 0;                                 // how far workers may run ahead
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
            q->changed.wait(hold, [q] {
                return q->stop || q->next >= q->run->pairs.size() || q->next < q->committed + q->window;
            });
            if (q->stop || q->next >= q->run->pairs.size())
                return;
            index = q->next++;
        }
        std::unique_ptr<converted_pair> out(new converted_pair);
        convert_pair(q->run->pairs[index], q->run, out.get(), &work);
        {
            std::lock_guard<std::mutex> hold(q->lock);
            q->done[index] = std::move(out);
        }
        q->changed.notify_all();
    }
}

int run_in_order(run_state* run)
{
    worker_buffers work;
    int status = status_done;
    for (pair_names names : run->pairs) {
        converted_pair pair;
        convert_pair(names, run, &pair, &work);
        status = add_result(status, commit_pair(&pair));
        if (status == status_png_failed)
            break;
    }
    return status;
}

int run_in_parallel(run_state* run, int jobs)
{
    pair_queue q;
    q.run = run;
    q.done.resize(run->pairs.size());
    q.window = size_t(jobs) * 2;
    std::vector<std::thread> workers;
    for (int i = 0; i < jobs; i++) {
        try {
            workers.emplace_back(work_on_queue, &q);
        } catch (const std::system_error&) {
            break;  // the system gives no more threads: go on with those there are
        }
    }
    if (workers.empty())
        return run_in_order(run);

    int status = status_done;
    for (size_t i = 0; i < run->pairs.size() && status != status_png_failed; i++) {
        std::unique_ptr<converted_pair> pair;
        {
            std::unique_lock<std::mutex> hold(q.lock);
            q.changed.wait(hold, [&q, i] { return q.done[i] != nullptr; });
            pair = std::move(q.done[i]);
        }
        status = add_result(status, commit_pair(pair.get()));
        {
            std::lock_guard<std::mutex> hold(q.lock);
            q.committed = i + 1;
            q.stop = status == status_png_failed;
        }
        q.changed.notify_all();
    }
    for (std::thread& worker : workers)
        worker.join();
    // After a PNG failure, pairs converted ahead of it leave nothing behind.
    for (std::unique_ptr<converted_pair>& pair : q.done)
        if (pair)
            discard_pair(pair.get());
    return status;
}

}  // namespace

int walkdir(const char* prefix, const run_options* options)
{
    std::vector<std::string> names;
    if (list_directory(&names) != 0)
        return status_failed;

    size_t prefix_length = strlen(prefix);
    std::vector<std::string> meshes, textures;
    console_log log;
    for (const std::string& name : names) {
        if (strncmp(name.c_str(), prefix, prefix_length) != 0 || has_output_extension(name.c_str()))
            continue;
        if (check_mesh(name.c_str(), &log) == 0)
            meshes.push_back(name);
        else
            textures.push_back(name);
        flush_log(&log);
    }
    log_out(&log, "%i meshes found\n", int(meshes.size()));
    log_out(&log, "%i possible textures\n", int(textures.size()));
    flush_log(&log);

    run_state run;
    run.options = &options->pair;
    run.pairs.reserve(meshes.size() * textures.size());
    for (const std::string& mesh : meshes)
        for (const std::string& texture : textures)
            run.pairs.push_back(pair_names{&mesh, &texture});
    size_t jobs = std::min(size_t(options->jobs), run.pairs.size());
    if (jobs <= 1)
        return run_in_order(&run);
    return run_in_parallel(&run, int(jobs));
}
