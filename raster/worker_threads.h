// The thread services the render workers need, behind one narrow seam: a
// thread that does not run until resumed, a raised priority, pinning to one
// processor, starting, waiting for both, releasing. Each platform file fills
// in the table; tests may put a table of their own in its place.
#pragma once

// Win32 thread handles, or the POSIX layer's own per-worker records.
using WorkerHandle = void*;

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
