// The workers of both engines: the reference engine's two workers, one
// thread or workers that cannot be had all give the same picture, and no
// worker outlives the shading pass; the fast engine's pool gives that same
// picture with any number of workers, with workers or semaphores that cannot be
// had, when it is misused (ended or begun again mid-frame), whatever the
// calling thread's floating-point control, and into buffers that alternate
// or change size; it wakes only the workers a frame has strips for, and ends
// every thread it started.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "engine/fast_engine.h"
#include "engine/pool_threads.h"
#include "engine/worker_pool.h"
#include "pipeline/frame.h"
#include "raster/shading.h"
#include "raster/worker_threads.h"
#include "scene/processor.h"
#include "test_support.h"

namespace {

constexpr int width = 330, height = 250;

// Frames 0, 150, 300, ... 1800 of the animation, rendered with the running
// engine.
std::vector<std::vector<std::uint32_t>> sampled_frames() {
    start_headless(width, height);
    std::vector<std::vector<std::uint32_t>> frames;
    for (int k = 0; k <= 1800; ++k) {
        if (k % 150 == 0) {
            render_frame();
            frames.push_back(frame_pixels());
        } else {
            transform_and_project();
        }
        advance_frame_counter();
    }
    return frames;
}

const std::vector<std::vector<std::uint32_t>>& one_thread_frames() {
    static const auto frames = [] {
        EXPECT_EQ(start_engine({EngineKind::reference, 1}), "");
        auto f = sampled_frames();
        stop_engine();
        return f;
    }();
    return frames;
}

// The same frames from a fast engine of our own, into buffers of its own.
std::vector<std::vector<std::uint32_t>> fast_frames(FastEngine& engine) {
    start_headless(width, height);
    std::vector<std::uint32_t> frame(std::size_t{width} * height, 0u);
    std::vector<float> depth(frame.size(), 0.0f);
    std::vector<std::vector<std::uint32_t>> frames;
    for (int k = 0; k <= 1800; ++k) {
        transform_and_project();
        if (k % 150 == 0) {
            FrameFace faces[working_array_room];
            const int count = gather_frame_faces(faces);
            engine.draw(faces, count, {width, height, frame.data(), depth.data()});
            frames.push_back(frame);
        }
        advance_frame_counter();
    }
    return frames;
}

// --- The reference engine's two workers -----------------------------------------

// The platform's services with faults put in: workers that cannot be
// created or started, and pinning that is refused. Counts every handle
// created, waited for and closed.
struct Faults {
    bool refuse_create[2] = {false, false};
    bool refuse_resume[2] = {false, false};
    bool refuse_pinning = false;
    int created = 0, waited = 0, closed = 0;
};
Faults faults;
WorkerHandle handle_of[2];

WorkerHandle faulty_create(int index) {
    if (faults.refuse_create[index]) return nullptr;
    ++faults.created;
    return handle_of[index] = platform_worker_threads.create_suspended(index);
}
void faulty_raise(WorkerHandle worker) { platform_worker_threads.raise_priority(worker); }
void faulty_pin(WorkerHandle worker, int processor) {
    // A processor the machine does not have: the layer must run the worker
    // unpinned rather than lose its band.
    platform_worker_threads.pin_to_processor(worker, faults.refuse_pinning ? 100000 : processor);
}
bool faulty_resume(WorkerHandle worker) {
    const int index = worker == handle_of[0] ? 0 : 1;
    if (faults.refuse_resume[index]) return false;
    return platform_worker_threads.resume(worker);
}
void faulty_wait(WorkerHandle* workers, int count) {
    for (int i = 0; i < count; ++i) faults.waited += workers[i] != nullptr;
    platform_worker_threads.wait_for_all(workers, count);
}
void faulty_close(WorkerHandle worker) {
    ++faults.closed;
    platform_worker_threads.close(worker);
}
const WorkerThreadServices faulty_threads = {faulty_create, faulty_raise, faulty_pin,
                                             faulty_resume, faulty_wait,  faulty_close};

class ReferenceWorkers : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(start_engine({EngineKind::reference, 2}), ""); }
    void TearDown() override {
        worker_threads = &platform_worker_threads;
        stop_engine();
    }
};

TEST_F(ReferenceWorkers, TwoWorkersDrawWhatOneThreadDraws) {
    const auto reference = one_thread_frames();
    ASSERT_EQ(start_engine({EngineKind::reference, 2}), "");
    EXPECT_EQ(sampled_frames(), reference);
    // Something is drawn in both halves of the frame.
    const std::vector<std::uint32_t>& frame = reference[1];
    EXPECT_TRUE(std::any_of(frame.begin(), frame.begin() + frame.size() / 2, [](auto p) { return p != 0; }));
    EXPECT_TRUE(std::any_of(frame.begin() + frame.size() / 2, frame.end(), [](auto p) { return p != 0; }));
}

