// A pool of long-lived render workers: created once, pinned one per
// processor, woken once per frame and waited for once per frame. Between
// frames they sleep on their semaphores. When frames follow each other
// closely (the next one comes within short_gap of the last one's end), a
// worker spins for it, yielding, until short_gap after the frame's end
// (however early its own part of the frame ended, up to longest_lead after
// it) before it sleeps:
// waking a sleeping thread costs tens of microseconds, a good share of a
// small frame. When frames are paced (the window program's idle mode sleeps
// a millisecond per frame), the gap is longer and the workers go straight to
// sleep. The calling thread, waiting for a frame's end, spins likewise: for
// up to long_spin (10 ms, longer than a frame of the usual sizes takes) when
// frames follow closely or the frame's workers leave one of the process's
// processors idle, and otherwise for up to short_gap. Its spin yields, so
// that on a processor shared with a worker it takes only time the worker
// leaves, and it spares the frame a wake-up.
//
// WebAssembly's threads cannot yield (sched_yield returns at once), and a
// wake-up through the browser's futex costs a small frame a tenth of its
// time. There the calling thread draws its share of every frame (the pool
// has a thread fewer, FastEngine), so a frame's threads are as many as the
// processors it asks for, and while they are no more than the processors a
// spin takes no processor another of them needs: a worker spins on the spot
// for the next frame until unyielding_gap (2 ms) after its own end, by its
// own clock (each Worker's clock has its own origin), when the frame came
// within that of its last end; the calling thread, its share drawn, spins
// for the workers' last strips as long. A pool whose threads and the
// calling thread outnumber the processors never spins there.
//
// A frame wakes only the workers it has work for: a frame of three strips
// wakes three workers and waits for those three, however many the pool has,
// so that a worker whose processor is busy elsewhere holds up no frame it
// has no part in.
//
// Threads: a pool belongs to the thread that made it (the main thread),
// which alone calls its members. A begin while a frame runs, and the pool's
// end, first wait for that frame to end. A job that calls begin or finish of
// its own pool, or ends it, would wait for itself: that is caught, and the
// process aborts with a message naming the misuse. None of the members may
// be called from a signal handler: they take locks and allocate.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/pool_threads.h"
#include "scene/processor.h"

// What keeps two atomics that different threads write out of one cache line.
inline constexpr std::size_t cache_line_bytes = 64;

class WorkerPool {
  public:
    using Job = void (*)(void* context, int worker);

    // Starts up to `workers` threads, worker i pinned to the i-th processor
    // the process may run on (round robin). Workers whose thread or
    // semaphore cannot be had are left out; started() says how many run.
    WorkerPool(int workers, const PoolThreadServices& services);
    // Waits for the frame in progress, then ends every worker and waits for
    // it.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int started() const { return static_cast<int>(workers_.size()); }

    // Runs job(context, worker) once on each of workers 0 to n - 1, where n
    // is `jobs` kept within 1 and started(); with none started, once on the
    // calling thread as worker 0. Waits first for a frame still in progress.
    // Returns n at once; finish() waits until every call has returned.
    int begin(Job job, void* context, int jobs);
    void finish();

    // Whether the last begin found its workers asleep, as far as the pool
    // can tell: when the frame came long after the last one's end. Waking a
    // sleeping thread takes tens of microseconds.
    bool woke_sleeping_workers() const { return woke_sleeping_; }

    // Whether a waiting thread can give its processor to another and so spin
    // without taking time from the threads it waits for. Not on
    // WebAssembly, where sched_yield returns at once: there the threads spin
    // on the spot, and only where the calling thread draws its share.
    static constexpr bool threads_yield = !OMBRASTEL_WASM;

    // How many times a worker has spun for the next frame instead of going
    // straight to sleep, since the pool started.
    long spins() const { return spins_.load(std::memory_order_relaxed); }

  private:
    struct Worker {
        WorkerPool* pool;
        int index;
        PoolThread thread;
        PoolSemaphore wake;
    };
    static void worker_main(void* worker);
    // Aborts when the calling thread is running one of this pool's jobs.
    void refuse_call_from_own_job(const char* member) const;

    static constexpr std::int64_t short_gap_us = 100;
    // The longest a worker spins after its own part, whenever the frame ends.
    static constexpr std::int64_t longest_lead_us = 500;
    static constexpr std::int64_t long_spin_us = 10000;
    // WebAssembly's spins, which cannot yield: longer than the gap between
    // the frames a page draws at full speed, far shorter than a display's.
    static constexpr std::int64_t unyielding_gap_us = 2000;

    const PoolThreadServices& services_;
    int usable_processors_ = 1;
    std::vector<Worker*> workers_;
    PoolSemaphore done_ = nullptr;
    bool running_ = false;
    std::int64_t finish_spin_us_ = short_gap_us;
    bool woke_sleeping_ = false;
    bool spin_on_the_spot_ = false;      // WebAssembly: the threads fit the processors
    std::int64_t last_finished_us_ = 0;  // when the calling thread saw the last frame end

    // The frame in progress, written before its workers' semaphores are
    // posted and read by them after taking their semaphore.
    Job job_ = nullptr;
    void* context_ = nullptr;
    unsigned frame_number_ = 0;
    bool stopping_ = false;

    // Written by the workers as they end their part of a frame.
    alignas(cache_line_bytes) std::atomic<int> remaining_{0};
    std::atomic<std::int64_t> frame_ended_us_{0};  // when the last of them ended it
    // The number of the last frame begun, for the workers' spin: stored
    // after the frame's semaphores are posted, so a spin that sees it finds
    // its semaphore already posted.
    alignas(cache_line_bytes) std::atomic<unsigned> frames_begun_{0};
    alignas(cache_line_bytes) std::atomic<long> spins_{0};
};
