// Whole frames of every engine against the scalar version: the reference
// engine's depths and pictures to the bit, and every fast engine (every
// instruction set this processor can use, 1, 2, 3 and 7 workers) drawing
// the same, over a whole zoom period and sampled frames of every shape.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/fast_engine.h"
#include "pipeline/frame.h"
#include "reference_shading.h"
#include "scene/preparation.h"
#include "test_support.h"

namespace {

// --- Whole frames of every engine against the scalar version -----------------

// A fast engine under test, with buffers of its own that it keeps from frame
// to frame, so that its clearing of what the frame before drew is tested too.
struct FastUnderTest {
    std::string name;
    std::unique_ptr<FastEngine> engine;
    std::vector<std::uint32_t> frame;
    std::vector<float> depth;
};

// The fast engine with every instruction set this processor can use with the
// arithmetic and 1, 2, 3 and 7 workers.
std::vector<FastUnderTest> fast_engines(int width, int height, Estimates estimates) {
    std::vector<FastUnderTest> engines;
    for (InstructionSet set : built_instruction_sets()) {
        if (!instruction_set_usable(set, estimates)) {
            std::printf("not checked: this processor cannot use %s with the %s arithmetic\n", instruction_set_name(set),
                        estimates_name(estimates));
            continue;
        }
        for (int workers : {1, 2, 3, 7}) {
            FastUnderTest e{std::string(instruction_set_name(set)) + " with " + std::to_string(workers) + " workers, " +
                                estimates_name(estimates) + " arithmetic",
                            std::make_unique<FastEngine>(workers, set, estimates),
                            std::vector<std::uint32_t>(std::size_t(width) * height, 0u),
                            std::vector<float>(std::size_t(width) * height, 0.0f)};
            EXPECT_EQ(e.engine->workers(), workers) << e.name;
            engines.push_back(std::move(e));
        }
    }
    return engines;
}

// Renders frames 0..last from the initial state with the reference engine
// and checks the sampled ones against the scalar passes, the depth buffer and
// the picture to the bit; and draws the same sampled frames with every fast
// engine, whose pictures must be the same to the bit, and whose depths too
// wherever a face stored one. With each arithmetic in turn.
void check_frames_with(int width, int height, int last, int every, Estimates estimates) {
    every *= frame_stride();
    SCOPED_TRACE(std::string(estimates_name(estimates)) + " arithmetic");
    ASSERT_EQ(start_engine({EngineKind::reference, 0, std::nullopt, estimates}), "");
    start_headless(width, height);
    std::vector<FastUnderTest> engines = fast_engines(width, height, estimates);
    const std::size_t pixels = std::size_t(width) * height;
    for (int k = 0; k <= last; ++k) {
        if (k % every != 0) {
            transform_and_project();
            advance_frame_counter();
            continue;
        }
        render_frame();
        const std::vector<float> expected_depth = reference::depth_frame();
        ASSERT_EQ(0, std::memcmp(depth_buffer, expected_depth.data(), pixels * sizeof(float)))
            << "reference depth of frame " << k << " at " << width << "x" << height;
        const std::vector<std::uint32_t> expected = reference::shade_frame(expected_depth, estimates);
        ASSERT_EQ(frame_pixels(), expected) << "reference frame " << k << " at " << width << "x" << height;

        FrameFace faces[working_array_room];
        const int count = gather_frame_faces(faces);
        for (FastUnderTest& e : engines) {
            e.engine->draw(faces, count, {frame_width, frame_height, e.frame.data(), e.depth.data()});
            ASSERT_EQ(e.frame, expected) << e.name << ", frame " << k << " at " << width << "x" << height;
            for (std::size_t i = 0; i < pixels; ++i) {
                if (bits(expected_depth[i]) == far_depth_bits) continue;
                ASSERT_EQ(bits(e.depth[i]), bits(expected_depth[i]))
                    << e.name << ", depth of frame " << k << " at pixel " << i;
            }
        }
        advance_frame_counter();
    }
    stop_engine();
}

void check_frames(int width, int height, int last, int every) {
    for (Estimates estimates : arithmetics()) check_frames_with(width, height, last, every, estimates);
    // The tests after this one in the process start with the default model.
    prepare_model(default_estimates);
}

TEST(WholeFrames, EveryFrameOfAZoomPeriodMatchesTheScalarPasses) { check_frames(320, 240, 1823, 1); }

TEST(WholeFrames, SampledFullSizeFramesMatchTheScalarPasses) { check_frames(1910, 1070, 3647, 331); }

TEST(WholeFrames, SampledPortraitFramesMatchTheScalarPasses) { check_frames(1070, 1910, 3647, 229); }

// Row counts that leave the last strip short, and frames of a single strip
// or less.
TEST(WholeFrames, FramesWithAShortLastStripMatchTheScalarPasses) {
    for (const auto& [width, height] : {std::pair{322, 242}, {100, 78}, {64, 6}, {30, 2}, {2, 2}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        check_frames(width, height, 1823, 17);
    }
}

}  // namespace
