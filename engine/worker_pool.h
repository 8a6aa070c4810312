// A pool of long-lived render workers: created once, pinned one per
// processor, woken once per frame and waited for once per frame. Between
// frames they sleep in the platform's wait. When frames follow each other
// closely (the next one comes within short_gap of the last one's end), a
// worker watches for it for up to that long before it sleeps: waking a
// sleeping thread costs tens of microseconds, a good share of a small frame.
// When frames are paced (the window program's idle mode sleeps a
// millisecond per frame), the gap is longer and the workers go straight to
// sleep. The calling thread, waiting for a frame's end, watches likewise,
// and for as long as a whole frame when the workers leave a processor idle.
//
// Threads: a pool belongs to one thread (the main thread), which alone calls
// its members.
#pragma once

#include <atomic>
#include <chrono>
#include <vector>

#include "raster/worker_threads.h"

class WorkerPool {
  public:
    using Job = void (*)(void* context, int worker);

    // Starts up to `workers` threads, worker i pinned to the i-th processor
    // the process may run on (round robin). Workers whose thread or signal
    // cannot be had are left out; started() says how many run.
    WorkerPool(int workers, const PoolThreadServices& services);
    // Ends every worker and waits for it.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int started() const { return static_cast<int>(workers_.size()); }

    // Runs job(context, worker) once on every started worker, worker 0 to
    // started() - 1; with none started, once on the calling thread as worker
    // 0. Returns at once; finish() waits until every call has returned.
    void begin(Job job, void* context);
    void finish();

    // How many times a worker has watched for the next frame instead of
    // going straight to sleep, since the pool started.
    long watches() const { return watches_.load(std::memory_order_relaxed); }

  private:
    struct Worker {
        WorkerPool* pool;
        int index;
        PoolThread thread;
        PoolSignal wake;
    };
    static void worker_main(void* worker);

    const PoolThreadServices& services_;
    static constexpr std::chrono::microseconds short_gap{100};
    static constexpr std::chrono::microseconds long_watch{10000};
    std::chrono::microseconds finish_watch_ = short_gap;
    std::vector<Worker*> workers_;
    PoolSignal done_ = nullptr;
    Job job_ = nullptr;
    void* context_ = nullptr;
    bool stopping_ = false;
    bool running_ = false;
    std::atomic<int> remaining_{0};
    std::atomic<unsigned> frames_begun_{0};
    std::atomic<long> watches_{0};
};