TEST_F(ReferenceWorkers, WorkersThatCannotBeHadLeaveTheFrameComplete) {
    const auto reference = one_thread_frames();
    ASSERT_EQ(start_engine({EngineKind::reference, 2}), "");
    worker_threads = &faulty_threads;
    struct Case {
        bool create0, create1, resume0, resume1, pinning;
        const char* what;
    };
    const Case cases[] = {
        {true, false, false, false, false, "worker 0 not created"},
        {false, true, false, false, false, "worker 1 not created"},
        {true, true, false, false, false, "no worker created"},
        {false, false, true, false, false, "worker 0 not started"},
        {false, false, false, false, true, "pinning refused"},
    };
    for (const Case& c : cases) {
        faults.refuse_create[0] = c.create0;
        faults.refuse_create[1] = c.create1;
        faults.refuse_resume[0] = c.resume0;
        faults.refuse_resume[1] = c.resume1;
        faults.refuse_pinning = c.pinning;
        faults.created = faults.waited = faults.closed = 0;
        EXPECT_EQ(sampled_frames(), reference) << c.what;
        // Every handle that was created is closed; only started ones are waited for.
        EXPECT_EQ(faults.closed, faults.created) << c.what;
        EXPECT_LE(faults.waited, faults.created) << c.what;
    }
}

// --- The fast engine's pool --------------------------------------------------------

// The platform's pool services with faults put in: the n-th thread or semaphore
// refused, and pinning to processors the machine does not have. Counts the
// threads started and joined and the semaphores made and freed.
struct PoolFaults {
    int refuse_thread_from = 1 << 30;  // threads started before this one are allowed
    bool refuse_every_second_thread = false;
    int refuse_semaphore_number = -1;  // this semaphore (0 = the first) is refused
    bool far_processors = false;
    int threads_started = 0, threads_joined = 0, semaphores_made = 0, semaphores_freed = 0, semaphores_asked = 0;
    int thread_asked = 0;
};
PoolFaults pool_faults;

PoolThread faulty_start(void (*entry)(void*), void* argument, int processor) {
    const int number = pool_faults.thread_asked++;
    if (number >= pool_faults.refuse_thread_from) return nullptr;
    if (pool_faults.refuse_every_second_thread && number % 2 == 1) return nullptr;
    PoolThread thread =
        platform_pool_threads.start(entry, argument, pool_faults.far_processors ? processor + 4096 : processor);
    pool_faults.threads_started += thread != nullptr;
    return thread;
}
void faulty_join(PoolThread thread) {
    ++pool_faults.threads_joined;
    platform_pool_threads.join(thread);
}
PoolSemaphore faulty_make_semaphore() {
    if (pool_faults.semaphores_asked++ == pool_faults.refuse_semaphore_number) return nullptr;
    PoolSemaphore semaphore = platform_pool_threads.make_semaphore();
    pool_faults.semaphores_made += semaphore != nullptr;
    return semaphore;
}
void faulty_free_semaphore(PoolSemaphore semaphore) {
    ++pool_faults.semaphores_freed;
    platform_pool_threads.free_semaphore(semaphore);
}
// Counts every semaphore posted.
std::atomic<long> semaphores_posted{0};
void counting_post(PoolSemaphore semaphore) {
    semaphores_posted.fetch_add(1, std::memory_order_relaxed);
    platform_pool_threads.post(semaphore);
}
const PoolThreadServices faulty_pool = {faulty_start,
                                        faulty_join,
                                        faulty_make_semaphore,
                                        counting_post,
                                        platform_pool_threads.wait,
                                        faulty_free_semaphore,
                                        platform_pool_threads.usable_processors,
                                        platform_pool_threads.microseconds};

// No thread and no semaphore: an engine on these draws on the calling thread.
PoolSemaphore no_semaphore() { return nullptr; }
const PoolThreadServices no_threads = {platform_pool_threads.start,
                                       platform_pool_threads.join,
                                       no_semaphore,
                                       platform_pool_threads.post,
                                       platform_pool_threads.wait,
                                       platform_pool_threads.free_semaphore,
                                       platform_pool_threads.usable_processors,
                                       platform_pool_threads.microseconds};

// The faces of the current frame.
struct Faces {
    FrameFace face[working_array_room];
    int count;
};
Faces current_faces() {
    Faces faces;
    faces.count = gather_frame_faces(faces.face);
    return faces;
}

// What a brand new engine draws of the faces into buffers of its own,
// zeroed, of the given size.
std::vector<std::uint32_t> fresh_frame(const Faces& faces, int frame_width, int frame_height) {
    FastEngine fresh(1, best_instruction_set(), default_estimates, no_threads);
    std::vector<std::uint32_t> frame(std::size_t(frame_width) * frame_height, 0u);
    std::vector<float> depth(frame.size(), 0.0f);
    fresh.draw(faces.face, faces.count,
               {static_cast<std::uint16_t>(frame_width), static_cast<std::uint16_t>(frame_height), frame.data(),
                depth.data()});
    return frame;
}

