// The bench's count of pixel shades against the shading pass itself: with
// lights and texture set so that every shade adds exactly 1 to each channel,
// a frame's blue bytes add up to the number of shades the pass made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "engine/engine.h"
#include "scene/scene_data.h"
#include "tests/tools/tool_test_support.h"
#include "tools/pixel_shades.h"

namespace {

// Ambient 2 in every lane and a white texture: 2 x 255 = 510, and 510 / 256
// rounds down to 1. No diffuse or specular colour, so the normal and the
// front-most test cannot change the amount.
void make_every_shade_add_one() {
    for (LightRecord& light : lights) {
        light.diffuse = {};
        light.specular = {};
        light.ambient = {{2.0f, 2.0f, 2.0f, 0.0f}};
    }
    std::fill(std::begin(texture), std::end(texture), 0x00FFFFFFu);
}

std::uint64_t shades_in_frame() {
    std::uint64_t shades = 0;
    for (std::size_t i = 0; i < std::size_t{frame_width} * frame_height; ++i) shades += frame_buffer[i] & 0xFF;
    return shades;
}

struct ShadeCase {
    int width;
    int height;
    const char* what;
};

TEST(PixelShadeCount, EqualsTheShadesTheShadingPassMakes) {
    // Over a whole zoom period: small and large models, and frames the model
    // overfills, so that clipping at every side and at the band edge counts.
    for (const ShadeCase& c : {ShadeCase{64, 48, "landscape"}, ShadeCase{24, 200, "narrow, model cut at both sides"},
                               ShadeCase{200, 16, "flat, model cut at top and bottom"}}) {
        std::uint64_t frames_with_shades = 0;
        tool_test::start_headless(c.width, c.height);
        make_every_shade_add_one();
        for (std::uint32_t frame = 0; frame < 1824; ++frame) {
            render_frame();
            const std::uint64_t made = shades_in_frame();
            ASSERT_EQ(count_pixel_shades(), made) << c.what << ", frame " << frame;
            frames_with_shades += made > 0;
            advance_frame_counter();
        }
        EXPECT_GT(frames_with_shades, 0u) << c.what;
    }
}

// The count follows the frame's geometry, not how the rows are shared out:
// the reference engine's two halves meet in the middle row, the fast
// engine's strips every sixteen rows.
TEST(PixelShadeCount, IsTheSameForOneWorkerAndTwo) {
    for (const EngineKind kind : {EngineKind::reference, EngineKind::fast}) {
        for (const int workers : {1, 2}) {
            ASSERT_EQ(start_engine({kind, workers}), "");
            ASSERT_EQ(running_engine().workers, workers);
            tool_test::start_headless(96, 72);
            make_every_shade_add_one();
            for (std::uint32_t frame = 0; frame < 40; ++frame) {
                render_frame();
                EXPECT_EQ(count_pixel_shades(), shades_in_frame())
                    << engine_name(kind) << " engine, " << workers << " workers, frame " << frame;
                advance_frame_counter();
            }
        }
    }
    stop_engine();
}

}  // namespace
