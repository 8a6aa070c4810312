// The fast engine's pool threads and signals on POSIX systems.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>
#include <new>

#include "engine/pool_threads.h"
#include "raster/shading.h"

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
    // process (Ctrl-C, a termination request, a stop, a profiling tick, a
    // real-time signal) could be handled on one of them while the program's
    // own thread goes on. They start with every signal blocked and so never
    // take one, but for the faults a thread raises on itself (a bad access,
    // a bad instruction, a trap): blocked, those would end the process
    // without the handler that reports them.
    sigset_t process_signals, before;
    sigfillset(&process_signals);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&process_signals, fault);
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
    start_pool_thread, join_pool_thread, make_signal,       raise_signal,
    await_signal,      free_signal,      usable_processors, steady_microseconds,
};
