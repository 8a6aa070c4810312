// The frame step over a presenter of plain memory, as every platform's loop
// runs it: whatever the engine, its workers, the pacing and the moments of
// resizes, every frame presented is the headless frame of its number and
// size, no buffer is drawn into while the display may read it, no idle pause
// finds a frame being drawn, and the buffers of one size are given back
// before another's are made. And a presenter that fails ends the steps with
// its reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/frame_step.h"
#include "app/presenter.h"
#include "engine/engine.h"
#include "scene/scene_data.h"
#include "test_support.h"

namespace {

// FNV-1a over a frame's pixels: enough to tell two frames apart here.
std::uint64_t pixels_hash(const std::uint32_t* pixels, std::size_t count) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < count; ++i) {
        hash ^= pixels[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

struct Shown {
    FrameSize size;
    std::uint64_t number;
    std::uint64_t hash;
};

// Buffers of plain memory; every frame presented is copied out, as SDL's
// window surface and the page's canvas take it, and noted with its number.
class MemoryPresenter final : public Presenter {
  public:
    int make_buffers(FrameSize size, int wanted, std::string* reason) override {
        EXPECT_FALSE(frame_in_progress()) << "buffers remade while a frame is drawn";
        taken_ = 0;
        if (refuse_sizes.count(size.width) != 0) {
            buffers_.give_back();
            *reason = "refused";
            return 0;
        }
        ++makes;
        return buffers_.make(size, wanted, reason);
    }

    std::uint32_t* take_buffer(std::string* reason) override {
        if (fail_takes_after >= 0 && takes++ >= fail_takes_after) {
            *reason = "the window is gone";
            return nullptr;
        }
        std::uint32_t* pixels = buffers_.take();
        if (pixels == nullptr) *reason = "every buffer is taken";
        taken_ += pixels != nullptr;
        return pixels;
    }

    bool present(std::uint32_t* pixels, const PixelRect& changed, std::string* reason) override {
        if (!buffers_.release(pixels)) {
            *reason = "a buffer that was not taken was presented";
            return false;
        }
        --taken_;
        const FrameSize size = buffers_.size();
        // Outside `changed` the window already shows this frame: it keeps
        // what it showed there.
        window_.resize(std::size_t{size.width} * size.height);
        if (window_size_.width != size.width || window_size_.height != size.height) {
            window_.assign(window_.size(), 0xDEADBEEF);  // a new window shows nothing of the frames
            window_size_ = size;
            EXPECT_EQ(changed.right - changed.left, size.width) << "the first frame of a size is put whole";
            EXPECT_EQ(changed.bottom - changed.top, size.height);
        }
        for (int y = changed.top; y < changed.bottom; ++y)
            for (int x = changed.left; x < changed.right; ++x)
                window_[static_cast<std::size_t>(y) * size.width + x] =
                    pixels[static_cast<std::size_t>(y) * size.width + x];
        shown.push_back({size, 0, pixels_hash(window_.data(), window_.size())});
        return true;
    }

    std::string way() const override { return "memory"; }

    std::vector<Shown> shown;
    std::set<int> refuse_sizes;  // widths whose buffers are refused
    int fail_takes_after = -1;   // takes that work before one fails; -1: all work
    int takes = 0;
    int makes = 0;

  private:
    CopiedBuffers buffers_;
    int taken_ = 0;
    std::vector<std::uint32_t> window_;
    FrameSize window_size_{0, 0};
};

// The headless frame of each (size, number) wanted, each size drawn from
// frame 0 on with the reference engine.
std::map<std::tuple<int, int, std::uint64_t>, std::uint64_t> headless_hashes(const std::vector<Shown>& shown) {
    std::map<std::pair<int, int>, std::uint64_t> last;
    for (const Shown& s : shown) {
        auto& l = last[{s.size.width, s.size.height}];
        l = std::max(l, s.number);
    }
    std::map<std::tuple<int, int, std::uint64_t>, std::uint64_t> hashes;
    for (const auto& [size, up_to] : last) {
        start_headless(size.first, size.second);
        EXPECT_EQ(start_engine({EngineKind::reference, 1}), "");
        for (std::uint64_t k = 0; k <= up_to; ++k) {
            render_frame();
            hashes[{size.first, size.second, k}] = pixels_hash(frame_buffer, std::size_t{frame_width} * frame_height);
            advance_frame_counter();
        }
    }
    stop_engine();
    return hashes;
}

struct EngineCase {
    EngineKind kind;
    int workers;
};

// Steps with resizes and Space at random moments, seeded: the same run every
// time.
TEST(FrameStep, ResizesAtAnyMomentGiveTheHeadlessFrames) {
    const FrameSize sizes[] = {{64, 48}, {130, 90}, {2, 2}, {96, 160}, {320, 240}};
    for (const EngineCase engine :
         {EngineCase{EngineKind::fast, 2}, EngineCase{EngineKind::fast, 1}, EngineCase{EngineKind::fast, 7},
          EngineCase{EngineKind::reference, 2}, EngineCase{EngineKind::reference, 1}}) {
        SCOPED_TRACE(std::string(engine_name(engine.kind)) + " engine, " + std::to_string(engine.workers) + " workers");
        ASSERT_EQ(start_engine({engine.kind, engine.workers}), "");
        MemoryPresenter presenter;
        std::mt19937 random(412);
        {
            FrameStep step(presenter);
            std::string reason;
            ASSERT_TRUE(step.start(sizes[0], 0, &reason)) << reason;
            full_speed = 1;
            for (int i = 0; i < 160; ++i) {
                const unsigned roll = random() % 16;
                if (roll == 0) {
                    ASSERT_TRUE(step.resize(sizes[random() % std::size(sizes)], &reason)) << reason;
                } else if (roll == 1) {
                    full_speed = static_cast<std::uint8_t>((full_speed + 1) & 1);
                }
                const StepOutcome outcome = step.step();
                ASSERT_EQ(outcome, full_speed == 1 ? StepOutcome::frame : StepOutcome::pause) << step.failure();
                presenter.shown.back().number = step.frame_number();
                if (outcome == StepOutcome::pause) step.pause_begins();
            }
            const StepCounts& counts = step.counts();
            EXPECT_EQ(counts.shown, 160u);
            EXPECT_EQ(counts.drawn_into_shown, 0u);
            EXPECT_EQ(counts.pauses_while_drawing, 0u);
            EXPECT_GT(counts.pauses, 0u);
            if (engine.kind == EngineKind::fast)
                EXPECT_GT(counts.overlapped, 0u);
            else
                EXPECT_EQ(counts.overlapped, 0u);
        }
        full_speed = 1;
        const auto hashes = headless_hashes(presenter.shown);
        for (std::size_t k = 0; k < presenter.shown.size(); ++k) {
            const Shown& s = presenter.shown[k];
            EXPECT_EQ(s.hash, hashes.at({s.size.width, s.size.height, s.number}))
                << "step " << k << ": frame " << s.number << " at " << s.size.width << " x " << s.size.height;
        }
    }
}

// The frames shown continue in order across a resize: the one that was to
// come next is drawn anew at the new size, even while it was being drawn.
TEST(FrameStep, AResizeShowsTheFrameThatWasToComeNext) {
    ASSERT_EQ(start_engine({EngineKind::fast, 2}), "");
    MemoryPresenter presenter;
    FrameStep step(presenter);
    std::string reason;
    ASSERT_TRUE(step.start({64, 48}, 100, &reason)) << reason;
    for (std::uint64_t k = 100; k < 105; ++k) {
        ASSERT_EQ(step.step(), StepOutcome::frame);
        EXPECT_EQ(step.frame_number(), k);
        EXPECT_NE(step.drawing_buffer(), nullptr);  // frame k + 1 is being drawn
        EXPECT_NE(step.drawing_buffer(), step.shown_buffer());
    }
    ASSERT_TRUE(step.resize({32, 24}, &reason)) << reason;
    EXPECT_EQ(step.drawing_buffer(), nullptr);
    ASSERT_EQ(step.step(), StepOutcome::frame);
    EXPECT_EQ(step.frame_number(), 105u);
    EXPECT_EQ(presenter.makes, 2);
}

// What the presenter cannot do ends the steps with its reason; a resize to a
// size whose buffers are refused leaves nothing to draw into until a resize
// that works.
TEST(FrameStep, APresenterThatFailsEndsTheStepsWithItsReason) {
    ASSERT_EQ(start_engine({EngineKind::fast, 2}), "");
    std::string reason;
    {
        MemoryPresenter presenter;
        presenter.fail_takes_after = 3;
        FrameStep step(presenter);
        ASSERT_TRUE(step.start({64, 48}, 0, &reason)) << reason;
        StepOutcome outcome = StepOutcome::frame;
        int steps = 0;
        while (outcome == StepOutcome::frame && steps < 10) {
            outcome = step.step();
            ++steps;
        }
        EXPECT_EQ(outcome, StepOutcome::failed);
        EXPECT_EQ(step.failure(), "the window is gone");
        EXPECT_FALSE(frame_in_progress());
    }
    {
        MemoryPresenter presenter;
        presenter.refuse_sizes = {96};
        FrameStep step(presenter);
        ASSERT_TRUE(step.start({64, 48}, 0, &reason)) << reason;
        ASSERT_EQ(step.step(), StepOutcome::frame);
        EXPECT_FALSE(step.resize({96, 64}, &reason));
        EXPECT_EQ(reason, "refused");
        EXPECT_EQ(step.step(), StepOutcome::failed);
        ASSERT_TRUE(step.resize({64, 48}, &reason)) << reason;
        EXPECT_EQ(step.step(), StepOutcome::frame);
    }
    stop_engine();
}

// The frame a screen or a window gives, with the fallback and its reason.
TEST(FrameStep, WindowsGiveTheirFrameOrTheNearestWithTheReason) {
    struct Case {
        int width, height;
        double most_pixels;
        FrameSize frame;
        const char* refusal;  // a part of it; "" for none
    };
    const double unlimited = 1e300;
    for (const Case& c : {
             Case{1920, 1080, unlimited, {1910, 1070}, ""},
             Case{1367, 769, unlimited, {1356, 758}, ""},
             Case{12, 12, unlimited, {2, 2}, ""},
             Case{1, 1, unlimited, {2, 2}, "The window, 1 x 1 pixels, gives no frame"},
             Case{-5, 600, unlimited, {2, 590}, "gives no frame: each side, less 10 pixels, must come to 2 to 32766"},
             Case{40000, 20, unlimited, {32766, 10}, "The window, 40000 x 20 pixels, gives no frame"},
             Case{8000, 4500, 7680.0 * 4320.0, {7682, 4316}, "more pixels than the program draws (33177600 in all)"},
         }) {
        const WindowFrame frame = frame_for_window(c.width, c.height, "window", c.most_pixels);
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        EXPECT_EQ(frame.size.width, c.frame.width);
        EXPECT_EQ(frame.size.height, c.frame.height);
        EXPECT_TRUE(frame_size_is_valid(frame.size.width, frame.size.height));
        EXPECT_LE(double(frame.size.width) * frame.size.height, c.most_pixels);
        if (c.refusal[0] == '\0') {
            EXPECT_EQ(frame.refusal, "");
            EXPECT_EQ(frame.fallback_message(), "");
        } else {
            EXPECT_NE(frame.refusal.find(c.refusal), std::string::npos) << frame.refusal;
            EXPECT_NE(frame.fallback_message().find(" The frame is " + std::to_string(c.frame.width) + " x " +
                                                    std::to_string(c.frame.height) + "."),
                      std::string::npos)
                << frame.fallback_message();
        }
    }
}

}  // namespace
