// Long but bounded runs: the renderer keeps drawing the same animation however
// long it runs, with flat memory (under a sanitizer, flat allocations) and no
// stray depths.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "pipeline/frame.h"
#include "test_support.h"

namespace {

// The turn repeats every 512 frames and the zoom, from its second period
// on, every 1824: together every 29184 frames.
constexpr int turn_period = 512;
constexpr int zoom_period = 1824;
constexpr int animation_period = 29184;
static_assert(animation_period % turn_period == 0 && animation_period % zoom_period == 0);
// The first frame of the zoom's second period: the 1475th frame.
constexpr int second_zoom_period = 1474;

// A figure of /proc/self/status, such as "VmRSS:" (in KiB) or "Threads:".
long process_status(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
}
long thread_count() { return process_status("Threads:"); }

// The threads, once every thread that is ending has left: a thread the
// reference engine has joined may still be counted for a moment, as the
// kernel lets the join return before the thread leaves the count. A count
// that stays above `expected` for seconds is a thread that did not end.
long settled_thread_count(long expected) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    long count = thread_count();
    while (count > expected && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::yield();
        count = thread_count();
    }
    return count;
}

// The memory the renderer holds, in KiB. A sanitizer keeps its own records
// of every thread and allocation, which grow with the two threads of every
// frame: resident memory then says nothing about the renderer's. But the
// sanitizer's allocator counts the bytes allocated and not yet freed, which
// are the renderer's alone: that figure is taken instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
long memory_kib() { return static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024); }
constexpr const char* memory_measured = "bytes allocated and not freed (the sanitizer's count)";
#else
long memory_kib() { return process_status("VmRSS:"); }
constexpr const char* memory_measured = "resident memory";
#endif

void expect_flat(long early_kib, long late_kib) {
    ASSERT_GT(early_kib, 0);
    EXPECT_LE(late_kib - early_kib, 256) << memory_measured << " grew";
}

std::uint64_t frame_hash() {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (std::size_t i = 0; i < std::size_t{frame_width} * frame_height; ++i) {
        hash = (hash ^ frame_buffer[i]) * 1099511628211ull;
    }
    return hash;
}

bool depths_are_numbers() {
    for (std::size_t i = 0; i < std::size_t{frame_width} * frame_height; ++i)
        if (!std::isfinite(depth_buffer[i])) return false;
    return true;
}

// Both engines: the reference engine's two threads per frame and the fast
// engine's pool, which keeps its threads from start to end.
class Soak : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override { ASSERT_EQ(start_engine({GetParam()}), ""); }
    void TearDown() override { stop_engine(); }
};
INSTANTIATE_TEST_SUITE_P(BothEngines, Soak, ::testing::Values(EngineKind::fast, EngineKind::reference),
                         [](const auto& info) { return std::string(engine_name(info.param)); });

TEST_P(Soak, HundredThousandSmallFramesRepeatWithFlatMemory) {
    constexpr int frames = 100000;
    start_headless(96, 72);
    // Filled up front, so that the test's own bookkeeping does not count as
    // growth of the renderer's memory.
    std::vector<std::uint64_t> hashes(frames, 0);
    // Between frames only the pool's threads run besides this one: none for
    // the reference engine, whose workers end with each frame.
    const RunningEngine engine = running_engine();
    const long threads = 1 + (engine.kind == EngineKind::fast ? engine.workers : 0);
    long memory_early = 0;
    int distinct_checked = 0;
    for (int k = 0; k < frames; ++k) {
        render_frame();
        hashes[k] = frame_hash();
        ASSERT_TRUE(depths_are_numbers()) << "frame " << k;
        if (k == 1000) memory_early = memory_kib();
        if (k >= 1000 && k % 997 == 0) {
            ASSERT_EQ(settled_thread_count(threads), threads) << "frame " << k;
        }
        if (k >= second_zoom_period + animation_period) {
            ASSERT_EQ(hashes[k], hashes[k - animation_period]) << "frame " << k;
            ++distinct_checked;
        }
        advance_frame_counter();
    }
    const long memory_late = memory_kib();
    std::printf("%s after 1000 frames: %ld KiB, after %d frames: %ld KiB\n", memory_measured, memory_early, frames,
                memory_late);
    expect_flat(memory_early, memory_late);
    EXPECT_GT(distinct_checked, 40000);
    // The animation does move: frames half a turn apart differ.
    EXPECT_NE(hashes[2000], hashes[2000 + turn_period / 2]);
}

TEST_P(Soak, AWholeZoomPeriodAtFullSize) {
    start_headless(1910, 1070);
    long memory_early = 0;
    for (int k = 0; k < zoom_period; ++k) {
        render_frame();
        ASSERT_TRUE(depths_are_numbers()) << "frame " << k;
        if (k == 100) memory_early = memory_kib();
        advance_frame_counter();
    }
    const long memory_late = memory_kib();
    std::printf("%s after 100 frames: %ld KiB, after %d frames: %ld KiB\n", memory_measured, memory_early, zoom_period,
                memory_late);
    expect_flat(memory_early, memory_late);
}

}  // namespace
