// The shading pass: the pixel model's worked examples, the span and triangle
// walks, and the whole pass against an independent scalar version.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "engine/engine.h"
#include "engine/fast_engine.h"
#include "pipeline/depth_pass.h"
#include "pipeline/frame.h"
#include "raster/shade_pixel.h"
#include "raster/shading.h"
#include "raster/span_kernels.h"
#include "raster/x86_features.h"
#include "reference_shading.h"
#include "scene/preparation.h"
#include "test_support.h"

namespace {

constexpr std::uint32_t grey_200 = 0x00C8C8C8u;

struct Texture {
    alignas(16) std::uint32_t texels[texel_count];
    explicit Texture(std::uint32_t value) { std::fill(std::begin(texels), std::end(texels), value); }
};

std::uint32_t shade_once(Vec4 normal, Vec4 attributes, float stored, std::uint32_t pixel, const std::uint32_t* texels) {
    shade_pixel(_mm_load_ps(normal.lane), _mm_load_ps(attributes.lane), stored, &pixel, texels);
    return pixel;
}

std::uint32_t bgr(int blue, int green, int red) { return static_cast<std::uint32_t>(red << 16 | green << 8 | blue); }

class ShadePixel : public ::testing::Test {
  protected:
    void SetUp() override { start_headless(64, 64); }  // prepared lights
    const Texture grey{grey_200};
};

TEST_F(ShadePixel, WorkedExamplesFrontMostAndNot) {
    struct Case {
        Vec4 normal;
        float stored;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {{{0, 0, -1, 0}}, 10.0f, bgr(199, 199, 72)},  // front-most: highlights of lights 0 and 2
        {{{0, 0, -1, 0}}, 5.0f, bgr(62, 70, 64)},     // hidden: ambient and diffuse only
        {{{0, 0, 1, 0}}, 10.0f, bgr(199, 199, 27)},   // facing away: light 0's specular colour
        {{{0, 0, 1, 0}}, 5.0f, bgr(23, 32, 23)},      // facing away, hidden: ambient colours
    };
    for (const Case& c : cases)
        EXPECT_EQ(shade_once(c.normal, {{10.0f, 20.0f, 10.0f, 0.0f}}, c.stored, 0u, grey.texels), c.expected)
            << "normal z " << c.normal.lane[2] << " stored " << c.stored;
}

TEST_F(ShadePixel, DepthWindowIsOpenBelowAndClosedAbove) {
    const Vec4 normal{{0, 0, -1, 0}};
    const Vec4 attributes{{10.0f, 20.0f, 10.0f, 0.0f}};
    const std::uint32_t lit = bgr(199, 199, 72), unlit = bgr(62, 70, 64);
    struct Case {
        float stored;
        std::uint32_t expected;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case& c : {Case{8.95f, lit}, Case{11.1f, lit}, Case{8.9f, unlit}, Case{11.2f, unlit},
                          Case{10.0f - depth_tolerance, unlit}, Case{10.0f + depth_tolerance, lit}, Case{nan, unlit}})
        EXPECT_EQ(shade_once(normal, attributes, c.stored, 0u, grey.texels), c.expected) << c.stored;
    const Vec4 nan_depth{{10.0f, 20.0f, nan, 0.0f}};
    EXPECT_EQ(shade_once(normal, nan_depth, 10.0f, 0u, grey.texels), unlit);
}

TEST_F(ShadePixel, SaturatesAndKeepsTheFourthByte) {
    const Vec4 normal{{0, 0, -1, 0}};
    const Vec4 attributes{{10.0f, 20.0f, 10.0f, 0.0f}};
    EXPECT_EQ(shade_once(normal, attributes, 5.0f, 0xAB000000u | bgr(250, 250, 250), grey.texels),
              0xAB000000u | bgr(255, 255, 255));
    // Full light on a white texel adds 254, not 255.
    const Texture white{0x00FFFFFFu};
    const std::uint32_t lit = shade_once(normal, attributes, 10.0f, 0x7F000000u, white.texels);
    EXPECT_EQ(lit & 0xFFFFu, 0xFEFEu);
    EXPECT_EQ(lit >> 24, 0x7Fu);
}

TEST_F(ShadePixel, FilterReproducesLinearRampsAndClampsAt124) {
    Texture ramp{0};
    for (int row = 0; row < texture_size; ++row)
        for (int column = 0; column < texture_size; ++column)
            ramp.texels[row * texture_size + column] = static_cast<std::uint32_t>(row << 8 | column);
    auto filtered = [&](float u, float v) {
        const TexelPosition p = texel_position(_mm_setr_ps(u, v, 0.0f, 0.0f));
        Vec4 value;
        _mm_store_ps(value.lane, texture_filter(ramp.texels, p.column, p.row, p.fractions));
        return value;
    };
    const Vec4 sample = filtered(10.25f, 20.5f);
    EXPECT_EQ(sample.lane[0], 10.25f);
    EXPECT_EQ(sample.lane[1], 20.5f);
    EXPECT_EQ(sample.lane[2], 0.0f);

    const Vec4 beyond = filtered(126.7f, 3.0f), at_clamp = filtered(124.0f, 3.0f);
    EXPECT_EQ(beyond.lane[0], 124.0f);
    EXPECT_EQ(bits(beyond.lane[0]), bits(at_clamp.lane[0]));
    EXPECT_EQ(bits(beyond.lane[1]), bits(at_clamp.lane[1]));
}

TEST_F(ShadePixel, AgreesWithTheScalarModelOnRandomInputs) {
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f), coordinate(-0.2f, 127.2f), depth(-500.0f, 500.0f);
    std::uniform_int_distribution<std::uint32_t> any_pixel;
    for (int i = 0; i < 200000; ++i) {
        const Vec4 normal{{unit(random), unit(random), unit(random), 0.0f}};
        const float own = depth(random);
        const Vec4 attributes{{coordinate(random), coordinate(random), own, unit(random)}};
        const float stored = own + unit(random) * 2.0f;
        const std::uint32_t pixel = any_pixel(random) & (i % 2 ? 0x3F3F3F3Fu : 0xFFFFFFFFu);
        ASSERT_EQ(shade_once(normal, attributes, stored, pixel, texture),
                  reference::shade_pixel(normal.lane, attributes.lane, stored, pixel, texture))
            << "case " << i;
        std::uint32_t exact = pixel;
        shade_pixel<Estimates::ieee>(_mm_load_ps(normal.lane), _mm_load_ps(attributes.lane), stored, &exact, texture);
        ASSERT_EQ(exact, reference::shade_pixel(normal.lane, attributes.lane, stored, pixel, texture, Estimates::ieee))
            << "ieee, case " << i;
    }
}

