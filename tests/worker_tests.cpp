// The workers of both engines: the reference engine's two workers, one
// thread or workers that cannot be had all give the same picture, and no
// worker outlives the shading pass; the fast engine's pool gives that same
// picture with any number of workers, with workers or signals that cannot be
// had, and ends every thread it started.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <memory>

#include "engine/engine.h"
#include "engine/fast_engine.h"
#include "engine/worker_pool.h"
#include "pipeline/frame.h"
#include "raster/shading.h"
#include "raster/worker_threads.h"
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

// The platform's pool services with faults put in: the n-th thread or signal
// refused, and pinning to processors the machine does not have. Counts the
// threads started and joined and the signals made and freed.
struct PoolFaults {
    int refuse_thread_from = 1 << 30;   // threads started before this one are allowed
    bool refuse_every_second_thread = false;
    int refuse_signal_number = -1;      // this signal (0 = the first) is refused
    bool far_processors = false;
    int threads_started = 0, threads_joined = 0, signals_made = 0, signals_freed = 0, signals_asked = 0;
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
PoolSignal faulty_make_signal() {
    if (pool_faults.signals_asked++ == pool_faults.refuse_signal_number) return nullptr;
    PoolSignal signal = platform_pool_threads.make_signal();
    pool_faults.signals_made += signal != nullptr;
    return signal;
}
void faulty_free_signal(PoolSignal signal) {
    ++pool_faults.signals_freed;
    platform_pool_threads.free_signal(signal);
}
const PoolThreadServices faulty_pool = {faulty_start,        faulty_join,        faulty_make_signal,
                                        platform_pool_threads.raise, platform_pool_threads.await,
                                        faulty_free_signal,  platform_pool_threads.usable_processors};

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
    struct Case {
        PoolFaults faults;
        int workers;
        int expected_started;
        const char* what;
    };
    auto faults_with = [](auto change) {
        PoolFaults f;
        change(f);
        return f;
    };
    const Case cases[] = {
        {faults_with([](PoolFaults& f) { f.refuse_thread_from = 0; }), 4, 0, "no thread started: the calling thread draws"},
        {faults_with([](PoolFaults& f) { f.refuse_thread_from = 2; }), 4, 2, "the third and fourth threads refused"},
        {faults_with([](PoolFaults& f) { f.refuse_every_second_thread = true; }), 4, 2, "every second thread refused"},
        {faults_with([](PoolFaults& f) { f.refuse_signal_number = 0; }), 3, 0, "the pool's own signal refused"},
        {faults_with([](PoolFaults& f) { f.refuse_signal_number = 2; }), 3, 2, "one worker's signal refused"},
        {faults_with([](PoolFaults& f) { f.far_processors = true; }), 3, 3, "pinning to processors the machine lacks"},
    };
    for (const Case& c : cases) {
        pool_faults = c.faults;
        {
            FastEngine engine(c.workers, best_instruction_set(), default_estimates, faulty_pool);
            EXPECT_EQ(engine.workers(), c.expected_started) << c.what;
            EXPECT_EQ(fast_frames(engine), reference) << c.what;
        }
        // Every thread started is ended and waited for, every signal freed.
        EXPECT_EQ(pool_faults.threads_started, c.expected_started) << c.what;
        EXPECT_EQ(pool_faults.threads_joined, pool_faults.threads_started) << c.what;
        EXPECT_EQ(pool_faults.signals_freed, pool_faults.signals_made) << c.what;
    }
}

// Frames that follow each other closely find the workers watching for them;
// frames that come a few milliseconds apart, as in the window program's idle
// mode, find them asleep, having gone to sleep without watching.
TEST(FastWorkers, OnlyFramesThatFollowCloselyAreWatchedFor) {
    WorkerPool pool(2, platform_pool_threads);
    ASSERT_EQ(pool.started(), 2);
    auto nothing = [](void*, int) {};
    for (int k = 0; k < 200; ++k) {
        pool.begin(nothing, nullptr);
        pool.finish();
    }
    EXPECT_GT(pool.watches(), 100) << "back to back";
    const long before_paced = pool.watches();
    for (int k = 0; k < 50; ++k) {
        pool.begin(nothing, nullptr);
        pool.finish();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // At most one watch per worker: after the first frame that came late.
    EXPECT_LE(pool.watches() - before_paced, 2) << "paced";
}

#ifdef __linux__
// A signal sent to the whole process must reach the program's own thread,
// which handles it, not a pool thread that would leave the program's thread
// running meanwhile: every pool thread blocks SIGINT and SIGTERM.
TEST(FastWorkers, PoolThreadsTakeNoSignalsSentToTheProcess) {
    FastEngine engine(3, best_instruction_set());
    ASSERT_EQ(engine.workers(), 3);
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
            for (int signal_number : {SIGINT, SIGTERM})
                EXPECT_TRUE(blocked >> (signal_number - 1) & 1) << "thread " << task.path().filename() << " signal "
                                                                << signal_number;
            ++pool_threads;
        }
    }
    EXPECT_EQ(pool_threads, 3);
}
#endif

}  // namespace
