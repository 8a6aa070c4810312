// The render workers' threads on Windows.
#include <windows.h>

#include "raster/shading.h"
#include "raster/worker_threads.h"

namespace {

// One thread entry per worker index: the index is fixed at creation and no
// start parameter is passed.
template <int index>
DWORD WINAPI render_worker(LPVOID) {
    render_faces(index);
    ExitThread(index);
}

WorkerHandle create_suspended(int index) {
    return CreateThread(nullptr, 0, index == 0 ? render_worker<0> : render_worker<1>, nullptr, CREATE_SUSPENDED,
                        nullptr);
}

void raise_priority(WorkerHandle worker) { SetThreadPriority(worker, THREAD_PRIORITY_TIME_CRITICAL); }

void pin_to_processor(WorkerHandle worker, int processor) {
    // Refused on a machine without that processor: the worker then runs
    // wherever the scheduler places it, and the picture is the same.
    SetThreadAffinityMask(worker, DWORD_PTR{1} << processor);
}

bool resume(WorkerHandle worker) {
    if (ResumeThread(worker) != static_cast<DWORD>(-1)) return true;
    // A worker that never ran is ended here, or it would stay suspended, and
    // its stack held, for the rest of the run.
    TerminateThread(worker, static_cast<DWORD>(-1));
    return false;
}

void wait_for_all(WorkerHandle* workers, int count) {
    HANDLE running[2];
    DWORD running_count = 0;
    for (int i = 0; i < count; ++i)
        if (workers[i]) running[running_count++] = workers[i];
    if (running_count > 0) WaitForMultipleObjectsEx(running_count, running, TRUE, INFINITE, FALSE);
}

void close(WorkerHandle worker) { CloseHandle(worker); }

}  // namespace

const WorkerThreadServices platform_worker_threads = {
    create_suspended, raise_priority, pin_to_processor, resume, wait_for_all, close,
};