// --- Span walk ---------------------------------------------------------------

class ShadeSpan : public ::testing::Test {
  protected:
    static constexpr int width = 40, height = 8;
    void SetUp() override {
        start_headless(width, height);
        clear_buffers();
    }
    ShadeTarget target(ClipBand band) const { return {band, height, width, frame_buffer, depth_buffer, grey.texels}; }
    ClipBand whole() const { return {0, height, 0, width}; }
    static SpanEnd end(int column, float z_normal, float u) {
        return {column, {{0.0f, 0.3f, z_normal, 0.0f}}, {{u, 20.0f, 50.0f, 0.0f}}};
    }
    std::set<int> lit_columns(int row) const {
        std::set<int> columns;
        for (int x = 0; x < width; ++x)
            if (frame_buffer[row * width + x]) columns.insert(x);
        return columns;
    }
    std::set<int> range(int first, int end) const {
        std::set<int> r;
        for (int x = first; x < end; ++x) r.insert(x);
        return r;
    }
    const Texture grey{grey_200};
};

TEST_F(ShadeSpan, EndsInEitherOrderGiveTheSamePixels) {
    shade_span(2, end(3, -1.0f, 10.0f), end(30, -0.2f, 90.0f), target(whole()));
    const std::vector<std::uint32_t> forwards = frame_pixels();
    clear_buffers();
    shade_span(2, end(30, -0.2f, 90.0f), end(3, -1.0f, 10.0f), target(whole()));
    EXPECT_EQ(frame_pixels(), forwards);
    EXPECT_EQ(lit_columns(2), range(3, 30));
}

TEST_F(ShadeSpan, OnePixelRunUsesTheLeftEndsOwnValues) {
    const SpanEnd left = end(5, -1.0f, 10.0f), right = end(6, 0.5f, 100.0f);
    shade_span(1, right, left, target(whole()));
    EXPECT_EQ(lit_columns(1), range(5, 6));
    EXPECT_EQ(frame_buffer[width + 5],
              reference::shade_pixel(left.normal.lane, left.attributes.lane, far_depth(), 0u, grey.texels));
    shade_span(1, end(7, -1.0f, 1.0f), end(7, -1.0f, 1.0f), target(whole()));  // equal columns
    EXPECT_EQ(lit_columns(1), range(5, 6));
}

