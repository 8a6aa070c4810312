// The render workers: two workers, one thread or workers that cannot be had
// all give the same picture, and no worker outlives the shading pass.
#include <gtest/gtest.h>


#include "engine/engine.h"
#include "pipeline/frame.h"
#include "raster/shading.h"
#include "raster/worker_threads.h"
#include "test_support.h"

namespace {

// Frames 0, 150, 300, ... 1800 of the animation at the given frame size.
std::vector<std::vector<std::uint32_t>> sampled_frames(int width, int height) {
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

class RenderWorkers : public ::testing::Test {
  protected:
    void TearDown() override {
        worker_threads = &platform_worker_threads;
        shading_mode = ShadingMode::two_workers;
    }
    static const std::vector<std::vector<std::uint32_t>>& one_thread_frames() {
        static const auto frames = [] {
            shading_mode = ShadingMode::calling_thread;
            auto f = sampled_frames(330, 250);
            shading_mode = ShadingMode::two_workers;
            return f;
        }();
        return frames;
    }
};

TEST_F(RenderWorkers, TwoWorkersDrawWhatOneThreadDraws) {
    const auto reference = one_thread_frames();
    EXPECT_EQ(sampled_frames(330, 250), reference);
    // Something is drawn in both halves of the frame.
    const std::vector<std::uint32_t>& frame = reference[1];
    EXPECT_TRUE(std::any_of(frame.begin(), frame.begin() + frame.size() / 2, [](auto p) { return p != 0; }));
    EXPECT_TRUE(std::any_of(frame.begin() + frame.size() / 2, frame.end(), [](auto p) { return p != 0; }));
}

TEST_F(RenderWorkers, WorkersThatCannotBeHadLeaveTheFrameComplete) {
    const auto reference = one_thread_frames();
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
        EXPECT_EQ(sampled_frames(330, 250), reference) << c.what;
        // Every handle that was created is closed; only started ones are waited for.
        EXPECT_EQ(faults.closed, faults.created) << c.what;
        EXPECT_LE(faults.waited, faults.created) << c.what;
    }
}

}  // namespace
