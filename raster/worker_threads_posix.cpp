// The render workers' threads on POSIX systems. A pthread cannot be created
// suspended, so a worker is a record that gathers its priority and processor
// until it is resumed, and the thread is created then, already pinned.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cstdint>

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

bool start_thread(PosixWorker* worker, bool pinned) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
#ifdef __linux__
    if (pinned) {
        cpu_set_t processors;
        CPU_ZERO(&processors);
        CPU_SET(worker->processor, &processors);
        pthread_attr_setaffinity_np(&attributes, sizeof processors, &processors);
    }
#else
    (void)pinned;
#endif
    const bool started = pthread_create(&worker->thread, &attributes, render_worker, worker) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

bool resume(WorkerHandle handle) {
    auto* worker = static_cast<PosixWorker*>(handle);
    // Pinning to a processor the machine does not have makes the creation
    // fail: the worker then runs wherever the scheduler puts it.
    if (worker->processor >= 0 && start_thread(worker, true)) return true;
    return start_thread(worker, false);
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