TEST_F(ShadeSpan, LeftClipAdvancesByTheUnclippedSteps) {
    const SpanEnd left = end(-10, -1.0f, 0.0f), right = end(20, 0.5f, 120.0f);
    shade_span(3, left, right, target(whole()));
    EXPECT_EQ(lit_columns(3), range(0, 20));
    float normal[4], attributes[4];
    for (int i = 0; i < 4; ++i) {
        normal[i] = left.normal.lane[i] + 10.0f * ((right.normal.lane[i] - left.normal.lane[i]) / 30.0f);
        attributes[i] =
            left.attributes.lane[i] + 10.0f * ((right.attributes.lane[i] - left.attributes.lane[i]) / 30.0f);
    }
    EXPECT_EQ(frame_buffer[3 * width], reference::shade_pixel(normal, attributes, far_depth(), 0u, grey.texels));
}

TEST_F(ShadeSpan, BandLimitsRowsAndColumns) {
    const ClipBand band{2, 5, 10, 30};
    shade_span(4, end(0, -1, 1), end(39, -1, 1), target(band));   // clipped both sides
    shade_span(5, end(0, -1, 1), end(39, -1, 1), target(band));   // the band's end row
    shade_span(1, end(0, -1, 1), end(39, -1, 1), target(band));   // above its first row
    shade_span(2, end(30, -1, 1), end(35, -1, 1), target(band));  // left at the end column
    shade_span(3, end(-5, -1, 1), end(10, -1, 1), target(band));  // right at the first column
    EXPECT_EQ(lit_columns(4), range(10, 30));
    for (int row : {1, 2, 3, 5}) EXPECT_TRUE(lit_columns(row).empty()) << row;

    shade_span(0, end(0, -1, 1), end(39, -1, 1), target({0, 4, 0, width}));
    EXPECT_EQ(lit_columns(0), range(0, 39));
    shade_span(-1, end(0, -1, 1), end(39, -1, 1), target({-4, 4, 0, width}));  // outside the frame
    shade_span(height, end(0, -1, 1), end(39, -1, 1), target({0, height + 4, 0, width}));
    for (std::uint32_t p : frame_pixels()) ASSERT_TRUE(p == 0 || p == frame_buffer[4 * width + 10]);
}

TEST_F(ShadeSpan, NeverChangesTheDepthBuffer) {
    const std::vector<float> before = depth_values();
    shade_span(3, end(-10, -1, 1), end(60, -1, 1), target(whole()));
    EXPECT_EQ(depth_values(), before);
}

// --- Triangle walk ----------------------------------------------------------

class ShadeTriangle : public ::testing::Test {
  protected:
    void start(int width, int height) {
        start_headless(width, height);
        clear_buffers();
    }
    ShadeCorner corner(int x, int y) const {
        return {make_screen_point(static_cast<float>(x), static_cast<float>(y)), 5.0f, {{0, 0, -1, 0}}, 10, 20};
    }
    void draw(std::array<ShadeCorner, 3> corners, ClipBand band) {
        shade_triangle(corners.data(), {band, frame_height, frame_width, frame_buffer, depth_buffer, grey.texels});
    }
    std::set<std::pair<int, int>> lit() const {
        std::set<std::pair<int, int>> pixels;
        for (int y = 0; y < frame_height; ++y)
            for (int x = 0; x < frame_width; ++x)
                if (frame_buffer[y * frame_width + x]) pixels.insert({x, y});
        return pixels;
    }
    const Texture grey{grey_200};
};

TEST_F(ShadeTriangle, RowsAndEndColumnsOfAWorkedFace) {
    start(32, 128);
    draw({corner(10, 100), corner(4, 103), corner(16, 106)}, {0, 128, 0, 32});
    // End columns (A, B) per row 100..105: (10,10) (11,8) (12,6) (13,4) (14,8) (15,12).
    const int ends[6][2] = {{10, 10}, {11, 8}, {12, 6}, {13, 4}, {14, 8}, {15, 12}};
    std::set<std::pair<int, int>> expected;
    for (int r = 0; r < 6; ++r)
        for (int x = std::min(ends[r][0], ends[r][1]); x < std::max(ends[r][0], ends[r][1]); ++x)
            expected.insert({x, 100 + r});
    EXPECT_EQ(lit(), expected);
}

