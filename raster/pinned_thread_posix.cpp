#include "raster/pinned_thread_posix.h"

#include <sched.h>

namespace {

bool start_thread(pthread_t* thread, void* (*entry)(void*), void* argument, [[maybe_unused]] int processor) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
#ifdef __linux__
    if (processor >= 0) {
        cpu_set_t processors;
        CPU_ZERO(&processors);
        CPU_SET(processor, &processors);
        pthread_attr_setaffinity_np(&attributes, sizeof processors, &processors);
    }
#endif
    const bool started = pthread_create(thread, &attributes, entry, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace

bool start_pinned_thread(pthread_t* thread, void* (*entry)(void*), void* argument, [[maybe_unused]] int processor) {
#ifdef __linux__
    // Pinning to a processor the machine does not have makes the creation
    // fail: then the thread starts unpinned.
    if (processor >= 0 && processor < CPU_SETSIZE && start_thread(thread, entry, argument, processor)) return true;
#endif
    return start_thread(thread, entry, argument, -1);
}
