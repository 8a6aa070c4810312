// The thread services the fast engine's pool needs, behind one narrow seam:
// threads started at once and pinned to a processor where the machine has
// it, counting semaphores to wake them and to hear that they are done, the
// processors the process may run on, and a steady clock to time the spins
// with. Each platform file fills in the table; tests may put a table of
// their own in its place.
#pragma once

#include <chrono>
#include <cstdint>

using PoolThread = void*;
using PoolSemaphore = void*;

struct PoolThreadServices {
    // A thread that runs entry(argument) at once, pinned to `processor`
    // (-1: anywhere; a processor the machine lacks: anywhere too), with the
    // default floating-point control; nullptr when none can be had. On POSIX
    // systems it takes none of the signals sent to the process, which go to
    // the program's own threads: it blocks all of them but the faults a
    // thread raises on itself (a bad access, a bad instruction, a trap), so
    // that those still reach their handler.
    PoolThread (*start)(void (*entry)(void*), void* argument, int processor);
    // Waits until the thread has returned from its entry, then releases it.
    void (*join)(PoolThread thread);
    // A semaphore with a count of zero; nullptr when none can be had.
    PoolSemaphore (*make_semaphore)();
    // Adds one to the count, waking one waiter. Everything the posting
    // thread wrote before is seen by the thread whose wait takes it.
    void (*post)(PoolSemaphore semaphore);
    // Waits, without spinning, until the count is above zero, then takes one.
    void (*wait)(PoolSemaphore semaphore);
    void (*free_semaphore)(PoolSemaphore semaphore);
    // Fills `list` with up to `room` processor numbers the process may run
    // on and returns how many it may run on (at least 1).
    int (*usable_processors)(int* list, int room);
    // Microseconds of a clock that never goes back, from any thread.
    std::int64_t (*microseconds)();
};

extern const PoolThreadServices platform_pool_threads;

// The clock of every platform's table: the steady clock, in microseconds.
inline std::int64_t steady_microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