std::vector<std::uint32_t> pixels_of(const std::vector<std::uint32_t>& buffer, int frame_width, int frame_height) {
    return {buffer.begin(), buffer.begin() + std::ptrdiff_t(frame_width) * frame_height};
}

TEST(FastWorkers, AnyNumberOfWorkersDrawsWhatTheReferenceEngineDraws) {
    const auto reference = one_thread_frames();
    for (int workers : {1, 2, 5, 16}) {
        FastEngine engine(workers, best_instruction_set());
        EXPECT_EQ(engine.workers(), workers);
        EXPECT_EQ(fast_frames(engine), reference) << workers << " workers";
    }
}

TEST(FastWorkers, WorkersThatCannotBeHadLeaveTheFrameComplete) {
    const auto reference = one_thread_frames();
    // The pool's threads: those started of the workers asked for, and, where
    // the calling thread is one of the workers, of one fewer.
    struct Case {
        PoolFaults faults;
        int workers;
        int expected_started;
        int expected_started_beside_calling_thread;
        const char* what;
    };
    auto faults_with = [](auto change) {
        PoolFaults f;
        change(f);
        return f;
    };
    const Case cases[] = {
        {faults_with([](PoolFaults& f) { f.refuse_thread_from = 0; }), 4, 0, 0,
         "no thread started: the calling thread draws"},
        {faults_with([](PoolFaults& f) { f.refuse_thread_from = 2; }), 4, 2, 2, "the third and fourth threads refused"},
        {faults_with([](PoolFaults& f) { f.refuse_every_second_thread = true; }), 4, 2, 2,
         "every second thread refused"},
        {faults_with([](PoolFaults& f) { f.refuse_semaphore_number = 0; }), 3, 0, 0,
         "the pool's own semaphore refused"},
        {faults_with([](PoolFaults& f) { f.refuse_semaphore_number = 2; }), 3, 2, 1, "one worker's semaphore refused"},
        {faults_with([](PoolFaults& f) { f.far_processors = true; }), 3, 3, 2,
         "pinning to processors the machine lacks"},
    };
    constexpr bool calling_thread_draws = FastEngine::calling_thread_draws_its_share;
    for (const Case& c : cases) {
        pool_faults = c.faults;
        const int threads = calling_thread_draws ? c.expected_started_beside_calling_thread : c.expected_started;
        {
            FastEngine engine(c.workers, best_instruction_set(), default_estimates, faulty_pool);
            // The calling thread counts as a worker where it draws its share.
            EXPECT_EQ(engine.workers(), threads + (calling_thread_draws ? 1 : 0)) << c.what;
            EXPECT_EQ(fast_frames(engine), reference) << c.what;
        }
        // Every thread started is ended and waited for, every semaphore freed.
        EXPECT_EQ(pool_faults.threads_started, threads) << c.what;
        EXPECT_EQ(pool_faults.threads_joined, pool_faults.threads_started) << c.what;
        EXPECT_EQ(pool_faults.semaphores_freed, pool_faults.semaphores_made) << c.what;
    }
}

// --- The pool's spin --------------------------------------------------------------

// A clock that moves only when the test moves it, so that which frames
// "follow closely" is decided by the test and not by the machine's load.
std::atomic<std::int64_t> test_clock_us{0};
std::int64_t test_clock() { return test_clock_us.load(); }
// On WebAssembly a pool spins only where its threads and the calling thread
// are no more than the processors: there the test's pools are told of eight
// (nothing is pinned there), elsewhere of the machine's own.
template <int count> int processors(int* list, int room) {
    for (int p = 0; p < count && p < room; ++p) list[p] = p;
    return count;
}
const PoolThreadServices pool_on_test_clock = {platform_pool_threads.start,
                                               platform_pool_threads.join,
                                               platform_pool_threads.make_semaphore,
                                               platform_pool_threads.post,
                                               platform_pool_threads.wait,
                                               platform_pool_threads.free_semaphore,
                                               OMBRASTEL_WASM ? processors<8> : platform_pool_threads.usable_processors,
                                               test_clock};

