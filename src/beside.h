// Work done on a thread of its own beside the caller's, for a part of a job that reads nothing the
// caller changes meanwhile: where no thread is to be had, or none was asked for, the caller does
// it. A shortage of memory in it reaches the caller as if the caller had met it.
#pragma once

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
