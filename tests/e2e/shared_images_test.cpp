// The frame step drawing into MIT-SHM images, as the Linux program does: at
// full speed frame k + 1 drawn into one image while the X server puts frame
// k from the other, each image drawn into again only after its put's
// completion, and each put only where the frame may differ from the one
// shown before (the rectangles its faces and the shown frame's reached).
// Every frame that reaches the window must be whole and exact: the same
// pixels as the reference engine's frame of that number and size, drawn
// headless. Then the same after a resize, in idle mode, and from one image
// with the reference engine.
//
// Run on an X display of its own (window_checks.sh images starts Xvfb).
#include <gtest/gtest.h>

// After GoogleTest, whose names Xlib's macros (None, Bool) would replace.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/frame_step.h"
#include "app/presenter.h"
#include "app/startup.h"
#include "app/x11_images.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

namespace {

constexpr int width = 320, height = 240;
constexpr int overlapped_frames = 40, resized_frames = 20, idle_frames = 12, one_image_frames = 12;
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

    // The pixels of the window's top-left corner of `size`, 0x00RRGGBB.
    std::vector<std::uint32_t> pixels(FrameSize size) const {
        XImage* image = XGetImage(display, window, 0, 0, size.width, size.height, AllPlanes, ZPixmap);
        std::vector<std::uint32_t> shown;
        if (image == nullptr) return shown;
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x) shown.push_back(XGetPixel(image, x, y) & 0xFFFFFFu);
        XDestroyImage(image);
        return shown;
    }
};

// Shows the frames through shared images, and reads back what each put
// left in the window once its completion has come.
class ImagePresenter final : public Presenter {
  public:
    explicit ImagePresenter(const TestWindow& window) : window_(window) {}

    int make_buffers(FrameSize size, int wanted, std::string* reason) override {
        give_back_shared_images();
        size_ = size;
        whole_ = true;
        count_ = 0;
        for (; count_ < wanted && count_ < most_shared_images; ++count_) {
            images_[count_] = {make_shared_image(size.width, size.height, reason), false};
            if (images_[count_].pixels == nullptr) return 0;
        }
        return count_;
    }

    std::uint32_t* take_buffer(std::string* reason) override {
        for (int i = 0; i < count_; ++i) {
            if (images_[i].taken) continue;
            if (await_shared_image(images_[i].pixels, completion_timeout_ms, reason) != ImageWait::drawable)
                return nullptr;
            images_[i].taken = true;
            return images_[i].pixels;
        }
        *reason = "no image is free";
        return nullptr;
    }

    bool present(std::uint32_t* pixels, const PixelRect& changed, std::string* reason) override {
        for (int i = 0; i < count_; ++i)
            if (images_[i].pixels == pixels) images_[i].taken = false;
        const PixelRect put = whole_ ? PixelRect{0, 0, size_.width, size_.height} : changed;
        whole_ = false;
        partial_puts += put.right - put.left < size_.width || put.bottom - put.top < size_.height;
        if (!put_shared_image(pixels, put.left, put.top, put.right - put.left, put.bottom - put.top, reason))
            return false;
        if (await_shared_image(pixels, completion_timeout_ms, reason) != ImageWait::drawable) return false;
        shown.push_back(window_.pixels(size_));
        return true;
    }

    std::string way() const override { return "X shared-memory images"; }

    std::vector<std::vector<std::uint32_t>> shown;  // what the window showed after each present
    int partial_puts = 0;

  private:
    struct Image {
        std::uint32_t* pixels = nullptr;
        bool taken = false;
    };
    const TestWindow& window_;
    Image images_[most_shared_images];
    int count_ = 0;
    FrameSize size_{0, 0};
    bool whole_ = true;
};

// Frames first .. first + count - 1 at a size, drawn headless by the
// reference engine.
std::vector<std::vector<std::uint32_t>> reference_frames(FrameSize size, int first, int count) {
    std::vector<std::vector<std::uint32_t>> frames;
    EXPECT_TRUE(start_system(size));
    EXPECT_EQ(start_engine({EngineKind::reference, 1}), "");
    for (int k = 0; k < first + count; ++k) {
        render_frame();
        if (k >= first) frames.emplace_back(frame_buffer, frame_buffer + std::size_t{size.width} * size.height);
        advance_frame_counter();
    }
    stop_engine();
    return frames;
}

// Steps the frame step `count` times; each step must show a frame.
void steps(FrameStep& step, int count, StepOutcome expected) {
    for (int k = 0; k < count; ++k) ASSERT_EQ(step.step(), expected) << step.failure();
}

