// Work done on a thread of its own beside the caller's, for a part of a job that reads nothing the
// caller changes meanwhile: where no thread is to be had, or none was asked for, the caller does
// it. A shortage of memory in it reaches the caller as if the caller had met it.
#pragma once

#include <cstddef>

#include "platform.h"

struct work_beside {
    void (*body)(void*) = nullptr;
    void* argument = nullptr;
    bool done = false;
    bool started = false;
    bool out_of_memory = false;
    worker_thread thread;
    work_beside() = default;
    work_beside(const work_beside&) = delete;
    work_beside& operator=(const work_beside&) = delete;
    ~work_beside();  // waits: the caller that ends early outlives no thread that reads its work
};

// Starts body(argument): beside, where asked and a thread is to be had; else here, now, where
// asked; else not yet (finish_beside does it).
void start_beside(void (*body)(void*), void* argument, bool asked, work_beside* work);

// Waits for the work, or does it now where it is not done. Throws std::bad_alloc where the work
// ran short of memory.
void finish_beside(work_beside* work);

// Hands out items 0 to items - 1, each once, to as many workers as threads (at most one a item):
// worker 0 is the caller, the others threads beside where they are to be had. take(argument,
// item, worker) does one; a worker takes the next item left when it is done with one, so uneven
// items even out. Returns when every item is done; throws std::bad_alloc where any worker ran
// short of memory (the others finish first).
void share_work(void (*take)(void* argument, size_t item, int worker), void* argument, size_t items, int threads);