TEST_F(ShadeTriangle, EdgeStepsTruncateTowardZero) {
    start(32, 128);
    // Short edges (10,100)->(11,103), step 341, and (10,100)->(9,103), step -341.
    draw({corner(10, 100), corner(11, 103), corner(20, 103)}, {0, 128, 0, 32});
    draw({corner(10, 110), corner(9, 113), corner(20, 113)}, {0, 128, 0, 32});
    auto leftmost = [&](int row) {
        for (int x = 0; x < 32; ++x)
            if (frame_buffer[row * 32 + x]) return x;
        return -1;
    };
    EXPECT_EQ(leftmost(100), -1);  // both ends start at the top corner
    EXPECT_EQ(leftmost(101), 10);
    EXPECT_EQ(leftmost(102), 10);
    EXPECT_EQ(leftmost(111), 9);
    EXPECT_EQ(leftmost(112), 9);
    EXPECT_EQ(leftmost(103), -1);  // the bottom row is excluded

    // A long, steep edge from (10, 0) to (9, 1000): -1.024 per row truncates
    // to -1, not -2, so row 513 still lies on column 9.
    start(32, 1002);
    draw({corner(10, 0), corner(9, 1000), corner(30, 1000)}, {0, 1002, 0, 32});
    EXPECT_EQ(leftmost(513), 9);
    EXPECT_EQ(leftmost(999), 9);
}

TEST_F(ShadeTriangle, FlatFacesAndOneRowFaces) {
    start(32, 32);
    draw({corner(2, 5), corner(20, 5), corner(25, 5)}, {0, 32, 0, 32});
    EXPECT_TRUE(lit().empty());
    draw({corner(2, 5), corner(20, 5), corner(11, 10)}, {0, 32, 0, 32});  // flat top
    EXPECT_TRUE(lit().count({2, 5}) && lit().count({19, 5}) && !lit().count({20, 5}));
    start(32, 32);
    draw({corner(11, 5), corner(2, 10), corner(20, 10)}, {0, 32, 0, 32});  // flat bottom
    int last_row = -1;
    for (const auto& [x, y] : lit()) last_row = std::max(last_row, y);
    EXPECT_EQ(last_row, 9);
}

TEST_F(ShadeTriangle, CoarseTestOnABandOfTheUpperHalf) {
    start(1910, 1070);
    const ClipBand upper{0, 535, 0, 1910};
    draw({corner(-5, -20), corner(-5, 600), corner(-30, 700)}, upper);
    draw({corner(100, 600), corner(200, 700), corner(150, 800)}, upper);
    EXPECT_TRUE(lit().empty());
}

TEST_F(ShadeTriangle, FaceCoveringTheBandWithEveryCornerOutsideIsDrawn) {
    start(1910, 1070);
    const ClipBand upper{0, 535, 0, 1910};
    draw({corner(-100, -100), corner(3000, -50), corner(-50, 2000)}, upper);
    // The scalar walk, which has no coarse test at all, covers the same pixels.
    std::set<std::pair<int, int>> expected;
    reference::Corner c[3] = {{-100, -100, 5.0f, {0, 0, -1, 0}, 10, 20},
                              {3000, -50, 5.0f, {0, 0, -1, 0}, 10, 20},
                              {-50, 2000, 5.0f, {0, 0, -1, 0}, 10, 20}};
    reference::walk_face(c, {0, 535, 0, 1910}, 1910, 1070, [&](int x, int y, const float*, const float*) {
        expected.insert({x, y});
    });
    EXPECT_GT(expected.size(), 500000u);
    EXPECT_EQ(lit(), expected);
}

// --- Render workers' corners and bands -----------------------------------------

TEST(RenderFaces, TextureCoordinatesFollowTheCornerNotTheVertex) {
    // Face 0 is (0, 2, 1) and face 1 is (3, 2, 0): vertex 0 is corner 0 of
    // the first and corner 2 of the second, and takes each corner's
    // coordinates there, with that vertex's own position, depth and normal.
    start_headless(320, 240);
    transform_and_project();
    ASSERT_EQ(model_faces[0].corner[0], 0);
    ASSERT_EQ(model_faces[1].corner[2], 0);
    ShadeCorner first[3], second[3];
    gather_face_corners(0, first);
    gather_face_corners(1, second);
    EXPECT_EQ(first[0].position, second[2].position);
    EXPECT_EQ(bits(first[0].depth), bits(second[2].depth));
    for (int lane = 0; lane < 4; ++lane) EXPECT_EQ(bits(first[0].normal.lane[lane]), bits(second[2].normal.lane[lane]));
    EXPECT_EQ(first[0].u, 64);
    EXPECT_EQ(first[0].v, 0);
    EXPECT_EQ(second[2].u, 127);
    EXPECT_EQ(second[2].v, 127);
    // Corner 1 of every face: column 0, the last row.
    for (const ShadeCorner* face : {first, second}) {
        EXPECT_EQ(face[1].u, 0);
        EXPECT_EQ(face[1].v, 127);
    }
}

