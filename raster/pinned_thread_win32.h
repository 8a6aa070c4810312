// Starting a thread pinned to one processor on Windows, for both engines'
// thread layers (the reference engine's render workers, the fast engine's
// pool): a thread is made suspended, pinned, then resumed. Included by those
// platform files only.
#pragma once

#include <windows.h>

#include <climits>

// Pins a suspended thread to `processor`. Refused on a machine without that
// processor: the thread then runs wherever the scheduler places it.
inline void pin_thread(HANDLE thread, int processor) {
    if (processor >= 0 && processor < static_cast<int>(sizeof(DWORD_PTR) * CHAR_BIT))
        SetThreadAffinityMask(thread, DWORD_PTR{1} << processor);
}

// Starts a suspended thread. One that cannot be started is ended here, or it
// would stay suspended, its stack held, for the rest of the run.
inline bool resume_or_end(HANDLE thread) {
    if (ResumeThread(thread) != static_cast<DWORD>(-1)) return true;
    TerminateThread(thread, static_cast<DWORD>(-1));
    return false;
}