// Frames that follow each other closely find the workers spinning for them;
// frames that come milliseconds apart, as in the window program's idle mode,
// find them asleep, having gone to sleep without spinning. Every worker
// spins after a frame that came within 100 µs of its last one (2 ms of its
// own end on WebAssembly, where the spin cannot yield), and only then; it
// counts the spin when it starts it, by the time it takes the next frame.
TEST(FastWorkers, OnlyFramesThatFollowCloselyAreSpunFor) {
    constexpr int workers = 2, frames = 50;
    WorkerPool pool(workers, pool_on_test_clock);
    ASSERT_EQ(pool.started(), workers);
    auto nothing = [](void*, int) {};
    // The clock stands still: every frame follows its last one at once.
    for (int k = 0; k < frames; ++k) {
        pool.begin(nothing, nullptr, workers);
        pool.finish();
    }
    const long back_to_back = pool.spins();
    EXPECT_GE(back_to_back, long{workers} * (frames - 1)) << "back to back";
    EXPECT_LE(back_to_back, long{workers} * frames) << "back to back";
    // Five milliseconds between one frame's end and the next one's begin.
    for (int k = 0; k < frames; ++k) {
        test_clock_us += 5000;
        pool.begin(nothing, nullptr, workers);
        pool.finish();
    }
    // Only the spins after the last frame that followed closely.
    EXPECT_LE(pool.spins(), long{workers} * frames) << "paced";
    // Back to back again: the workers spin once more.
    for (int k = 0; k < frames; ++k) {
        pool.begin(nothing, nullptr, workers);
        pool.finish();
    }
    EXPECT_GE(pool.spins(), long{workers} * (2 * frames - 2)) << "back to back after paced frames";
}

#if OMBRASTEL_WASM
// WebAssembly's threads cannot yield the processor: a pool whose threads
// and the calling thread outnumber the processors never spins, however
// closely frames follow, and draws them all the same.
TEST(FastWorkers, OnWebAssemblyAPoolThatOutnumbersTheProcessorsNeverSpins) {
    constexpr int workers = 2, frames = 50;
    PoolThreadServices two_processors = pool_on_test_clock;
    two_processors.usable_processors = processors<2>;
    WorkerPool pool(workers, two_processors);
    ASSERT_EQ(pool.started(), workers);
    std::atomic<int> runs[workers] = {};
    auto count = [](void* counts, int worker) { static_cast<std::atomic<int>*>(counts)[worker].fetch_add(1); };
    for (int k = 0; k < frames; ++k) {
        pool.begin(count, runs, workers);
        pool.finish();
    }
    EXPECT_EQ(pool.spins(), 0);
    for (int w = 0; w < workers; ++w) EXPECT_EQ(runs[w].load(), frames) << "worker " << w;
}
#else

// Semaphores on the test's clock that tell when a pool thread waits on one
// with nothing posted, that is, goes to sleep.
struct WatchedSemaphore {
    std::mutex lock;
    std::condition_variable changed;
    unsigned count = 0;
};
thread_local bool on_pool_thread = false;  // set by the test's jobs
std::mutex sleeps_lock;
std::condition_variable sleeps_changed;
int pool_threads_asleep = 0;  // waits of pool threads begun with nothing posted
const PoolThreadServices pool_watching_sleeps = {platform_pool_threads.start,
                                                 platform_pool_threads.join,
                                                 []() -> PoolSemaphore { return new WatchedSemaphore; },
                                                 [](PoolSemaphore s) {
                                                     auto* semaphore = static_cast<WatchedSemaphore*>(s);
                                                     const std::lock_guard<std::mutex> hold(semaphore->lock);
                                                     ++semaphore->count;
                                                     semaphore->changed.notify_one();
                                                 },
                                                 [](PoolSemaphore s) {
                                                     auto* semaphore = static_cast<WatchedSemaphore*>(s);
                                                     std::unique_lock<std::mutex> hold(semaphore->lock);
                                                     if (semaphore->count == 0 && on_pool_thread) {
                                                         const std::lock_guard<std::mutex> count(sleeps_lock);
                                                         ++pool_threads_asleep;
                                                         sleeps_changed.notify_all();
                                                     }
                                                     semaphore->changed.wait(hold,
                                                                             [&] { return semaphore->count > 0; });
                                                     --semaphore->count;
                                                 },
                                                 [](PoolSemaphore s) { delete static_cast<WatchedSemaphore*>(s); },
                                                 platform_pool_threads.usable_processors,
                                                 test_clock};

// A worker that ends its part of a frame well before the others still
// spins for the next frame, which comes at once after the frame's end: the
// gap is counted from that end, not from the worker's. Worker 1's part
// takes 300 µs of the test's clock, begun once worker 0 is spinning, and
// ends when worker 0 sleeps, or a long while after it, when it spins on.
// (A worker 500 µs or more ahead of the frame's end sleeps all the same.)
TEST(FastWorkers, AWorkerDoneEarlySpinsUntilTheFramesEnd) {
    WorkerPool pool(2, pool_watching_sleeps);
    ASSERT_EQ(pool.started(), 2);
    auto first_frame = [](void* pool_pointer, int worker) {
        on_pool_thread = true;
        if (worker == 0) return;
        const auto* p = static_cast<const WorkerPool*>(pool_pointer);
        while (p->spins() == 0) std::this_thread::yield();
        test_clock_us += 300;
        std::unique_lock<std::mutex> hold(sleeps_lock);
        sleeps_changed.wait_for(hold, std::chrono::milliseconds(200), [] { return pool_threads_asleep > 0; });
    };
    // The clock stands still but for worker 1's part: both workers expect
    // the next frame closely, and it comes at once.
    pool.begin(first_frame, &pool, 2);
    pool.finish();
    pool.begin([](void*, int) {}, nullptr, 2);
    pool.finish();
    const std::lock_guard<std::mutex> hold(sleeps_lock);
    EXPECT_EQ(pool_threads_asleep, 0) << "a worker slept between frames that followed each other at once";
}
#endif