TEST(RenderFaces, BandsSplitTheRowsInTwoAdjacentHalves) {
    start_headless(1910, 1070);
    const ClipBand upper = worker_band(0), lower = worker_band(1);
    EXPECT_EQ(upper.first_row, 0);
    EXPECT_EQ(upper.end_row, 535);
    EXPECT_EQ(lower.first_row, 535);
    EXPECT_EQ(lower.end_row, 1070);
    for (const ClipBand& band : {upper, lower}) {
        EXPECT_EQ(band.first_column, 0);
        EXPECT_EQ(band.end_column, 1910);
    }
}

// --- Span kernels ---------------------------------------------------------------

// A value for a lane: mostly plausible, now and then one that no frame of the
// animation makes but a kernel must still treat as the per-pixel steps do.
float lane_value(std::mt19937& random, float low, float high) {
    static const float special[] = {0.0f,
                                    -0.0f,
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::denorm_min(),
                                    -1e-40f,
                                    1e30f,
                                    -1e30f,
                                    1e-30f,
                                    124.0f,
                                    127.0f,
                                    -0.99f};
    if (random() % 8 == 0) return special[random() % std::size(special)];
    return std::uniform_real_distribution<float>(low, high)(random);
}

Vec4 lanes(std::mt19937& random, float low, float high) {
    return {{lane_value(random, low, high), lane_value(random, low, high), lane_value(random, low, high),
             lane_value(random, low, high)}};
}

// A texture of sixteen colours of random bytes, the fourth byte among them,
// laid out at random.
struct SixteenColours {
    alignas(16) std::uint32_t texels[texel_count];
    explicit SixteenColours(std::mt19937& random) {
        std::uint32_t colours[palette_entries];
        for (std::uint32_t& colour : colours) colour = static_cast<std::uint32_t>(random());
        for (std::uint32_t& texel : texels) texel = colours[random() % palette_entries];
    }
};

// Numbering gives back every footprint's texels, and refuses a seventeenth
// colour.
TEST(SpanKernels, NumberTheTexturesColoursFootprintByFootprint) {
    std::mt19937 random(5);
    for (int t = 0; t < 4; ++t) {
        const auto sixteen = std::make_unique<SixteenColours>(random);
        const auto numbered = std::make_unique<NumberedTexture>();
        ASSERT_TRUE(number_texture(sixteen->texels, numbered.get()));
        for (int k = 0; k < texel_count; ++k) {
            const int corners[4] = {k, k + 1, k + texture_size, k + texture_size + 1};
            for (int corner = 0; corner < 4; ++corner) {
                const unsigned number = numbered->footprint[k] >> 4 * corner & 0xFu;
                if (corners[corner] >= texel_count) {
                    ASSERT_EQ(number, 0u) << "texel " << k;
                    continue;
                }
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(numbered->channel[c][number],
                              static_cast<float>(sixteen->texels[corners[corner]] >> 8 * c & 0xFFu))
                        << "texel " << k << ", corner " << corner << ", channel " << c;
            }
        }
        sixteen->texels[random() % texel_count] ^= 0x01000000u | static_cast<std::uint32_t>(random() % 2);
        EXPECT_FALSE(number_texture(sixteen->texels, numbered.get()));
    }
}

