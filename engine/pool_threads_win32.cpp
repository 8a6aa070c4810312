// The fast engine's pool threads and semaphores on Windows.
#include <windows.h>

#include <climits>
#include <new>

#include "engine/pool_threads.h"
#include "raster/pinned_thread_win32.h"
#include "scene/float_control.h"

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
    pin_thread(record->thread, processor);
    if (!resume_or_end(record->thread)) {
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
// is 0: a counting semaphore that calls into the kernel (under Wine, its
// server) only when a thread must sleep or be woken, not on every post and
// wait.
struct CountingSemaphore {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE posted = CONDITION_VARIABLE_INIT;
    long count = 0;
};

PoolSemaphore make_semaphore() { return new (std::nothrow) CountingSemaphore; }

void post_semaphore(PoolSemaphore handle) {
    auto* semaphore = static_cast<CountingSemaphore*>(handle);
    AcquireSRWLockExclusive(&semaphore->lock);
    ++semaphore->count;
    ReleaseSRWLockExclusive(&semaphore->lock);
    WakeConditionVariable(&semaphore->posted);
}

void wait_semaphore(PoolSemaphore handle) {
    auto* semaphore = static_cast<CountingSemaphore*>(handle);
    AcquireSRWLockExclusive(&semaphore->lock);
    while (semaphore->count == 0) SleepConditionVariableSRW(&semaphore->posted, &semaphore->lock, INFINITE, 0);
    --semaphore->count;
    ReleaseSRWLockExclusive(&semaphore->lock);
}

void free_semaphore(PoolSemaphore handle) { delete static_cast<CountingSemaphore*>(handle); }

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
    start_pool_thread, join_pool_thread, make_semaphore,    post_semaphore,
    wait_semaphore,    free_semaphore,   usable_processors, steady_microseconds,
};