// --- Misuse and small frames ---------------------------------------------------------

struct JobCounts {
    std::atomic<int> runs[8] = {};
};
void count_run(void* counts, int worker) { static_cast<JobCounts*>(counts)->runs[worker].fetch_add(1); }

// A begin while a frame runs waits for it: each frame's job runs with its own
// context, once on each of its workers.
TEST(FastWorkers, ASecondBeginWaitsForTheFrameInProgress) {
    WorkerPool pool(3, platform_pool_threads);
    ASSERT_EQ(pool.started(), 3);
    for (int k = 0; k < 200; ++k) {
        JobCounts first, second;
        pool.begin(count_run, &first, 3);
        pool.begin(count_run, &second, 3);
        pool.finish();
        for (int w = 0; w < 3; ++w) {
            ASSERT_EQ(first.runs[w].load(), 1) << "frame " << k << " worker " << w;
            ASSERT_EQ(second.runs[w].load(), 1) << "frame " << k << " worker " << w;
        }
    }

    // The same for the engine, drawing into two buffers in turn as the
    // window program does, each read while the other is drawn. A change of
    // timing mid-frame waits too, and times only the frames begun after it.
    start_headless(width, height);
    FastEngine engine(3, best_instruction_set());
    std::vector<std::uint32_t> frame_a(std::size_t{width} * height, 0u), frame_b(frame_a);
    std::vector<float> depth_a(frame_a.size()), depth_b(frame_a.size());
    const FrameTarget a{width, height, frame_a.data(), depth_a.data()};
    const FrameTarget b{width, height, frame_b.data(), depth_b.data()};
    auto next_faces = [] {
        for (int step = 0; step < 23; ++step) transform_and_project();
        return current_faces();
    };
    for (int k = 0; k < 8; ++k) {
        const Faces first = next_faces(), second = next_faces(), third = next_faces(), fourth = next_faces();
        engine.begin_draw(first.face, first.count, a);
        engine.time_stages(true);
        engine.begin_draw(second.face, second.count, b);
        engine.begin_draw(third.face, third.count, a);
        EXPECT_EQ(frame_b, fresh_frame(second, width, height)) << k;
        engine.begin_draw(fourth.face, fourth.count, b);
        EXPECT_EQ(frame_a, fresh_frame(third, width, height)) << k;
        engine.time_stages(false);
        EXPECT_EQ(frame_b, fresh_frame(fourth, width, height)) << k;
    }
    const FastStageTimes times = engine.take_stage_times();
    EXPECT_GT(times.shading_ms, 0.0) << "the frames begun with timing on";
    engine.begin_draw(nullptr, 0, a);
    const FastStageTimes untimed = engine.take_stage_times();
    EXPECT_EQ(untimed.shading_ms + untimed.clearing_ms + untimed.walking_ms + untimed.depth_ms, 0.0);
}

// A pool's services whose calling thread, the moment it waits for a frame's
// end or ends a worker, lets the jobs held by jobs_released go on.
enum class Release { not_yet, by_the_wait_for_the_frame, by_the_end_of_a_worker };
std::atomic<Release> jobs_released{Release::not_yet};
std::thread::id pool_owner;
void release_jobs(Release how) {
    if (std::this_thread::get_id() != pool_owner || jobs_released.load() != Release::not_yet) return;
    jobs_released.store(how);
    jobs_released.notify_all();
}
const PoolThreadServices pool_holding_jobs = {platform_pool_threads.start,
                                              [](PoolThread thread) {
                                                  release_jobs(Release::by_the_end_of_a_worker);
                                                  platform_pool_threads.join(thread);
                                              },
                                              platform_pool_threads.make_semaphore,
                                              platform_pool_threads.post,
                                              [](PoolSemaphore semaphore) {
                                                  release_jobs(Release::by_the_wait_for_the_frame);
                                                  platform_pool_threads.wait(semaphore);
                                              },
                                              platform_pool_threads.free_semaphore,
                                              platform_pool_threads.usable_processors,
                                              platform_pool_threads.microseconds};

