// Start-up, clearing, the frame's rotation, the zoom and the projection.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/preparation.h"
#include "test_support.h"

namespace {

// --- Start-up ---------------------------------------------------------------

TEST(Startup, FullHdScreenGivesTheFrameCentreAndScale) {
    FrameSize size{};
    ASSERT_TRUE(frame_size_for_screen(1920, 1080, &size));
    EXPECT_EQ(size.width, 1910);
    EXPECT_EQ(size.height, 1070);
    ASSERT_TRUE(start_system(size));
    EXPECT_EQ(screen_centre[0], 955);
    EXPECT_EQ(screen_centre[1], 535);
    EXPECT_EQ(scale, 267.0f);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(frame_buffer) % 4096, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(depth_buffer) % 4096, 0u);
    for (std::size_t i = 0; i < std::size_t{frame_width} * frame_height; ++i) {
        ASSERT_EQ(frame_buffer[i], 0u);
        ASSERT_EQ(bits(depth_buffer[i]), 0u);
    }
}

TEST(Startup, OddSidesAreBroughtDownToEven) {
    FrameSize size{};
    ASSERT_TRUE(frame_size_for_screen(1367, 769, &size));
    EXPECT_EQ(size.width, 1356);
    EXPECT_EQ(size.height, 758);
}

TEST(Startup, TinyScreensFailWithoutObtainingBuffers) {
    FrameSize size{};
    EXPECT_FALSE(frame_size_for_screen(11, 600, &size));
    EXPECT_FALSE(frame_size_for_screen(800, 10, &size));
    EXPECT_FALSE(frame_size_for_screen(0, 0, &size));
    EXPECT_FALSE(frame_size_for_screen(-5, 600, &size));
    ASSERT_TRUE(frame_size_for_screen(12, 13, &size));
    EXPECT_EQ(size.width, 2);
    EXPECT_EQ(size.height, 2);

    static int obtained;
    obtained = 0;
    auto counting_source = [](std::size_t bytes) {
        ++obtained;
        return obtain_heap_buffer(bytes);
    };
    EXPECT_FALSE(start_system({0, 600}, counting_source));
    EXPECT_FALSE(start_system({3, 600}, counting_source));
    EXPECT_FALSE(start_system({32768, 600}, counting_source));
    EXPECT_EQ(obtained, 0);
}

TEST(Startup, RefusedBufferFailsTheStart) {
    auto no_memory = [](std::size_t) -> void* { return nullptr; };
    EXPECT_FALSE(start_system({320, 240}, no_memory));
    EXPECT_EQ(frame_buffer, nullptr);
}

// The prepared model's items that depend on the arithmetic.
struct PreparedModel {
    std::vector<std::uint32_t> words;
    static PreparedModel now() {
        PreparedModel m;
        auto add = [&](const float* first, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) m.words.push_back(bits(first[i]));
        };
        for (const LightRecord& light : lights) add(light.direction.lane, 4);
        for (int v = 0; v < vertex_count; ++v) {
            add(&model_vertices[v].x, 3);
            add(&vertex_normals[v].x, 3);
        }
        return m;
    }
    bool operator==(const PreparedModel&) const = default;
};

// Choosing the arithmetic prepares the model again, before or after the
// start-up, and a restart keeps the arithmetic the engine chose.
TEST(Startup, TheModelIsPreparedWithTheEnginesArithmetic) {
    std::vector<std::pair<Estimates, PreparedModel>> prepared;
    for (Estimates e : {Estimates::x86, Estimates::ieee}) {
        if (e == Estimates::x86 && !x86_estimates_available) continue;
        prepare_model(e);
        prepared.push_back({e, PreparedModel::now()});
    }
    for (const auto& [estimates, model] : prepared) {
        for (EngineKind kind : {EngineKind::fast, EngineKind::reference}) {
            SCOPED_TRACE(std::string(estimates_name(estimates)) + ", " + engine_name(kind));
            for (const auto& [other, other_model] : prepared) {
                // From a model prepared with either arithmetic, engine first
                // or start-up first.
                prepare_model(other);
                ASSERT_EQ(start_engine({kind, 0, std::nullopt, estimates}), "");
                EXPECT_EQ(PreparedModel::now(), model);
                EXPECT_EQ(running_engine().estimates, estimates);
                start_headless(64, 48);
                EXPECT_EQ(PreparedModel::now(), model);
                stop_engine();
            }
        }
    }
    // The shipped model spans -1 to 1 on its widest axis: with a rounded
    // division the scale is exactly 1, and light 0, of unit length already,
    // keeps its direction to the bit.
    prepare_model(Estimates::ieee);
    const PreparedModel exact = PreparedModel::now();
    restore_initial_model();
    for (int v = 0; v < vertex_count; ++v)
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_EQ(exact.words[12 + 6 * v + axis], bits((&model_vertices[v].x)[axis])) << v;
    for (int lane = 0; lane < 4; ++lane) EXPECT_EQ(exact.words[lane], bits(lights[0].direction.lane[lane]));
    prepare_model(default_estimates);
}

