// The fast engine's pool threads and semaphores on POSIX systems.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>
#include <new>

#include "engine/pool_threads.h"
#include "raster/pinned_thread_posix.h"
#include "scene/float_control.h"

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
    const bool started = start_pinned_thread(&record->thread, pool_thread_main, record, processor);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
#ifdef __linux__
    // Named, so that a debugger or top tells the render workers apart.
    if (started) pthread_setname_np(record->thread, "ombrastel-pool");
#endif
    if (started) return record;
    delete record;
    return nullptr;
}

void join_pool_thread(PoolThread thread) {
    auto* record = static_cast<PoolThreadRecord*>(thread);
    pthread_join(record->thread, nullptr);
    delete record;
}

struct CountingSemaphore {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    unsigned count;
};

PoolSemaphore make_semaphore() {
    auto* semaphore = new (std::nothrow) CountingSemaphore{};
    if (!semaphore) return nullptr;
    if (pthread_mutex_init(&semaphore->lock, nullptr) != 0) {
        delete semaphore;
        return nullptr;
    }
    if (pthread_cond_init(&semaphore->changed, nullptr) != 0) {
        pthread_mutex_destroy(&semaphore->lock);
        delete semaphore;
        return nullptr;
    }
    return semaphore;
}

void post_semaphore(PoolSemaphore handle) {
    auto* semaphore = static_cast<CountingSemaphore*>(handle);
    pthread_mutex_lock(&semaphore->lock);
    ++semaphore->count;
    pthread_cond_signal(&semaphore->changed);
    pthread_mutex_unlock(&semaphore->lock);
}

void wait_semaphore(PoolSemaphore handle) {
    auto* semaphore = static_cast<CountingSemaphore*>(handle);
    pthread_mutex_lock(&semaphore->lock);
    while (semaphore->count == 0) pthread_cond_wait(&semaphore->changed, &semaphore->lock);
    --semaphore->count;
    pthread_mutex_unlock(&semaphore->lock);
}

void free_semaphore(PoolSemaphore handle) {
    auto* semaphore = static_cast<CountingSemaphore*>(handle);
    pthread_cond_destroy(&semaphore->changed);
    pthread_mutex_destroy(&semaphore->lock);
    delete semaphore;
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
    start_pool_thread, join_pool_thread, make_semaphore,    post_semaphore,
    wait_semaphore,    free_semaphore,   usable_processors, steady_microseconds,
};