// An engine ended while it draws finishes the frame before anything of it
// goes: the frame is complete (under ThreadSanitizer, also no worker touches
// what the engine freed).
TEST(FastWorkers, AnEngineEndedMidFrameFinishesTheFrameFirst) {
    constexpr int large_width = 1910, large_height = 1070;
    start_headless(large_width, large_height);
    std::vector<std::uint32_t> frame(std::size_t{large_width} * large_height);
    std::vector<float> depth(frame.size());
    for (int k = 0; k < 4; ++k) {
        for (int step = 0; step < 200; ++step) transform_and_project();
        const Faces faces = current_faces();
        std::fill(frame.begin(), frame.end(), 0u);
        {
            FastEngine engine(4, best_instruction_set());
            engine.time_stages(true);
            engine.begin_draw(faces.face, faces.count, {large_width, large_height, frame.data(), depth.data()});
        }
        EXPECT_EQ(frame, fresh_frame(faces, large_width, large_height)) << k;
    }
    // And a pool alone, ended while its workers run a job: the jobs hold
    // until the pool's end waits for the frame, or, should it not, ends the
    // workers.
    JobCounts counts;
    jobs_released = Release::not_yet;
    pool_owner = std::this_thread::get_id();
    {
        WorkerPool pool(3, pool_holding_jobs);
        pool.begin(
            [](void* c, int worker) {
                jobs_released.wait(Release::not_yet);
                count_run(c, worker);
            },
            &counts, 3);
    }
    EXPECT_EQ(jobs_released.load(), Release::by_the_wait_for_the_frame);
    for (int w = 0; w < 3; ++w) EXPECT_EQ(counts.runs[w].load(), 1) << w;
}

// The system started again while a frame is drawn gives back the buffers the
// workers draw into: the frame ends first (under AddressSanitizer, no worker
// writes into a buffer given back), and the restarted system draws as a
// fresh start does.
TEST(FastWorkers, StartingTheSystemMidFrameFinishesTheFrameFirst) {
    constexpr std::uint16_t large_width = 1910, large_height = 1070;
    ASSERT_EQ(start_engine({EngineKind::fast, 3}), "");
    start_headless(large_width, large_height);
    render_frame();
    const std::vector<std::uint32_t> first_frame = frame_pixels();
    for (int k = 0; k < 4; ++k) {
        advance_frame_counter();
        begin_frame();
        ASSERT_TRUE(start_system({large_width, large_height}));
        EXPECT_FALSE(frame_in_progress()) << k;
        render_frame();
        EXPECT_EQ(frame_pixels(), first_frame) << k;
    }
    stop_engine();
}

// A job that asks its own pool for a frame, or to wait for one, or ends it,
// would wait for itself forever: the process stops with a message naming
// the misuse instead.
void begin_from_job(void* pool, int) {
    static_cast<WorkerPool*>(pool)->begin([](void*, int) {}, nullptr, 1);
}
void finish_from_job(void* pool, int) { static_cast<WorkerPool*>(pool)->finish(); }
void end_from_job(void* pool, int) { delete static_cast<WorkerPool*>(pool); }

// A death test runs its statement in a child process, made with fork(),
// which WebAssembly does not have.
#if !OMBRASTEL_WASM
TEST(FastWorkersDeathTest, AJobCallingBackIntoItsOwnPoolStopsTheProcess) {
    stop_engine();  // no thread of another test's engine is copied into the child
    const std::string misuse = "misuse of the worker pool: ";
    EXPECT_DEATH(
        {
            WorkerPool pool(2, platform_pool_threads);
            pool.begin(begin_from_job, &pool, 2);
            pool.finish();
        },
        misuse + "a new frame \\(begin\\) was asked for by one of the pool's own jobs");
    EXPECT_DEATH(
        {
            WorkerPool pool(2, platform_pool_threads);
            pool.begin(finish_from_job, &pool, 2);
            pool.finish();
        },
        misuse + "the wait for the frame's end \\(finish\\)");
    EXPECT_DEATH(
        {
            auto* pool = new WorkerPool(2, platform_pool_threads);
            pool->begin(end_from_job, pool, 1);
            pool->finish();
        },
        misuse + "the end of the pool");
    // Without workers the calling thread runs the job, and is caught the same way.
    EXPECT_DEATH(
        {
            WorkerPool pool(2, no_threads);
            pool.begin(begin_from_job, &pool, 2);
        },
        misuse + "a new frame \\(begin\\)");
}
#endif

