#include "engine/worker_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

// The pool whose job this thread is running, if any: a worker's, or the
// calling thread's while it runs the job itself for want of workers.
thread_local const WorkerPool* pool_of_running_job = nullptr;

class RunningJob {
  public:
    explicit RunningJob(const WorkerPool* pool) : before_(pool_of_running_job) { pool_of_running_job = pool; }
    ~RunningJob() { pool_of_running_job = before_; }
    RunningJob(const RunningJob&) = delete;
    RunningJob& operator=(const RunningJob&) = delete;

  private:
    const WorkerPool* before_;
};

}  // namespace

WorkerPool::WorkerPool(int workers, const PoolThreadServices& services) : services_(services) {
    done_ = services_.make_semaphore();
    if (!done_) return;  // no worker can report back: the calling thread does the work
    constexpr int most_processors = 1024;
    std::vector<int> processors(most_processors);
    usable_processors_ = std::min(services_.usable_processors(processors.data(), most_processors), most_processors);
    // Room for every worker before the first thread starts: a thread running
    // must never see its pool's list moved, nor a pool that failed to be made.
    workers_.reserve(static_cast<std::size_t>(std::max(workers, 0)));
    for (int i = 0; i < workers; ++i) {
        auto* worker = new (std::nothrow) Worker{this, static_cast<int>(workers_.size()), nullptr, nullptr};
        if (!worker) break;
        worker->wake = services_.make_semaphore();
        if (worker->wake) worker->thread = services_.start(worker_main, worker, processors[i % usable_processors_]);
        if (!worker->thread) {
            if (worker->wake) services_.free_semaphore(worker->wake);
            delete worker;
            continue;
        }
        workers_.push_back(worker);
    }
    // Read by the workers only once a frame has woken them.
    spin_on_the_spot_ = !threads_yield && started() + 1 <= usable_processors_;
}

WorkerPool::~WorkerPool() {
    refuse_call_from_own_job("the end of the pool");
    finish();
    stopping_ = true;
    for (Worker* worker : workers_) services_.post(worker->wake);
    // Ends the spin of a worker that expects another frame.
    frames_begun_.fetch_add(1, std::memory_order_relaxed);
    for (Worker* worker : workers_) {
        services_.join(worker->thread);
        services_.free_semaphore(worker->wake);
        delete worker;
    }
    if (done_) services_.free_semaphore(done_);
}

void WorkerPool::refuse_call_from_own_job(const char* member) const {
    if (pool_of_running_job != this) return;
    std::fprintf(stderr,
                 "ombrastel: misuse of the worker pool: %s was asked for by one of the pool's own jobs, "
                 "which would wait for itself forever\n",
                 member);
    std::abort();
}

