#include "engine/worker_pool.h"

#include <algorithm>
#include <new>
#include <thread>

WorkerPool::WorkerPool(int workers, const PoolThreadServices& services) : services_(services) {
    done_ = services_.make_signal();
    if (!done_) return;  // no worker can report back: the calling thread does the work
    constexpr int most_processors = 1024;
    std::vector<int> processors(most_processors);
    const int usable = std::min(services_.usable_processors(processors.data(), most_processors), most_processors);
    for (int i = 0; i < workers; ++i) {
        auto* worker = new (std::nothrow) Worker{this, static_cast<int>(workers_.size()), nullptr, nullptr};
        if (!worker) break;
        worker->wake = services_.make_signal();
        if (worker->wake) worker->thread = services_.start(worker_main, worker, processors[i % usable]);
        if (!worker->thread) {
            if (worker->wake) services_.free_signal(worker->wake);
            delete worker;
            continue;
        }
        workers_.push_back(worker);
    }
    // With a processor to spare, the calling thread can watch for the end of
    // a whole frame without taking time from any worker.
    finish_watch_ = started() < usable ? long_watch : short_gap;
}

WorkerPool::~WorkerPool() {
    if (running_) finish();
    stopping_ = true;
    for (Worker* worker : workers_) services_.raise(worker->wake);
    for (Worker* worker : workers_) {
        services_.join(worker->thread);
        services_.free_signal(worker->wake);
        delete worker;
    }
    if (done_) services_.free_signal(done_);
}

void WorkerPool::worker_main(void* argument) {
    using Clock = std::chrono::steady_clock;
    auto* worker = static_cast<Worker*>(argument);
    WorkerPool& pool = *worker->pool;
    unsigned frames_seen = 0;
    bool frames_follow_closely = false;
    Clock::time_point finished = Clock::now();
    for (;;) {
        if (frames_follow_closely) {
            pool.watches_.fetch_add(1, std::memory_order_relaxed);
            const Clock::time_point give_up = finished + short_gap;
            // Yielding, not spinning on the spot: the main thread, which
            // begins the frame, may need this processor to do so.
            while (pool.frames_begun_.load(std::memory_order_relaxed) == frames_seen && Clock::now() < give_up)
                std::this_thread::yield();
        }
        // The main thread raises the signal for every frame, so this takes
        // it whether the watch above saw the frame begin or not; and the
        // signal's own lock orders this worker's reads after everything the
        // main thread wrote before raising it.
        pool.services_.await(worker->wake);
        frames_follow_closely = Clock::now() - finished < short_gap;
        frames_seen = pool.frames_begun_.load(std::memory_order_relaxed);
        if (pool.stopping_) return;
        pool.job_(pool.context_, worker->index);
        finished = Clock::now();
        if (pool.remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) pool.services_.raise(pool.done_);
    }
}

void WorkerPool::begin(Job job, void* context) {
    running_ = true;
    if (workers_.empty()) {
        job(context, 0);
        return;
    }
    job_ = job;
    context_ = context;
    remaining_.store(started(), std::memory_order_relaxed);
    frames_begun_.fetch_add(1, std::memory_order_relaxed);
    for (Worker* worker : workers_) services_.raise(worker->wake);
}

void WorkerPool::finish() {
    if (!running_) return;
    running_ = false;
    if (workers_.empty()) return;
    // The same watch as the workers keep, and for the same reason: a frame
    // that ends soon is waited for without going to sleep.
    const auto give_up = std::chrono::steady_clock::now() + finish_watch_;
    while (remaining_.load(std::memory_order_relaxed) != 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::yield();
    services_.await(done_);
}
