#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "convert.h"

namespace {

struct pair_names {
    const std::string* mesh;
    const std::string* texture;
};

// Converts one pair; a pair that runs out of memory fails alone.
void convert_pair(pair_names names, const run_options* options, pair_outputs* out, worker_buffers* work)
{
    log_out(&out->log, "%s > %s\n", names.mesh->c_str(), names.texture->c_str());
    try {
        convert(names.mesh->c_str(), names.texture->c_str(), options, out, work);
    } catch (const std::bad_alloc&) {
        discard_pair(out);
        log_error(&out->log, names.mesh->c_str(), "out of memory");
        out->result = -1;
    }
}

// Pairs are converted by several workers but put in place and printed strictly in pair order,
// so the run looks exactly as if one pair were converted after another.
struct pair_queue {
    std::vector<pair_names> pairs;
    const run_options* options;
    std::vector<std::unique_ptr<pair_outputs>> done;  // filled by workers, emptied by the committer
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
            q->changed.wait(hold, [q] { return q->stop || q->next >= q->pairs.size() || q->next < q->committed + q->window; });
            if (q->stop || q->next >= q->pairs.size())
                return;
            index = q->next++;
        }
        std::unique_ptr<pair_outputs> out(new pair_outputs);
        convert_pair(q->pairs[index], q->options, out.get(), &work);
        {
            std::lock_guard<std::mutex> hold(q->lock);
            q->done[index] = std::move(out);
        }
        q->changed.notify_all();
    }
}

int run_in_order(const std::vector<pair_names>& pairs, const run_options* options)
{
    worker_buffers work;
    int status = status_done;
    for (pair_names names : pairs) {
        pair_outputs out;
        convert_pair(names, options, &out, &work);
        int result = commit_pair(&out);
        if (result == status_png_failed)
            return status_png_failed;
        if (result != 0)
            status = status_failed;
    }
    return status;
}

int run_in_parallel(const std::vector<pair_names>& pairs, const run_options* options, int jobs)
{
    pair_queue q;
    q.pairs = pairs;
    q.options = options;
    q.done.resize(pairs.size());
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
        return run_in_order(pairs, options);

    int status = status_done;
    for (size_t i = 0; i < pairs.size(); i++) {
        std::unique_ptr<pair_outputs> out;
        {
            std::unique_lock<std::mutex> hold(q.lock);
            q.changed.wait(hold, [&q, i] { return q.done[i] != nullptr; });
            out = std::move(q.done[i]);
        }
        int result = commit_pair(out.get());
        {
            std::lock_guard<std::mutex> hold(q.lock);
            q.committed = i + 1;
            if (result == status_png_failed)
                q.stop = true;
        }
        q.changed.notify_all();
        if (result == status_png_failed) {
            status = status_png_failed;
            break;
        }
        if (result != 0)
            status = status_failed;
    }
    for (std::thread& worker : workers)
        worker.join();
    // After a PNG failure, pairs converted ahead of it leave nothing behind.
    for (std::unique_ptr<pair_outputs>& out : q.done)
        if (out)
            discard_pair(out.get());
    return status;
}

}  // namespace

int run_pairs(const std::vector<std::string>& meshes, const std::vector<std::string>& textures,
              const run_options* options)
{
    std::vector<pair_names> pairs;
    pairs.reserve(meshes.size() * textures.size());
    for (const std::string& mesh : meshes)
        for (const std::string& texture : textures)
            pairs.push_back(pair_names{&mesh, &texture});
    run_options pairing = *options;
    // A mesh's OBJ text is kept for its next sheet only when it has one.
    pairing.mesh_repeats = textures.size() > 1;
    int jobs = pairing.jobs;
    if (size_t(jobs) > pairs.size())
        jobs = int(pairs.size());
    if (jobs <= 1)
        return run_in_order(pairs, &pairing);
    return run_in_parallel(pairs, &pairing, jobs);
}
