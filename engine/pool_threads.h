// The thread services the fast engine's pool needs, behind one narrow seam:
// threads started at once and pinned to a processor where the machine has
// it, counting signals to wake them and to hear that they are done, the
// processors the process may run on, and a steady clock to time the watches
// with. Each platform file fills in the table; tests may put a table of their
// own in its place.
#pragma once

#include <chrono>
#include <cstdint>

using PoolThread = void*;
using PoolSignal = void*;

struct PoolThreadServices {
    // A thread that runs entry(argument) at once, pinned to `processor`
    // (-1: anywhere; a processor the machine lacks: anywhere too), with the
    // default floating-point control and every signal the process can be
    // sent blocked; nullptr when none can be had.
    PoolThread (*start)(void (*entry)(void*), void* argument, int processor);
    // Waits until the thread has returned from its entry, then releases it.
    void (*join)(PoolThread thread);
    // A signal with a count of zero; nullptr when none can be had.
    PoolSignal (*make_signal)();
    // Adds one to the count, waking one waiter. Everything the raising
    // thread wrote before is seen by the thread whose await takes it.
    void (*raise)(PoolSignal signal);
    // Waits, without spinning, until the count is above zero, then takes one.
    void (*await)(PoolSignal signal);
    void (*free_signal)(PoolSignal signal);
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
