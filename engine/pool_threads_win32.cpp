// The fast engine's pool threads and signals on Windows.
#include <windows.h>

#include <climits>
#include <new>

#include "engine/pool_threads.h"
#include "raster/shading.h"

namespace {

struct PoolThreadRecord {
    void (*entry)(void*);
    void* argument;
    HANDLE thread;
};

DWORD WINAPI pool_thread_main(LPVOID record) {
    auto* r = static_cast<PoolThreadRecord*>(record);
    use_default_float_control();
    r->entry(r->argument);
    return 0;
}

PoolThread start_pool_thread(void (*entry)(void*), void* argument, int processor) {
    auto* record = new (std::nothrow) PoolThreadRecord{entry, argument, nullptr};
    if (!record) return nullptr;
    record->thread = CreateThread(nullptr, 0, pool_thread_main, record, CREATE_SUSPENDED, nullptr);
    if (!record->thread) {
        delete record;
        return nullptr;
    }
    // Refused on a machine without that processor: the thread then runs
    // wherever the scheduler places it.
    if (processor >= 0 && processor < static_cast<int>(sizeof(DWORD_PTR) * CHAR_BIT))
        SetThreadAffinityMask(record->thread, DWORD_PTR{1} << processor);
    if (ResumeThread(record->thread) == static_cast<DWORD>(-1)) {
        TerminateThread(record->thread, static_cast<DWORD>(-1));
        CloseHandle(record->thread);
        delete record;
        return nullptr;
    }
    return record;
}

void join_pool_thread(PoolThread thread) {
    auto* record = static_cast<PoolThreadRecord*>(thread);
    WaitForSingleObject(record->thread, INFINITE);
    CloseHandle(record->thread);
    delete record;
}

// A count under a slim lock, with a condition variable to sleep on while it
// is 0: a semaphore that calls into the kernel (under Wine, its server) only
// when a thread must sleep or be woken, not on every raise and take.
struct CountingSignal {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE raised = CONDITION_VARIABLE_INIT;
    long count = 0;
};

PoolSignal make_signal() { return new (std::nothrow) CountingSignal; }

void raise_signal(PoolSignal signal) {
    auto* s = static_cast<CountingSignal*>(signal);
    AcquireSRWLockExclusive(&s->lock);
    ++s->count;
    ReleaseSRWLockExclusive(&s->lock);
    WakeConditionVariable(&s->raised);
}

void await_signal(PoolSignal signal) {
    auto* s = static_cast<CountingSignal*>(signal);
    AcquireSRWLockExclusive(&s->lock);
    while (s->count == 0) SleepConditionVariableSRW(&s->raised, &s->lock, INFINITE, 0);
    --s->count;
    ReleaseSRWLockExclusive(&s->lock);
}

void free_signal(PoolSignal signal) { delete static_cast<CountingSignal*>(signal); }

int usable_processors(int* list, int room) {
    DWORD_PTR process_mask = 0, system_mask = 0;
    int count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
        for (int p = 0; p < static_cast<int>(sizeof(DWORD_PTR) * CHAR_BIT); ++p) {
            if (!(process_mask & (DWORD_PTR{1} << p))) continue;
            if (count < room) list[count] = p;
            ++count;
        }
    }
    if (count == 0) {
        count = 1;
        if (room > 0) list[0] = 0;
    }
    return count;
}

}  // namespace

const PoolThreadServices platform_pool_threads = {
    start_pool_thread, join_pool_thread, make_signal,       raise_signal,
    await_signal,      free_signal,      usable_processors, steady_microseconds,
};
