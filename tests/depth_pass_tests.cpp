// The depth pre-pass: coverage rules, fixed-point edges, depth arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "depth_routines.h"
#include "pipeline/depth_pass.h"
#include "pipeline/frame.h"
#include "test_support.h"

namespace {

ScreenPoint point(int x, int y) { return make_screen_point(static_cast<float>(x), static_cast<float>(y)); }

// A fresh far-depth buffer of the given frame size.
void fresh_frame(int width, int height) {
    start_headless(width, height);
    clear_buffers();
}

// Every written pixel, as (x, y) -> depth.
std::map<std::pair<int, int>, float> written() {
    std::map<std::pair<int, int>, float> pixels;
    for (int y = 0; y < frame_height; ++y)
        for (int x = 0; x < frame_width; ++x)
            if (bits(depth_buffer[y * frame_width + x]) != far_depth_bits)
                pixels[{x, y}] = depth_buffer[y * frame_width + x];
    return pixels;
}

using Pixels = std::map<std::pair<int, int>, float>;

TEST(DepthTriangle, WorkedFaceOnAnEightBySixFrame) {
    fresh_frame(8, 6);
    const ScreenPoint corners[3] = {point(1, 0), point(6, 4), point(0, 5)};
    const float depths[3] = {10.0f, 20.0f, 0.0f};
    depth_triangle(corners, depths, global_frame_target());
    const Pixels expected = {
        {{0, 1}, 8.0f}, {{1, 1}, 10.25f}, {{0, 2}, 6.0f},   {{1, 2}, 9.0f},    {{2, 2}, 12.0f},
        {{0, 3}, 4.0f}, {{1, 3}, 7.375f}, {{2, 3}, 10.75f}, {{3, 3}, 14.125f}, {{0, 4}, 2.0f},
        {{1, 4}, 5.0f}, {{2, 4}, 8.0f},   {{3, 4}, 11.0f},  {{4, 4}, 14.0f},   {{5, 4}, 17.0f},
    };
    EXPECT_EQ(written(), expected);
}

TEST(DepthTriangle, FlatTopKeepsFaceOrderOnAEqualRow) {
    fresh_frame(10, 8);
    const ScreenPoint corners[3] = {point(5, 2), point(1, 2), point(3, 6)};
    const float depths[3] = {1.0f, 2.0f, 3.0f};
    depth_triangle(corners, depths, global_frame_target());
    const Pixels expected = {
        {{1, 2}, 2.0f}, {{2, 2}, 1.75f}, {{3, 2}, 1.5f}, {{4, 2}, 1.25f}, {{1, 3}, 2.25f},
        {{2, 3}, 2.0f}, {{3, 3}, 1.75f}, {{2, 4}, 2.5f}, {{3, 4}, 2.25f}, {{2, 5}, 2.75f},
    };
    EXPECT_EQ(written(), expected);
}

TEST(DepthTriangle, FacesThatCoverNothing) {
    fresh_frame(16, 16);
    const float depths[3] = {1.0f, 1.0f, 1.0f};
    const ScreenPoint one_row[3] = {point(1, 5), point(9, 5), point(14, 5)};
    const ScreenPoint left_of_frame[3] = {point(-1, 1), point(-30, 9), point(-2, 14)};
    const ScreenPoint right_of_frame[3] = {point(16, 1), point(30, 9), point(17, 14)};
    const ScreenPoint below_frame[3] = {point(1, 16), point(9, 20), point(14, 30)};
    for (const ScreenPoint* corners : {one_row, left_of_frame, right_of_frame, below_frame}) {
        depth_triangle(corners, depths, global_frame_target());
        EXPECT_TRUE(written().empty());
    }
}

TEST(DepthTriangle, EqualDepthKeepsTheFirstFaceAndFarDepthNeverEnters) {
    fresh_frame(8, 8);
    const ScreenPoint corners[3] = {point(0, 0), point(8, 0), point(0, 8)};
    const float first[3] = {-0.0f, -0.0f, -0.0f};
    const float second[3] = {0.0f, 0.0f, 0.0f};
    depth_triangle(corners, first, global_frame_target());
    depth_triangle(corners, second, global_frame_target());
    // Row 0 starts at the corner itself with -0: +0 is not smaller.
    EXPECT_EQ(bits(depth_buffer[0]), 0x80000000u);

    fresh_frame(8, 8);
    const float far[3] = {far_depth(), far_depth(), far_depth()};
    const float beyond[3] = {70000.0f, 70000.0f, 70000.0f};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float not_a_number[3] = {nan, nan, nan};
    for (const float* depths : {far, beyond, not_a_number}) depth_triangle(corners, depths, global_frame_target());
    EXPECT_TRUE(written().empty());
}

TEST(DepthTriangle, CornersRoundToEvenColumns) {
    // Corners at x 2.5 and 3.5 lie on columns 2 and 4: a face between them
    // covers columns 2 and 3 of each row.
    fresh_frame(8, 8);
    const ScreenPoint corners[3] = {make_screen_point(2.5f, 0.0f), make_screen_point(3.5f, 0.0f),
                                    make_screen_point(2.5f, 4.0f)};
    const ScreenPoint square[3] = {corners[0], corners[1], make_screen_point(3.5f, 4.0f)};
    const float depths[3] = {1.0f, 1.0f, 1.0f};
    depth_triangle(corners, depths, global_frame_target());
    depth_triangle(square, depths, global_frame_target());
    const Pixels w = written();
    EXPECT_TRUE(w.count({2, 0}) && w.count({3, 0}));
    for (const auto& [pixel, depth] : w) EXPECT_TRUE(pixel.first == 2 || pixel.first == 3);
}

TEST(DepthSpan, ClippedAtBothEndsKeepsTheUnclippedSteps) {
    fresh_frame(8, 4);
    depth_span(1, -3, 0.0f, 13, 16.0f, global_frame_target());
    for (int x = 0; x < 8; ++x) EXPECT_EQ(depth_buffer[8 + x], 3.0f + x);
    EXPECT_EQ(written().size(), 8u);
}

TEST(DepthSpan, EndsInEitherOrderWriteTheSame) {
    fresh_frame(16, 4);
    depth_span(2, 3, 5.0f, 11, 9.0f, global_frame_target());
    const Pixels forwards = written();
    fresh_frame(16, 4);
    depth_span(2, 11, 9.0f, 3, 5.0f, global_frame_target());
    EXPECT_EQ(written(), forwards);
    EXPECT_EQ(forwards.size(), 8u);
}

TEST(DepthSpan, RunsThatWriteNothing) {
    fresh_frame(8, 4);
    depth_span(1, 4, 1.0f, 4, 1.0f, global_frame_target());   // equal ends
    depth_span(1, -5, 1.0f, 0, 1.0f, global_frame_target());  // right end at 0
    depth_span(1, 8, 1.0f, 12, 1.0f, global_frame_target());  // left end at the frame width
    depth_span(-1, 0, 1.0f, 8, 1.0f, global_frame_target());  // row above the frame
    depth_span(4, 0, 1.0f, 8, 1.0f, global_frame_target());   // row frame_height
    EXPECT_TRUE(written().empty());
    depth_span(3, 0, 1.0f, 1, 1.0f, global_frame_target());  // one pixel: the left end's
    EXPECT_EQ(written(), (Pixels{{{0, 3}, 1.0f}}));
}

TEST(DepthTriangle, NeverWritesOutsideTheFrame) {
    // A frame inside a larger block: guard rows before and after must stay.
    fresh_frame(32, 16);
    std::vector<float> block(32 * 20, -1.0f);
    float* inner = block.data() + 32 * 2;
    std::fill(inner, inner + 32 * 16, far_depth());
    const ScreenPoint huge[3] = {point(-32768, -32768), point(32767, 5), point(-100, 32767)};
    const float depths[3] = {1.0f, 2.0f, 3.0f};
    depth_triangle(huge, depths, FrameTarget{32, 16, nullptr, inner});
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(block[i], -1.0f);
        ASSERT_EQ(block[block.size() - 1 - i], -1.0f);
    }
}

}  // namespace
