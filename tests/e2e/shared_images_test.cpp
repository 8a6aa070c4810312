// The fast engine drawing into two MIT-SHM images, as the Linux program does:
// frame k + 1 drawn into one image while the X server puts frame k from the
// other, each image drawn into again only after its put's completion, and
// each put only where the frame may differ from the one shown before (the
// rectangles its faces and the shown frame's reached). Every frame that
// reaches the window must be whole and exact: the same pixels as the
// reference engine's frame, drawn headless. Then frames drawn and put from
// one image, as idle mode and the reference engine do.
//
// Run on an X display of its own (window_checks.sh images starts Xvfb).
#include <gtest/gtest.h>

// After GoogleTest, whose names Xlib's macros (None, Bool) would replace.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/startup.h"
#include "app/x11_images.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

namespace {

constexpr int width = 320, height = 240;
constexpr int overlapped_frames = 40, one_image_frames = 12;
constexpr int completion_timeout_ms = 10000;

// A plain window of the screen's default visual, mapped and on the screen.
struct TestWindow {
    Display* display = nullptr;
    Window window = 0;

    TestWindow() {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) return;
        const int screen = DefaultScreen(display);
        window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, width, height, 0, 0, 0);
        XSelectInput(display, window, StructureNotifyMask);
        XMapWindow(display, window);
        XEvent event;
        do XNextEvent(display, &event);
        while (event.type != MapNotify);
    }
    ~TestWindow() {
        if (display != nullptr) XCloseDisplay(display);
    }

    // The window's pixels, 0x00RRGGBB.
    std::vector<std::uint32_t> pixels() const {
        XImage* image = XGetImage(display, window, 0, 0, width, height, AllPlanes, ZPixmap);
        std::vector<std::uint32_t> shown;
        if (image == nullptr) return shown;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) shown.push_back(XGetPixel(image, x, y) & 0xFFFFFFu);
        XDestroyImage(image);
        return shown;
    }
};

void* image_source(std::size_t) {
    std::string why;
    std::uint32_t* pixels = make_shared_image(&why);
    if (pixels == nullptr) ADD_FAILURE() << "no shared image: " << why;
    return pixels;
}

void await(const std::uint32_t* pixels, int frame) {
    std::string why;
    ASSERT_EQ(await_shared_image(pixels, completion_timeout_ms, &why), ImageWait::drawable)
        << "frame " << frame << ": " << why;
}

// Puts the frame last finished where it or the frame shown before reached,
// as the program's loop does; `shown` becomes this frame's extent.
void put(const std::uint32_t* pixels, PixelRect& shown, int frame) {
    const PixelRect drawn = last_frame_extent();
    const PixelRect changed = bounding_rect(drawn, shown);
    shown = drawn;
    std::string why;
    ASSERT_TRUE(put_shared_image(pixels, changed.left, changed.top, changed.right - changed.left,
                                 changed.bottom - changed.top, &why))
        << "frame " << frame << ": " << why;
}

// Frames 0 .. count - 1 drawn headless by the reference engine.
std::vector<std::vector<std::uint32_t>> reference_frames(int count) {
    std::vector<std::vector<std::uint32_t>> frames;
    EXPECT_TRUE(start_system({width, height}));
    EXPECT_EQ(start_engine({EngineKind::reference, 1}), "");
    for (int k = 0; k < count; ++k) {
        render_frame();
        frames.emplace_back(frame_buffer, frame_buffer + std::size_t{width} * height);
        advance_frame_counter();
    }
    stop_engine();
    return frames;
}

TEST(SharedImages, EveryFramePutReachesTheWindowWhole) {
    const TestWindow test;
    ASSERT_NE(test.display, nullptr) << "no X display (DISPLAY)";
    std::string why;
    ASSERT_TRUE(open_shared_images(DisplayString(test.display), test.window, width, height, &why)) << why;

    std::string reason;
    ASSERT_EQ(start_engine({EngineKind::fast, 3}), "");
    ASSERT_TRUE(start_system({width, height}, image_source, obtain_heap_buffer, &reason)) << reason;
    std::uint32_t* spare = static_cast<std::uint32_t*>(image_source(0));
    ASSERT_NE(spare, nullptr);
    ASSERT_TRUE(is_shared_image(frame_buffer) && is_shared_image(spare));

    // What the window showed after each frame's put completed.
    std::vector<std::vector<std::uint32_t>> shown;
    PixelRect shown_extent{0, 0, width, height};  // the window shows nothing of the frames at first
    int partial_puts = 0;
    render_frame();
    for (int k = 0; k < overlapped_frames; ++k) {
        advance_frame_counter();
        std::uint32_t* finished = frame_buffer;
        frame_buffer = spare;
        spare = finished;
        await(frame_buffer, k + 1);
        const PixelRect changed = bounding_rect(last_frame_extent(), shown_extent);
        partial_puts += changed.right - changed.left < width || changed.bottom - changed.top < height;
        begin_frame();
        put(finished, shown_extent, k);
        await(finished, k);
        shown.push_back(test.pixels());
        finish_frame();
    }
    for (int k = overlapped_frames; k < overlapped_frames + one_image_frames; ++k) {
        put(frame_buffer, shown_extent, k);
        await(frame_buffer, k);
        shown.push_back(test.pixels());
        advance_frame_counter();
        render_frame();
    }
    stop_engine();
    close_shared_images(true);

    const auto expected = reference_frames(static_cast<int>(shown.size()));
    ASSERT_EQ(expected.size(), shown.size());
    for (std::size_t k = 0; k < shown.size(); ++k) EXPECT_EQ(shown[k], expected[k]) << "frame " << k;
    // The animation moved: the frames differ from one another; and most
    // puts were of a part of the frame.
    EXPECT_NE(expected.front(), expected.back());
    EXPECT_GT(partial_puts, overlapped_frames / 2);
}

}  // namespace
