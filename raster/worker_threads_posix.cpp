// The render workers' threads on POSIX systems. A pthread cannot be created
// suspended, so a worker is a record that gathers its priority and processor
// until it is resumed, and the thread is created then, already pinned.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cstdint>

#include "raster/pinned_thread_posix.h"
#include "raster/shading.h"
#include "raster/worker_threads.h"

namespace {

struct PosixWorker {
    int index;
    pthread_t thread;
    bool raised;
    int processor;  // -1: not pinned
};

PosixWorker workers[2];

void* render_worker(void* record) {
    auto* worker = static_cast<PosixWorker*>(record);
#ifdef __linux__
    // The highest ordinary priority, never a real-time policy: on a machine
    // with two cores a real-time worker could starve the display server.
    // Refused without the privilege; the picture is the same either way.
    if (worker->raised) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -20);
#endif
    render_faces(worker->index);
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(worker->index));
}

WorkerHandle create_suspended(int index) {
    workers[index] = {index, {}, false, -1};
    return &workers[index];
}

void raise_priority(WorkerHandle handle) { static_cast<PosixWorker*>(handle)->raised = true; }

void pin_to_processor(WorkerHandle handle, int processor) { static_cast<PosixWorker*>(handle)->processor = processor; }

bool resume(WorkerHandle handle) {
    auto* worker = static_cast<PosixWorker*>(handle);
    return start_pinned_thread(&worker->thread, render_worker, worker, worker->processor);
}

void wait_for_all(WorkerHandle* handles, int count) {
    for (int i = 0; i < count; ++i)
        if (handles[i]) pthread_join(static_cast<PosixWorker*>(handles[i])->thread, nullptr);
}

void close(WorkerHandle) {}

}  // namespace

const WorkerThreadServices platform_worker_threads = {
    create_suspended, raise_priority, pin_to_processor, resume, wait_for_all, close,
};
