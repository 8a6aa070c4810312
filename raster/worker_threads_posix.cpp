// The render workers' threads on POSIX systems. A pthread cannot be created
// suspended, so a worker is a record that gathers its priority and processor
// until it is resumed, and the thread is created then, already pinned.
#include <cstdint>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

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

void pin_to_processor(WorkerHandle handle, int processor) {
    static_cast<PosixWorker*>(handle)->processor = processor;
}

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

// --- The pool's threads and signals -------------------------------------------

namespace {

struct PoolThreadRecord {
    void (*entry)(void*);
    void* argument;
    pthread_t thread;
};

void* pool_thread_main(void* record) {
    auto* r = static_cast<PoolThreadRecord*>(record);
    use_default_float_control();
    r->entry(r->argument);
    return nullptr;
}

bool create_pool_thread(PoolThreadRecord* record, int processor) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
#ifdef __linux__
    if (processor >= 0) {
        cpu_set_t processors;
        CPU_ZERO(&processors);
        CPU_SET(processor, &processors);
        pthread_attr_setaffinity_np(&attributes, sizeof processors, &processors);
    }
#else
    (void)processor;
#endif
    const bool started = pthread_create(&record->thread, &attributes, pool_thread_main, record) == 0;
    pthread_attr_destroy(&attributes);
#ifdef __linux__
    // Named, so that a debugger or top tells the render workers apart.
    if (started) pthread_setname_np(record->thread, "ombrastel-pool");
#endif
    return started;
}

PoolThread start_pool_thread(void (*entry)(void*), void* argument, int processor) {
    auto* record = new (std::nothrow) PoolThreadRecord{entry, argument, {}};
    if (!record) return nullptr;
    // The pool's threads outlive every frame, so a signal sent to the whole
    // process (Ctrl-C, a termination request) could be handled on one of
    // them while the program's own thread goes on. They are started with
    // those signals blocked, and so never take them.
    sigset_t process_signals, before;
    sigemptyset(&process_signals);
    for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGWINCH})
        sigaddset(&process_signals, signal_number);
    pthread_sigmask(SIG_BLOCK, &process_signals, &before);
    // Pinning to a processor the machine does not have makes the creation
    // fail: the thread then runs wherever the scheduler puts it.
    const bool started = (processor >= 0 && processor < CPU_SETSIZE && create_pool_thread(record, processor)) ||
                         create_pool_thread(record, -1);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started) return record;
    delete record;
    return nullptr;
}

void join_pool_thread(PoolThread thread) {
    auto* record = static_cast<PoolThreadRecord*>(thread);
    pthread_join(record->thread, nullptr);
    delete record;
}

struct CountingSignal {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    unsigned count;
};

PoolSignal make_signal() {
    auto* signal = new (std::nothrow) CountingSignal{};
    if (!signal) return nullptr;
    if (pthread_mutex_init(&signal->lock, nullptr) != 0) {
        delete signal;
        return nullptr;
    }
    if (pthread_cond_init(&signal->changed, nullptr) != 0) {
        pthread_mutex_destroy(&signal->lock);
        delete signal;
        return nullptr;
    }
    return signal;
}

void raise_signal(PoolSignal handle) {
    auto* signal = static_cast<CountingSignal*>(handle);
    pthread_mutex_lock(&signal->lock);
    ++signal->count;
    pthread_cond_signal(&signal->changed);
    pthread_mutex_unlock(&signal->lock);
}

void await_signal(PoolSignal handle) {
    auto* signal = static_cast<CountingSignal*>(handle);
    pthread_mutex_lock(&signal->lock);
    while (signal->count == 0) pthread_cond_wait(&signal->changed, &signal->lock);
    --signal->count;
    pthread_mutex_unlock(&signal->lock);
}

void free_signal(PoolSignal handle) {
    auto* signal = static_cast<CountingSignal*>(handle);
    pthread_cond_destroy(&signal->changed);
    pthread_mutex_destroy(&signal->lock);
    delete signal;
}

int usable_processors(int* list, int room) {
    int count = 0;
#ifdef __linux__
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        for (int p = 0; p < CPU_SETSIZE; ++p) {
            if (!CPU_ISSET(p, &allowed)) continue;
            if (count < room) list[count] = p;
            ++count;
        }
    }
#endif
    if (count == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<int>(online) : 1;
        for (int p = 0; p < count && p < room; ++p) list[p] = p;
    }
    return count;
}

}  // namespace

const PoolThreadServices platform_pool_threads = {
    start_pool_thread, join_pool_thread, make_signal, raise_signal, await_signal, free_signal, usable_processors,
};