// A frame wakes the workers it has strips for and no more, and waits for
// those alone.
TEST(FastWorkers, ASmallFrameWakesOnlyTheWorkersItHasStripsFor) {
    WorkerPool pool(6, platform_pool_threads);
    ASSERT_EQ(pool.started(), 6);
    JobCounts counts;
    for (int jobs : {2, 1, 0, 3, 6, 9}) {
        for (auto& r : counts.runs) r = 0;
        pool.begin(count_run, &counts, jobs);
        pool.finish();
        const int woken = std::clamp(jobs, 1, 6);
        for (int w = 0; w < 8; ++w)
            EXPECT_EQ(counts.runs[w].load(), w < woken ? 1 : 0) << jobs << " jobs, worker " << w;
    }

    // The engine: 16 workers, a frame of one strip and one of three.
    start_headless(width, height);
    for (int rows : {strip_rows, 3 * strip_rows - 5}) {
        pool_faults = {};
        FastEngine engine(16, best_instruction_set(), default_estimates, faulty_pool);
        ASSERT_EQ(engine.workers(), 16);
        std::vector<std::uint32_t> frame(std::size_t{width} * rows, 0u);
        std::vector<float> depth(frame.size());
        // The model's middle rows, where every strip has runs.
        const int shift = height / 2 - rows / 2;
        for (int k = 0; k < 20; ++k) {
            for (int step = 0; step < 37; ++step) transform_and_project();
            Faces faces = current_faces();
            for (int f = 0; f < faces.count; ++f)
                for (ShadeCorner& c : faces.face[f].corner)
                    c.position =
                        (c.position & 0xFFFF0000u) | static_cast<std::uint16_t>(screen_point_y(c.position) - shift);
            const long posted_before = semaphores_posted.load();
            engine.draw(faces.face, faces.count, {width, static_cast<std::uint16_t>(rows), frame.data(), depth.data()});
            const int strips = (rows + strip_rows - 1) / strip_rows;
            // One post per woken worker, and the one that says they are done.
            EXPECT_EQ(semaphores_posted.load() - posted_before, strips + 1) << rows << " rows, frame " << k;
            EXPECT_EQ(frame, fresh_frame(faces, width, rows)) << rows << " rows, frame " << k;
        }
    }
}

// --- The calling thread's floating-point control ---------------------------------------

// The calling thread's floating-point control word: MXCSR on x86, FPCR on
// ARM64, and a setting that rounds toward zero and flushes tiny values.
// WebAssembly has no such control: no caller can set one, and nothing here
// has a meaning there.
#if !OMBRASTEL_WASM
#if OMBRASTEL_X86
std::uint64_t float_control() { return _mm_getcsr(); }
void set_float_control(std::uint64_t control) { _mm_setcsr(static_cast<unsigned>(control)); }
constexpr std::uint64_t flush_and_truncate = 0x1F80u | 0x8000u | 0x6000u | 0x0040u;  // FTZ, toward zero, DAZ
#elif OMBRASTEL_ARM64
std::uint64_t float_control() {
    std::uint64_t control;
    __asm__ volatile("mrs %0, fpcr" : "=r"(control));
    return control;
}
void set_float_control(std::uint64_t control) { __asm__ volatile("msr fpcr, %0" : : "r"(control)); }
constexpr std::uint64_t flush_and_truncate = (1u << 24) | (3u << 22);  // FZ, toward zero
#endif

// A caller that rounds toward zero and flushes tiny values gets the same
// frames: every thread that draws, the calling one included, sets the
// default control at the start of each frame.
TEST(FastWorkers, TheCallersFloatControlDoesNotChangeThePicture) {
    const std::uint64_t before = float_control();
    struct Case {
        EngineChoice choice;
        const char* what;
    };
    const Case cases[] = {
        {{EngineKind::reference, 1}, "reference engine, on the calling thread"},
        {{EngineKind::reference, 2}, "reference engine, two workers"},
        {{EngineKind::fast, 2}, "fast engine, two workers"},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<std::uint32_t>> frames[2];
        for (int caller_control = 0; caller_control < 2; ++caller_control) {
            ASSERT_EQ(start_engine(c.choice), "");
            start_headless(width, height);
            for (int k = 0; k < 60; ++k) {
                if (caller_control) set_float_control(flush_and_truncate);
                render_frame();
                if (k % 6 == 0) frames[caller_control].push_back(frame_pixels());
                advance_frame_counter();
            }
            stop_engine();
        }
        EXPECT_EQ(frames[1], frames[0]) << c.what;
    }
    // The fast engine drawing on the calling thread, no worker to be had.
    start_headless(width, height);
    std::vector<std::uint32_t> frame(std::size_t{width} * height, 0u);
    std::vector<float> depth(frame.size());
    FastEngine engine(2, best_instruction_set(), default_estimates, no_threads);
    ASSERT_EQ(engine.workers(), 0);
    for (int k = 0; k < 10; ++k) {
        for (int step = 0; step < 30; ++step) transform_and_project();
        const Faces faces = current_faces();
        const std::vector<std::uint32_t> expected = fresh_frame(faces, width, height);
        set_float_control(flush_and_truncate);
        engine.draw(faces.face, faces.count, {width, height, frame.data(), depth.data()});
        set_float_control(before);
        EXPECT_EQ(frame, expected) << k;
    }
    set_float_control(before);
}
#endif

// --- The partial clearing, as the window program relies on it ------------------------------

