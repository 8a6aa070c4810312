// The render workers' threads on Windows.
#include <windows.h>

#include "raster/pinned_thread_win32.h"
#include "raster/shading.h"
#include "raster/worker_threads.h"

namespace {

// One thread entry per worker index: the index is fixed at creation and no
// start parameter is passed.
template <int index> DWORD WINAPI render_worker(LPVOID) {
    render_faces(index);
    ExitThread(index);
}

WorkerHandle create_suspended(int index) {
    return CreateThread(nullptr, 0, index == 0 ? render_worker<0> : render_worker<1>, nullptr, CREATE_SUSPENDED,
                        nullptr);
}

void raise_priority(WorkerHandle worker) { SetThreadPriority(worker, THREAD_PRIORITY_TIME_CRITICAL); }

// The picture is the same wherever the worker runs.
void pin_to_processor(WorkerHandle worker, int processor) { pin_thread(worker, processor); }

bool resume(WorkerHandle worker) { return resume_or_end(worker); }

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
