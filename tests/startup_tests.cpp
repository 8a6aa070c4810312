// Start-up failures: the reason start_system gives for each, which the window
// program shows the user after "Startup failed.".
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "app/startup.h"
#include "scene/scene_data.h"

namespace {

constexpr std::size_t bytes_320_by_240 = 320 * 240 * 4;

bool says(const std::string& reason, const std::string& part) { return reason.find(part) != std::string::npos; }

TEST(StartupReason, RefusedFrameBufferNamesTheBuffersAndTheirSize) {
    std::string reason;
    auto no_memory = [](std::size_t) -> void* { return nullptr; };
    ASSERT_FALSE(start_system({320, 240}, no_memory, &reason));
    EXPECT_TRUE(says(reason, "frame buffer and the depth buffer, 307200 bytes each")) << reason;
    EXPECT_TRUE(says(reason, "320 x 240 frame")) << reason;
    EXPECT_TRUE(says(reason, "the frame buffer was refused")) << reason;
    EXPECT_EQ(frame_buffer, nullptr);
    EXPECT_EQ(depth_buffer, nullptr);
}

TEST(StartupReason, RefusedDepthBufferIsTheOneNamed) {
    // The frame buffer is had, the depth buffer is not: a block that lives as
    // long as the test program, since start_system keeps nothing it was given
    // when it fails.
    alignas(4096) static unsigned char frame_block[bytes_320_by_240];
    static int calls;
    calls = 0;
    auto second_refused = [](std::size_t bytes) -> void* {
        EXPECT_EQ(bytes, bytes_320_by_240);
        return ++calls == 1 ? frame_block : nullptr;
    };
    std::string reason;
    ASSERT_FALSE(start_system({320, 240}, second_refused, &reason));
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(says(reason, "307200 bytes each")) << reason;
    EXPECT_TRUE(says(reason, "the depth buffer was refused")) << reason;
    EXPECT_EQ(frame_buffer, nullptr);
    EXPECT_EQ(depth_buffer, nullptr);
}

TEST(StartupReason, InvalidFrameSizeIsNamed) {
    struct Case {
        FrameSize size;
        const char* named;
    };
    for (const Case& c :
         {Case{{3, 600}, "3 x 600 frame"}, Case{{0, 600}, "0 x 600 frame"}, Case{{32768, 600}, "32768 x 600 frame"}}) {
        std::string reason;
        auto never = [](std::size_t) -> void* {
            ADD_FAILURE() << "a buffer was asked for";
            return nullptr;
        };
        EXPECT_FALSE(start_system(c.size, never, &reason));
        EXPECT_TRUE(says(reason, c.named)) << reason;
        EXPECT_TRUE(says(reason, "from 2 to 32766 pixels")) << reason;
    }
}

TEST(StartupReason, AStartAfterAFailureWorks) {
    std::string reason;
    auto no_memory = [](std::size_t) -> void* { return nullptr; };
    ASSERT_FALSE(start_system({320, 240}, no_memory, &reason));
    reason.clear();
    ASSERT_TRUE(start_system({320, 240}, obtain_heap_buffer, &reason));
    EXPECT_TRUE(reason.empty()) << reason;
    EXPECT_NE(frame_buffer, nullptr);
    EXPECT_NE(depth_buffer, nullptr);
}

}  // namespace
