#include "beside.h"

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