// Every kernel against the walk's own per-pixel steps, on runs from one pixel
// to several groups long, with the depth buffer holding some of the run's own
// depths, so that both outcomes of the front-most test occur; each kernel
// takes the texture's bytes and its numbered colours in turn, from the
// scene's texture and now and then from one of random colours.
TEST(SpanKernels, GiveThePerPixelBitsOnRandomRuns) {
    start_headless(64, 8);  // the prepared lights and the texture
    constexpr int buffer_pixels = 512;
    std::mt19937 random(11);
    const auto scene_numbered = std::make_unique<NumberedTexture>();
    ASSERT_TRUE(number_texture(texture, scene_numbered.get()));
    const auto sixteen = std::make_unique<SixteenColours>(random);
    const auto sixteen_numbered = std::make_unique<NumberedTexture>();
    ASSERT_TRUE(number_texture(sixteen->texels, sixteen_numbered.get()));
    for (int i = 0; i < 20000; ++i) {
        const Estimates estimates = arithmetics()[static_cast<std::size_t>(i) % arithmetics().size()];
        std::vector<const SpanKernels*> kernels;
        for (InstructionSet set : built_instruction_sets())
            if (instruction_set_usable(set, estimates)) kernels.push_back(&span_kernels(set, estimates));
        ASSERT_FALSE(kernels.empty());
        // Mostly three runs; now and then as many as a strip of several
        // faces hands over, so that the wide kernels' lanes fill and refill.
        const int run_count = i % 8 == 0 ? 1 + static_cast<int>(random() % 40) : 3;
        std::vector<ShadeRun> runs(static_cast<std::size_t>(run_count));
        for (ShadeRun& run : runs) {
            run.count = 1 + static_cast<std::int32_t>(random() % 40);
            run.first = static_cast<std::uint32_t>(random() % (buffer_pixels - run.count + 1));
            run.normal = lanes(random, -1.0f, 1.0f);
            run.normal_step = lanes(random, -0.05f, 0.05f);
            run.attributes = lanes(random, -0.5f, 127.5f);
            run.attribute_step = lanes(random, -2.0f, 2.0f);
            if (i % 2) run.normal.lane[3] = run.normal_step.lane[3] = 0.0f;  // as the walk makes them
            if (i % 6 == 1) {
                // Normals of no length, or so short that their squares
                // vanish (an infinite scale), or infinite or NaN.
                const float hard[] = {0.0f,
                                      -0.0f,
                                      1e-30f,
                                      -1e-25f,
                                      std::numeric_limits<float>::denorm_min(),
                                      std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::quiet_NaN()};
                for (int c = 0; c < 3; ++c) {
                    if (random() % 2) run.normal.lane[c] = hard[random() % std::size(hard)];
                    if (random() % 2) run.normal_step.lane[c] = hard[random() % 5];
                }
            }
            if (i % 6 == 3) {
                // Texture positions far outside the texture: up to 2^21 and
                // past 2^22 within a run (steps of 23000 keep a run of up to
                // 40 pixels within the bounds some kernels take a shorter
                // way within, 26000 not a run of over 36), beyond 2^31,
                // infinite or NaN; and -0.0, whose fraction's sign must
                // reach no byte.
                constexpr float infinity = std::numeric_limits<float>::infinity();
                const float far[] = {1048576.0f,  -1048576.0f, 4194304.0f,
                                     -4194304.0f, -3e9f,       3e9f,
                                     -infinity,   infinity,    std::numeric_limits<float>::quiet_NaN(),
                                     -0.0f};
                const float far_steps[] = {0.0f, 23000.0f, -23000.0f, 26000.0f, -1e9f, infinity};
                for (int c = 0; c < 2; ++c) {
                    if (random() % 2) run.attributes.lane[c] = far[random() % std::size(far)];
                    if (random() % 2) run.attribute_step.lane[c] = far_steps[random() % std::size(far_steps)];
                }
            }
        }
        std::vector<float> depth(buffer_pixels);
        std::vector<std::uint32_t> frame(buffer_pixels);
        for (int p = 0; p < buffer_pixels; ++p) {
            depth[p] = random() % 3 ? runs[0].attributes.lane[2] + static_cast<float>(random() % 5) * 0.5f - 1.0f
                                    : lane_value(random, -600.0f, 600.0f);
            frame[p] = static_cast<std::uint32_t>(random()) & (p % 2 ? 0x3F3F3F3Fu : 0xFFFFFFFFu);
        }
        std::vector<float> expected_depth = depth;
        std::vector<std::uint32_t> expected_frame = frame;
        const SpanKernels& per_pixel = per_pixel_span_kernels_of(estimates);
        const bool random_colours = i % 5 == 2;
        const std::uint32_t* texels = random_colours ? sixteen->texels : texture;
        const NumberedTexture* numbered = random_colours ? sixteen_numbered.get() : scene_numbered.get();
        per_pixel.shade(runs.data(), run_count, {expected_frame.data(), expected_depth.data(), texels});
        per_pixel.store_depths(runs.data(), run_count, expected_depth.data());
        for (const SpanKernels* k : kernels) {
            const NumberedTexture* const texture_ways[] = {nullptr, numbered};
            for (const NumberedTexture* colours : texture_ways) {
                std::vector<std::uint32_t> kernel_frame = frame;
                k->shade(runs.data(), run_count, {kernel_frame.data(), depth.data(), texels, colours});
                ASSERT_EQ(kernel_frame, expected_frame)
                    << k->name << (colours ? ", numbered colours" : ", texel bytes") << ", case " << i;
            }
            std::vector<float> kernel_depth = depth;
            k->store_depths(runs.data(), run_count, kernel_depth.data());
            for (int p = 0; p < buffer_pixels; ++p)
                ASSERT_EQ(bits(kernel_depth[p]), bits(expected_depth[p]))
                    << k->name << ", case " << i << " pixel " << p;
        }
    }
}