// --- Clearing ---------------------------------------------------------------

TEST(FillDwords, WritesExactlyTheCount) {
    for (std::uint32_t count : {4u, 12u, 16u, 20u, 64u, 100u}) {
        alignas(16) std::uint32_t buffer[128];
        std::fill(std::begin(buffer), std::end(buffer), 0xDEADBEEFu);
        fill_dwords(0x12345678u, count, buffer + 4);
        for (std::uint32_t i = 0; i < 128; ++i) {
            const bool inside = i >= 4 && i < 4 + count;
            ASSERT_EQ(buffer[i], inside ? 0x12345678u : 0xDEADBEEFu) << "count " << count << " element " << i;
        }
    }
}

TEST(FillDwords, ClearsLeaveBlackAndTheFarDepthToTheLastElement) {
    start_headless(322, 242);
    render_frame();
    clear_buffers();
    const std::size_t count = std::size_t{frame_width} * frame_height;
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(frame_buffer[i], 0u) << i;
        ASSERT_EQ(bits(depth_buffer[i]), far_depth_bits) << i;
    }
}

// --- Rotation ---------------------------------------------------------------

struct CoefficientCase {
    std::int32_t frame;
    std::uint32_t cos_a, sin_a, cos_2a, sin_2a;
};

TEST(Rotation, CoefficientsOfKnownFramesToTheBit) {
    const CoefficientCase cases[] = {
        {0, 0x3F800000u, 0x00000000u, 0x3F800000u, 0x00000000u},
        {1, 0x3F7FFB11u, 0x3C4906D1u, 0x3F7FEC45u, 0x3CC902F2u},
        {128, 0x3977D444u, 0x3F800000u, 0xBF7FFFFEu, 0x39F7D444u},
    };
    for (const CoefficientCase& c : cases) {
        compute_rotation_coeffs(c.frame);
        EXPECT_EQ(bits(rotation_coeffs[0]), c.cos_a) << "frame " << c.frame;
        EXPECT_EQ(bits(rotation_coeffs[1]), c.sin_a) << "frame " << c.frame;
        EXPECT_EQ(bits(rotation_coeffs[4]), c.cos_2a) << "frame " << c.frame;
        EXPECT_EQ(bits(rotation_coeffs[5]), c.sin_2a) << "frame " << c.frame;
        for (int i : {0, 1, 4, 5}) EXPECT_EQ(bits(rotation_coeffs[i + 2]), bits(rotation_coeffs[i]) ^ 0x80000000u);
    }
    compute_rotation_coeffs(0);
    EXPECT_EQ(bits(rotation_coeffs[3]), 0x80000000u);  // -0.0
    EXPECT_EQ(bits(rotation_coeffs[7]), 0x80000000u);
}

TEST(Rotation, EveryFrameNumberAgreesWithWiderPrecision) {
    for (std::int32_t frame = 0; frame < 512; ++frame) {
        compute_rotation_coeffs(frame);
        const long double a = frame * static_cast<long double>(angle_step);
        const float expected[4] = {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)),
                                   static_cast<float>(std::cos(2 * a)), static_cast<float>(std::sin(2 * a))};
        ASSERT_EQ(bits(rotation_coeffs[0]), bits(expected[0])) << "frame " << frame;
        ASSERT_EQ(bits(rotation_coeffs[1]), bits(expected[1])) << "frame " << frame;
        ASSERT_EQ(bits(rotation_coeffs[4]), bits(expected[2])) << "frame " << frame;
        ASSERT_EQ(bits(rotation_coeffs[5]), bits(expected[3])) << "frame " << frame;
    }
}

TEST(Rotation, FrameZeroExchangesXAndZ) {
    compute_rotation_coeffs(0);
    Vec3 source[3] = {{1.5f, -2.25f, 7.0f}, {0.0f, 1.0f, -3.0f}};
    Vec3 destination[3];
    rotate_points(2, source, destination);
    EXPECT_EQ(destination[0].x, 7.0f);
    EXPECT_EQ(destination[0].y, -2.25f);
    EXPECT_EQ(destination[0].z, 1.5f);
    EXPECT_EQ(destination[1].x, -3.0f);
}