TEST(SharedImages, EveryFrameShownReachesTheWindowWhole) {
    const TestWindow test;
    ASSERT_NE(test.display, nullptr) << "no X display (DISPLAY)";
    std::string why;
    ASSERT_TRUE(open_shared_images(DisplayString(test.display), test.window, &why)) << why;

    ImagePresenter presenter(test);
    const FrameSize first_size{width, height}, second_size{240, 160};
    std::string reason;
    ASSERT_EQ(start_engine({EngineKind::fast, 3}), "");
    {
        FrameStep step(presenter);
        ASSERT_TRUE(step.start(first_size, 0, &reason)) << reason;
        steps(step, overlapped_frames, StepOutcome::frame);
        EXPECT_EQ(step.counts().overlapped, std::uint64_t{overlapped_frames});
        // A new size while frame 40 is drawn: frame 40 is drawn anew.
        ASSERT_TRUE(step.resize(second_size, &reason)) << reason;
        steps(step, resized_frames, StepOutcome::frame);
        full_speed = 0;
        steps(step, idle_frames, StepOutcome::pause);
        EXPECT_EQ(step.counts().drawn_into_shown, 0u);
        EXPECT_EQ(step.frame_number(), std::uint64_t{overlapped_frames + resized_frames + idle_frames - 1});
    }
    full_speed = 1;
    ASSERT_EQ(start_engine({EngineKind::reference, 2}), "");
    {
        FrameStep step(presenter);
        ASSERT_TRUE(step.start(first_size, 0, &reason)) << reason;
        steps(step, one_image_frames, StepOutcome::frame);
        EXPECT_EQ(step.counts().overlapped, 0u);
    }
    stop_engine();
    give_back_shared_images();
    close_shared_images(false);

    std::vector<std::vector<std::uint32_t>> expected = reference_frames(first_size, 0, overlapped_frames);
    for (auto& frame : reference_frames(second_size, overlapped_frames, resized_frames + idle_frames))
        expected.push_back(std::move(frame));
    for (auto& frame : reference_frames(first_size, 0, one_image_frames)) expected.push_back(std::move(frame));
    ASSERT_EQ(expected.size(), presenter.shown.size());
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(presenter.shown[k], expected[k]) << "shown frame " << k;
    // The animation moved: the frames differ from one another; and most
    // puts were of a part of the frame.
    EXPECT_NE(expected.front(), expected[overlapped_frames - 1]);
    EXPECT_GT(presenter.partial_puts, overlapped_frames / 2);
}

// A server that stops answering with a put still pending: letting go of
// the images asks it nothing that waits for an answer, so the program's end
// is not held up for ever. Run with the screen's Xvfb named by XVFB_PID; the
// server is stopped and let go on again here.
TEST(SharedImages, AServerThatStoppedAnsweringHoldsUpNoEnd) {
    const char* server = std::getenv("XVFB_PID");
    ASSERT_TRUE(server != nullptr && *server != '\0') << "XVFB_PID does not name the screen's X server";
    const pid_t server_pid = static_cast<pid_t>(std::stol(server));
    const TestWindow test;
    ASSERT_NE(test.display, nullptr) << "no X display (DISPLAY)";
    std::string why;
    ASSERT_TRUE(open_shared_images(DisplayString(test.display), test.window, &why)) << why;
    std::uint32_t* pixels = make_shared_image(width, height, &why);
    ASSERT_NE(pixels, nullptr) << why;

    ASSERT_EQ(kill(server_pid, SIGSTOP), 0);
    // Taken on again whatever becomes of the checks below.
    struct GoOn {
        pid_t pid;
        ~GoOn() { kill(pid, SIGCONT); }
    } go_on{server_pid};
    ASSERT_TRUE(put_shared_image(pixels, 0, 0, width, height, &why)) << why;
    std::atomic<bool> closed{false};
    std::thread closing([&] {
        close_shared_images(true);
        closed = true;
    });
    // The pending put's wait is a second at most; anything past that would
    // be a wait for an answer that never comes.
    for (int tenth = 0; tenth < 100 && !closed; ++tenth) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!closed) {
        kill(server_pid, SIGCONT);
        closing.join();
        FAIL() << "letting go of the images waited for a server that answered nothing for 10 s";
    }
    closing.join();
    EXPECT_EQ(await_shared_image(pixels, 1000, &why), ImageWait::drawable) << "the connection is closed";
}

}  // namespace