// The window program draws frame k + 1 into one buffer while frame k, in
// another, is shown: one engine, its presenter's buffers in turn (two, as
// many as the engine remembers, one more than that). Each buffer is cleared
// by what this engine last drew into it, never into another one, and one it
// no longer remembers is cleared whole.
TEST(FastWorkers, BuffersInTurnEachGetTheirOwnClearing) {
    start_headless(width, height);
    for (int buffers : {2, remembered_buffers, remembered_buffers + 1}) {
        for (int workers : {1, 3}) {
            FastEngine engine(workers, best_instruction_set());
            std::vector<std::vector<std::uint32_t>> frames(buffers,
                                                           std::vector<std::uint32_t>(std::size_t{width} * height, 0u));
            std::vector<float> depth(frames[0].size());
            for (int k = 0; k < 60; ++k) {
                for (int step = 0; step < 13; ++step) transform_and_project();
                const Faces faces = current_faces();
                std::vector<std::uint32_t>& frame = frames[k % buffers];
                engine.draw(faces.face, faces.count, {width, height, frame.data(), depth.data()});
                ASSERT_EQ(frame, fresh_frame(faces, width, height))
                    << buffers << " buffers, " << workers << " workers, frame " << k;
            }
        }
    }
}

// One buffer whose frame shrinks and grows (in rows, in columns, both) under
// a live engine: each change of size clears the buffer's every row whole, as
// a first frame does, and a return to an earlier size does not trust what
// was drawn at it before.
TEST(FastWorkers, OneBufferWhoseFrameChangesSizeIsClearedWhole) {
    start_headless(width, height);
    struct Size {
        int width, height;
    };
    const Size sizes[] = {{width, height}, {width - 100, height - 90}, {width - 100, height},
                          {width, height}, {width, height + 60},       {width + 90, height + 60},
                          {width, height}, {width + 90, height - 30}};
    std::vector<std::uint32_t> buffer(std::size_t(width + 90) * (height + 60), 0u);
    std::vector<float> depth(buffer.size());
    for (int workers : {1, 3}) {
        std::fill(buffer.begin(), buffer.end(), 0u);
        FastEngine engine(workers, best_instruction_set());
        for (const Size& size : sizes) {
            for (int k = 0; k < 3; ++k) {
                for (int step = 0; step < 11; ++step) transform_and_project();
                const Faces faces = current_faces();
                engine.draw(faces.face, faces.count,
                            {static_cast<std::uint16_t>(size.width), static_cast<std::uint16_t>(size.height),
                             buffer.data(), depth.data()});
                ASSERT_EQ(pixels_of(buffer, size.width, size.height), fresh_frame(faces, size.width, size.height))
                    << workers << " workers, " << size.width << " x " << size.height << ", frame " << k;
            }
        }
    }
}

// --- Signals ---------------------------------------------------------------------------------

// The masks are read from /proc, where a program run under a user-mode
// emulator sees the emulator's own threads, whose masks stand for its
// signals with other numbers.
#if defined(__linux__) && !OMBRASTEL_EMULATED
// A signal sent to the whole process must reach the program's own thread,
// which handles it, not a pool thread that would leave the program's thread
// running meanwhile: every pool thread blocks every signal but the faults a
// thread raises on itself (and SIGKILL and SIGSTOP, which no thread can
// block, and the C library's own, which it keeps unblocked).
TEST(FastWorkers, PoolThreadsTakeNoSignalsSentToTheProcess) {
    FastEngine engine(3, best_instruction_set());
    ASSERT_EQ(engine.workers(), 3);
    // A frame with a strip for every worker, so that each thread has begun
    // to run: a thread being created has every signal blocked until it runs.
    start_headless(width, height);
    transform_and_project();
    const Faces faces = current_faces();
    std::vector<std::uint32_t> frame(std::size_t{width} * height, 0u);
    std::vector<float> depth(frame.size());
    engine.draw(faces.face, faces.count, {width, height, frame.data(), depth.data()});
    int pool_threads = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream name_file(task.path() / "comm");
        std::string name;
        std::getline(name_file, name);
        if (name != "ombrastel-pool") continue;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigBlk:", 0) != 0) continue;
            const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
            for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
                const bool unblockable = signal_number == SIGKILL || signal_number == SIGSTOP;
                const bool library_own = signal_number >= 32 && signal_number < SIGRTMIN;
                const bool fault = signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGFPE ||
                                   signal_number == SIGILL || signal_number == SIGTRAP || signal_number == SIGSYS;
                EXPECT_EQ(blocked >> (signal_number - 1) & 1, unblockable || library_own || fault ? 0u : 1u)
                    << "thread " << task.path().filename() << " signal " << signal_number;
            }
            ++pool_threads;
        }
    }
    EXPECT_EQ(pool_threads, 3);
}
#endif

}  // namespace