TEST(Rotation, MatchesTheScalarFormulaForEveryFrameNumber) {
    const Vec3 points[] = {{-1.0f, -1.0f, 1.0f}, {0.3f, 0.9f, -0.7f}, {123.5f, -0.001f, 42.0f}};
    for (std::int32_t frame = 0; frame < 512; ++frame) {
        compute_rotation_coeffs(frame);
        const float c = rotation_coeffs[0], s = rotation_coeffs[1];
        const float c2 = rotation_coeffs[4], s2 = rotation_coeffs[5];
        Vec3 turned[4];
        rotate_points(3, points, turned);
        for (int i = 0; i < 3; ++i) {
            const Vec3& p = points[i];
            const float y1 = p.y * c2 + p.z * s2;
            const float z1 = p.z * c2 - p.y * s2;
            ASSERT_EQ(bits(turned[i].x), bits(p.x * s + z1 * c)) << "frame " << frame;
            ASSERT_EQ(bits(turned[i].y), bits(y1)) << "frame " << frame;
            ASSERT_EQ(bits(turned[i].z), bits(p.x * c - z1 * s)) << "frame " << frame;
        }
    }
}

// --- Zoom and projection ------------------------------------------------------

// The scale of every frame from the first, rendered geometry only.
std::vector<float> scales_of_frames(int frames) {
    start_headless(1910, 1070);
    std::vector<float> scales;
    for (int k = 0; k < frames; ++k) {
        zoom_step();
        scales.push_back(scale);
    }
    return scales;
}

TEST(Zoom, SequenceOnA1070RowFrame) {
    start_headless(1910, 1070);
    zoom_step();
    EXPECT_EQ(scale, 267.45392f);
    EXPECT_EQ(zoom_counter, 351);

    std::vector<float> s;
    std::vector<int> counter;
    start_headless(1910, 1070);
    for (int k = 0; k < 2386; ++k) {
        zoom_step();
        s.push_back(scale);
        counter.push_back(zoom_counter);
    }
    // Each figure is the float nearest to the decimal: compared exactly.
    EXPECT_EQ(s[561], 693.57806f);  // the 562nd frame: the peak
    EXPECT_EQ(counter[561], 912);
    EXPECT_EQ(s[562], 692.40100f);  // the 563rd shrinks
    EXPECT_EQ(counter[562], 911);
    EXPECT_EQ(s[1473], 147.34418f);  // the low
    EXPECT_EQ(counter[1473], 0);
    EXPECT_EQ(s[1474], 147.59467f);  // growing again
    EXPECT_EQ(s[2385], 693.59833f);  // the second peak
    EXPECT_EQ(*std::max_element(s.begin(), s.begin() + 1474), s[561]);
}

TEST(Zoom, EveryPeriodAfterTheFirstTurnRepeatsTheSecondBitForBit) {
    const int period = 1824;
    const std::vector<float> s = scales_of_frames(1474 + 10 * period);
    const float second_peak = s[2385];
    EXPECT_EQ(bits(s[2385 + period]), bits(second_peak));      // third peak
    EXPECT_EQ(bits(s[2385 + 8 * period]), bits(second_peak));  // tenth peak
    for (int k = 1474; k + period < static_cast<int>(s.size()); ++k)
        ASSERT_EQ(bits(s[k]), bits(s[k + period])) << "frame " << k;
}

TEST(Projection, OriginLandsOnTheFrameCentreAtEveryAngleAndScale) {
    start_headless(1910, 1070);
    model_vertices[0] = {0.0f, 0.0f, 0.0f};
    for (int frame = 0; frame < 600; frame += 37) {
        frame_counter = static_cast<std::uint32_t>(frame % 512);
        transform_and_project();
        EXPECT_EQ(screen_vertices[0].x, 955.0f);
        EXPECT_EQ(screen_vertices[0].y, 535.0f);
        EXPECT_EQ(screen_vertices[0].z, 0.0f);
    }
}

TEST(Projection, FirstFrameUsesTheAdvancedScale) {
    start_headless(1910, 1070);
    transform_and_project();
    // Frame 0 exchanges x and z: the prepared vertex 2 (0, y, 0) lands at
    // y * 267.45392 below the centre.
    EXPECT_EQ(screen_vertices[2].y, model_vertices[2].y * scale + 535.0f);
    EXPECT_EQ(scale, 267.45392f);
}

TEST(ScreenPoints, RoundToNearestEvenAndSaturate) {
    struct Case {
        float x, y;
        std::int16_t column, row;
    };
    const Case cases[] = {
        {2.5f, 3.5f, 2, 4},
        {-0.5f, -1.5f, 0, -2},
        {40000.0f, -40000.0f, 32767, -32768},
        {3e9f, -3e9f, 32767, -32768},
        {32767.4f, -32768.4f, 32767, -32768},
        {-7.51f, 7.49f, -8, 7},
        {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -32768, 32767},
    };
    for (const Case& c : cases) {
        const ScreenPoint p = make_screen_point(c.x, c.y);
        EXPECT_EQ(screen_point_x(p), c.column) << c.x;
        EXPECT_EQ(screen_point_y(p), c.row) << c.y;
    }
}

TEST(FrameCounter, WrapsAfter511) {
    frame_counter = 510;
    advance_frame_counter();
    EXPECT_EQ(frame_counter, 511u);
    advance_frame_counter();
    EXPECT_EQ(frame_counter, 0u);
}

}  // namespace
