// The thread services the render workers need, behind one narrow seam: a
// thread that does not run until resumed, a raised priority, pinning to one
// processor, starting, waiting for both, releasing. Each platform file fills
// in the table; tests may put a table of their own in its place.
#pragma once

#include "scene/scene_data.h"

struct WorkerThreadServices {
    // A worker that will run render_faces(index) once resumed and then end
    // with the index as exit code; nullptr when none can be had.
    WorkerHandle (*create_suspended)(int index);
    void (*raise_priority)(WorkerHandle worker);
    void (*pin_to_processor)(WorkerHandle worker, int processor);
    // Starts the worker; false when it could not be started, and then it
    // never runs.
    bool (*resume)(WorkerHandle worker);
    // Returns once every worker in the array has ended; null entries are
    // skipped.
    void (*wait_for_all)(WorkerHandle* workers, int count);
    void (*close)(WorkerHandle worker);
};

// The platform's own services.
extern const WorkerThreadServices platform_worker_threads;
// The services the shading pass uses; platform_worker_threads unless a test
// has put others in place.
extern const WorkerThreadServices* worker_threads;

// --- The fast engine's pool -------------------------------------------------

using PoolThread = void*;
using PoolSignal = void*;

// What a pool of long-lived workers needs: threads started at once and
// pinned to a processor where the machine has it, counting signals to wake
// them and to hear that they are done, and the processors the process may
// run on. Each platform file fills in the table; tests may put a table of
// their own in its place.
struct PoolThreadServices {
    // A thread that runs entry(argument) at once, pinned to `processor`
    // (-1: anywhere; a processor the machine lacks: anywhere too), with the
    // default floating-point control; nullptr when none can be had.
    PoolThread (*start)(void (*entry)(void*), void* argument, int processor);
    // Waits until the thread has returned from its entry, then releases it.
    void (*join)(PoolThread thread);
    // A signal with a count of zero; nullptr when none can be had.
    PoolSignal (*make_signal)();
    // Adds one to the count, waking one waiter.
    void (*raise)(PoolSignal signal);
    // Waits, without spinning, until the count is above zero, then takes one.
    void (*await)(PoolSignal signal);
    void (*free_signal)(PoolSignal signal);
    // Fills `list` with up to `room` processor numbers the process may run
    // on and returns how many it may run on (at least 1).
    int (*usable_processors)(int* list, int room);
};

extern const PoolThreadServices platform_pool_threads;