#if OMBRASTEL_X86
// The eight-lane estimate must give the four-lane bits, or the eight-pixel
// kernel is not chosen.
void four_lane_estimates_but_one(const float* in, float* out, std::size_t count) {
    four_lane_rsqrt_estimates(in, out, count);
    // One mantissa of the odd exponents, one bit off.
    for (std::size_t i = 0; i < count; ++i)
        if (bits(in[i]) == (127u << 23 | 0x2A5A5Au)) out[i] = std::bit_cast<float>(bits(out[i]) ^ 1u);
}

TEST(SpanKernels, TheWideKernelIsChosenOnlyWhereItsEstimateGivesTheFourLaneBits) {
    EXPECT_TRUE(estimates_agree(four_lane_rsqrt_estimates, four_lane_rsqrt_estimates));
    EXPECT_FALSE(estimates_agree(four_lane_estimates_but_one, four_lane_rsqrt_estimates));
    for (InstructionSet wide : {InstructionSet::avx2, InstructionSet::avx512}) {
        EXPECT_EQ(choose_instruction_set(wide, four_lane_estimates_but_one, four_lane_rsqrt_estimates),
                  InstructionSet::sse3);
        EXPECT_EQ(choose_instruction_set(wide, four_lane_rsqrt_estimates, four_lane_rsqrt_estimates), wide);
    }
    EXPECT_EQ(choose_instruction_set(InstructionSet::sse3, four_lane_rsqrt_estimates, four_lane_rsqrt_estimates),
              InstructionSet::sse3);
    // On this processor: the eight-lane estimate is checked and, where it
    // agrees, the widest set offered is chosen.
    const InstructionSet widest = processor_offers(InstructionSet::avx512) ? InstructionSet::avx512
                                  : processor_offers(InstructionSet::avx2) ? InstructionSet::avx2
                                                                           : InstructionSet::sse3;
    if (widest != InstructionSet::sse3) {
        const bool agree = estimates_agree(eight_lane_rsqrt_estimates, four_lane_rsqrt_estimates);
        EXPECT_EQ(best_instruction_set(), agree ? widest : InstructionSet::sse3);
        std::printf("this processor offers %s; its eight-lane estimate %s the four-lane one\n",
                    instruction_set_name(widest), agree ? "equals" : "differs from");
    } else {
        EXPECT_EQ(best_instruction_set(), InstructionSet::sse3);
    }
    EXPECT_FALSE(processor_offers(InstructionSet::neon));
}
#else
// Advanced SIMD is ARM64's baseline, SIMD128 the WebAssembly build's; the
// x86 kernels are not built, nor the other's.
TEST(SpanKernels, TheOneFourLaneKernelOfTheBuildIsTheOneBuiltAndChosen) {
    const InstructionSet own = OMBRASTEL_ARM64 ? InstructionSet::neon : InstructionSet::simd128;
    const InstructionSet other = OMBRASTEL_ARM64 ? InstructionSet::simd128 : InstructionSet::neon;
    ASSERT_EQ(built_instruction_sets().size(), 1u);
    EXPECT_EQ(built_instruction_sets().front(), own);
    EXPECT_EQ(best_instruction_set(), own);
    EXPECT_TRUE(instruction_set_usable(own));
    EXPECT_FALSE(instruction_set_usable(own, Estimates::x86));
    for (InstructionSet foreign : {InstructionSet::sse3, InstructionSet::avx2, InstructionSet::avx512, other}) {
        EXPECT_FALSE(processor_offers(foreign));
        EXPECT_FALSE(instruction_set_usable(foreign));
    }
}
#endif