void WorkerPool::worker_main(void* argument) {
    auto* worker = static_cast<Worker*>(argument);
    WorkerPool& pool = *worker->pool;
    const PoolThreadServices& services = pool.services_;
    const RunningJob running(&pool);
    unsigned frames_seen = 0;
    bool frames_follow_closely = false;
    std::int64_t finished = services.microseconds();
    for (;;) {
        const bool spin = frames_follow_closely && (threads_yield || pool.spin_on_the_spot_);
        if (spin) pool.spins_.fetch_add(1, std::memory_order_relaxed);
        if (threads_yield && spin) {
            // The gap is counted from the frame's end, not from this
            // worker's: a worker done a strip earlier than the others would
            // otherwise be asleep when the next frame comes, and its wake-up
            // on a processor the calling thread shares would hold that
            // thread in begin. But a worker that far ahead of the others
            // (a frame much larger than the usual sizes, processors shared
            // with other work) sleeps: its spin would take time from the
            // workers still drawing. Yielding, not spinning on the spot: the
            // main thread, which begins the frame, may need this processor
            // to do so.
            const std::int64_t give_up_all_the_same = finished + longest_lead_us;
            for (;;) {
                // A later frame announced; the calling thread may not yet
                // have announced the one this worker has just drawn its
                // part of.
                const auto announced = pool.frames_begun_.load(std::memory_order_relaxed);
                if (static_cast<int>(announced - frames_seen) > 0) break;
                const std::int64_t now = services.microseconds();
                if (now >= give_up_all_the_same) break;
                if (pool.remaining_.load(std::memory_order_acquire) == 0 &&
                    now >= pool.frame_ended_us_.load(std::memory_order_relaxed) + short_gap_us)
                    break;
                std::this_thread::yield();
            }
        } else if (spin) {
            // WebAssembly: on the spot, by this worker's own clock alone (a
            // Worker's clock has its own origin), until the next frame is
            // announced or no frame follows closely after all.
            const std::int64_t give_up = finished + unyielding_gap_us;
            while (static_cast<int>(pool.frames_begun_.load(std::memory_order_relaxed) - frames_seen) <= 0 &&
                   services.microseconds() < give_up) {
            }
        }
        // A frame's semaphores are posted before it is announced, so a spin
        // that saw the frame takes its semaphore here without sleeping. A
        // frame this worker has no part in was announced all the same: then
        // it sleeps here until one that has. The semaphore's own lock orders
        // this worker's reads after everything the main thread wrote before
        // posting it.
        services.wait(worker->wake);
        // Close to the last frame's end as the calling thread saw it, not
        // to this worker's, which may have come long before: written before
        // the semaphore was posted, and not again until this frame ends.
        // On WebAssembly, close to this worker's own end.
        if constexpr (threads_yield) {
            const std::int64_t last_end = std::max(finished, pool.last_finished_us_);
            frames_follow_closely = services.microseconds() - last_end < short_gap_us;
        } else {
            frames_follow_closely = services.microseconds() - finished < unyielding_gap_us;
        }
        frames_seen = pool.frame_number_;
        if (pool.stopping_) return;
        pool.job_(pool.context_, worker->index);
        finished = services.microseconds();
        // The latest of the workers' ends is the frame's, kept before the
        // count that says the frame has ended, which publishes it.
        std::int64_t latest = pool.frame_ended_us_.load(std::memory_order_relaxed);
        while (latest < finished &&
               !pool.frame_ended_us_.compare_exchange_weak(latest, finished, std::memory_order_relaxed)) {
        }
        if (pool.remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) services.post(pool.done_);
    }
}

int WorkerPool::begin(Job job, void* context, int jobs) {
    refuse_call_from_own_job("a new frame (begin)");
    finish();
    running_ = true;
    if (workers_.empty()) {
        const RunningJob running(this);
        job(context, 0);
        return 1;
    }
    const int woken = std::clamp(jobs, 1, started());
    job_ = job;
    context_ = context;
    ++frame_number_;
    remaining_.store(woken, std::memory_order_relaxed);
    // With a processor to spare, the calling thread can spin for the end of
    // a whole frame without taking time from any worker; when frames follow
    // closely, it is drawing as fast as it can and spins all the same.
    const std::int64_t gap = services_.microseconds() - last_finished_us_;
    const bool frames_follow_closely = gap < short_gap_us;
    finish_spin_us_ = woken < usable_processors_ || frames_follow_closely ? long_spin_us : short_gap_us;
    woke_sleeping_ = threads_yield ? !frames_follow_closely : gap >= unyielding_gap_us;
    for (int i = 0; i < woken; ++i) services_.post(workers_[static_cast<std::size_t>(i)]->wake);
    frames_begun_.store(frame_number_, std::memory_order_relaxed);
    return woken;
}

void WorkerPool::finish() {
    refuse_call_from_own_job("the wait for the frame's end (finish)");
    if (!running_) return;
    running_ = false;
    if (workers_.empty()) return;
    // The same spin as the workers keep, and for the same reason: a frame
    // that ends soon is waited for without going to sleep.
    if constexpr (threads_yield) {
        const std::int64_t give_up = services_.microseconds() + finish_spin_us_;
        while (remaining_.load(std::memory_order_relaxed) != 0 && services_.microseconds() < give_up)
            std::this_thread::yield();
    } else if (spin_on_the_spot_) {
        // The calling thread has drawn its share: the workers are on their
        // last strips, or yet to find that none is left.
        const std::int64_t give_up = services_.microseconds() + unyielding_gap_us;
        while (remaining_.load(std::memory_order_relaxed) != 0 && services_.microseconds() < give_up) {
        }
    }
    services_.wait(done_);
    last_finished_us_ = services_.microseconds();
}
