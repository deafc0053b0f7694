#include "beside.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

namespace {

void run_body(void* argument)
{
    work_beside* work = static_cast<work_beside*>(argument);
    try {
        work->body(work->argument);
    } catch (const std::bad_alloc&) {
        work->out_of_memory = true;
    }
    work->done = true;
}

struct shared_work {
    void (*take)(void*, size_t, int);
    void* argument;
    size_t items;
    std::atomic<size_t> next;
};

struct share_of_work {
    shared_work* work;
    int worker;
};

void take_items(void* argument)
{
    const share_of_work* share = static_cast<const share_of_work*>(argument);
    shared_work* work = share->work;
    for (size_t item = work->next++; item < work->items; item = work->next++)
        work->take(work->argument, item, share->worker);
}

}  // namespace

work_beside::~work_beside()
{
    if (started)
        join_worker(&thread);
}

void start_beside(void (*body)(void*), void* argument, bool asked, work_beside* work)
{
    work->body = body;
    work->argument = argument;
    if (!asked)
        return;
    work->started = start_worker(run_body, work, &work->thread) == 0;
    if (!work->started)
        run_body(work);
}

void finish_beside(work_beside* work)
{
    if (work->started) {
        join_worker(&work->thread);
        work->started = false;
    }
    if (!work->done)
        run_body(work);
    if (work->out_of_memory)
        throw std::bad_alloc();
}

void share_work(void (*take)(void* argument, size_t item, int worker), void* argument, size_t items, int threads)
{
    shared_work work = {take, argument, items, {0}};
    int workers = int(std::max<size_t>(1, std::min(size_t(std::max(1, threads)), items)));
    std::unique_ptr<share_of_work[]> shares(new share_of_work[size_t(workers)]);
    // Declared after what they read: should the caller's share throw, they are joined first.
    std::unique_ptr<work_beside[]> beside(new work_beside[size_t(workers)]);
    for (int i = 0; i < workers; i++)
        shares[i] = {&work, i};
    for (int i = 1; i < workers; i++)
        start_beside(take_items, &shares[i], true, &beside[i]);
    take_items(&shares[0]);
    for (int i = 1; i < workers; i++)
        finish_beside(&beside[i]);
}