// Whether AVX2 and AVX-512 may be used, from CPUID's bits and the system's
// saved register state (XCR0): each is needed, on any machine.
TEST(InstructionSets, WideSetsNeedTheProcessorsBitsAndTheSystemsSavedState) {
    constexpr std::uint32_t osxsave = 1u << 27, avx = 1u << 28, avx2 = 1u << 5;
    constexpr std::uint32_t f = 1u << 16, dq = 1u << 17, bw = 1u << 30, vl = 1u << 31;
    constexpr std::uint32_t avx512 = f | dq | bw | vl;
    constexpr std::uint64_t sse_avx = 0x7, all = 0xE7;  // x87, SSE, AVX; and opmask, zmm upper halves, zmm16-31
    struct Case {
        X86Features features;
        bool avx2, avx512;
        const char* what;
    };
    const Case cases[] = {
        {{osxsave | avx, avx2 | avx512, all}, true, true, "everything"},
        {{osxsave | avx, avx2, all}, true, false, "no AVX-512 in the processor"},
        {{osxsave | avx, avx2 | avx512, sse_avx}, true, false, "no AVX-512 state saved by the system"},
        {{osxsave | avx, avx2 | avx512, 0xA7}, true, false, "zmm0-15's upper halves not saved"},
        {{osxsave | avx, avx2 | avx512, 0x67}, true, false, "zmm16-31 not saved"},
        {{osxsave | avx, avx2 | avx512, 0xC7}, true, false, "the opmask registers not saved"},
        {{osxsave | avx, avx2 | (avx512 & ~bw), all}, true, false, "AVX-512 without BW"},
        {{osxsave | avx, avx2 | (avx512 & ~vl), all}, true, false, "AVX-512 without VL"},
        {{osxsave | avx, avx2 | (avx512 & ~dq), all}, true, false, "AVX-512 without DQ"},
        {{osxsave | avx, avx512, all}, false, false, "AVX-512 without AVX2"},
        {{osxsave | avx, avx2 | avx512, 0x3}, false, false, "no AVX state saved"},
        {{avx, avx2 | avx512, all}, false, false, "no OSXSAVE: the system saves no extended state"},
        {{osxsave, avx2 | avx512, all}, false, false, "no AVX"},
        {{}, false, false, "nothing"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(avx2_usable(c.features), c.avx2) << c.what;
        EXPECT_EQ(avx512_usable(c.features), c.avx512) << c.what;
    }
#if OMBRASTEL_X86
    // And this processor's sets are those its own bits say.
    const X86Features here = read_x86_features();
    EXPECT_EQ(processor_offers(InstructionSet::avx2), avx2_usable(here));
    EXPECT_EQ(processor_offers(InstructionSet::avx512), avx512_usable(here));
#endif
}

// Face by face, the depth pre-pass covers the pixels of the scalar walk (whose
// pictures the shading pass matches bit for bit above), and at every covered
// pixel the nearest face finds its own depth in the pre-pass's buffer.
TEST(ShadingPass, BothPassesCoverTheSamePixelsFaceByFace) {
    start_headless(320, 240);
    for (int k = 0; k < 1824; k += 7) {
        frame_counter = static_cast<std::uint32_t>(k % 512);
        transform_and_project();
        const auto faces = reference::frame_faces();
        std::vector<float> nearest(320 * 240, far_depth());
        for (int f = 0; f < face_count; ++f) {
            clear_buffers();
            FrameFace face;
            gather_face_corners(f, face.corner);
            depth_pass(&face, 1, global_frame_target(), whole_frame_band(global_frame_target()));
            std::set<int> by_depth_pass, by_shading_walk;
            for (int i = 0; i < 320 * 240; ++i)
                if (bits(depth_buffer[i]) != far_depth_bits) by_depth_pass.insert(i);
            reference::walk_face(faces[f].data(), {0, 240, 0, 320}, 320, 240,
                                 [&](int x, int y, const float*, const float* attributes) {
                                     by_shading_walk.insert(y * 320 + x);
                                     nearest[y * 320 + x] = std::min(nearest[y * 320 + x], attributes[2]);
                                 });
            ASSERT_EQ(by_depth_pass, by_shading_walk) << "frame " << k << " face " << f;
        }
        clear_buffers();
        FrameFace all_faces[working_array_room];
        const int count = gather_frame_faces(all_faces);
        depth_pass(all_faces, count, global_frame_target(), whole_frame_band(global_frame_target()));
        for (int i = 0; i < 320 * 240; ++i) {
            if (nearest[i] == far_depth()) continue;
            // The front-most test of the shading pass, for the nearest face.
            ASSERT_LT(nearest[i] - depth_tolerance, depth_buffer[i]) << "frame " << k << " pixel " << i;
            ASSERT_LE(depth_buffer[i], nearest[i] + depth_tolerance) << "frame " << k << " pixel " << i;
        }
    }
}

}  // namespace
