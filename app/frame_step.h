// The frame step: the body of the program's loop, written once for every
// platform. The platform owns the loop (SDL's and Win32's in main_loop.cpp,
// the page's Worker in app/web/worker.js) and calls step() once a pass; the
// step decides everything a frame needs: which buffer the engine draws into
// and which one is shown, drawing the next frame while this one is shown,
// full speed or idle, the frame's number, the part of the window that
// changed, and the frame size a window gives.
//
// What a platform does, and only that, around the step:
//   - before the first step, start() with the frame size (frame_for_window
//     gives it from the screen's or the window's size) and a presenter;
//   - after each step, pause about 1 ms when it says so, then take at most
//     one event (a key, a new window size): input never holds back a frame;
//   - on a new window size, resize(); at the end, stop().
// It never touches frame_buffer, the buffers or the frame counter itself,
// and never calls the engine's begin_frame, finish_frame or render_frame.
//
// Threads: one thread (the main thread, or the page's Worker) calls every
// member; the engine's workers draw between steps.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "app/presenter.h"
#include "app/startup.h"
#include "pipeline/frame.h"

// The frame for a screen or a window of width x height pixels: each side
// less 10 pixels, down to an even number.
struct WindowFrame {
    FrameSize size;
    // Why the size gives no frame of its own, naming the surroundings
    // ("screen", "window"): a side under 12 or over largest_frame_side + 10
    // pixels, or more pixels than the program draws. Then `size` is the
    // nearest frame that can be drawn. "" when the size gives a frame.
    std::string refusal;
    // The refusal and the frame drawn instead, for a platform that goes on
    // with it (the page); "" when there is no refusal.
    std::string fallback_message() const;
};
WindowFrame frame_for_window(int width, int height, const char* surroundings, double most_pixels = 1e300);

// The parts of a frame that --timing tells apart. Each reading of the clock
// ends one part and starts the next, so the parts cover the loop's whole
// time and add up to it.
enum class LoopPart {
    presenting,  // Presenter::present
    display,     // waiting for a buffer the display is done with
    workers,     // waiting for the workers; drawing, when the step draws the frame itself
    beginning,   // begin_frame: the transform, and waking the workers
    events,      // the platform's one event
    pauses,      // the idle pauses
    rest,        // the loop's own bookkeeping
};
inline constexpr int loop_part_count = 7;

struct LoopTimes {
    using Clock = std::chrono::steady_clock;
    Clock::duration parts[loop_part_count]{};
    Clock::time_point start = Clock::now();
    Clock::time_point last = start;

    // The part that ran since the last reading ends now.
    void lap(LoopPart part) {
        const Clock::time_point now = Clock::now();
        parts[static_cast<int>(part)] += now - last;
        last = now;
    }
};

// What the step counts, which --timing and the page report and the tests
// check.
struct StepCounts {
    std::uint64_t drawn = 0;       // frames drawn whole or finished
    std::uint64_t shown = 0;       // frames presented
    std::uint64_t overlapped = 0;  // frames presented while the next one was drawn
    // Frames begun in a buffer that was being shown: none, ever. Counted
    // rather than assumed, for the page's tests.
    std::uint64_t drawn_into_shown = 0;
    std::uint64_t pauses = 0;                // idle pauses
    std::uint64_t pauses_while_drawing = 0;  // of them, with a frame being drawn: none, ever
};

// What the platform does after a step.
enum class StepOutcome {
    frame,   // the next step at once
    pause,   // idle: a pause of about 1 ms (counted with pause_begins), then the next step
    failed,  // frames can no longer be shown: the program ends with failure()
};

class FrameStep {
  public:
    // The presenter outlives the step.
    explicit FrameStep(Presenter& presenter, LoopTimes* times = nullptr);
    ~FrameStep();
    FrameStep(const FrameStep&) = delete;
    FrameStep& operator=(const FrameStep&) = delete;

    // Starts the system at `size` with the presenter's buffers, the next
    // frame to show being frame `first` (the animation stepped there as if
    // every frame before it had been drawn). Keeps full speed or idle as it
    // was. False, with one line in `reason`, when the buffers cannot be had;
    // nothing is drawn until a start or resize that works.
    bool start(FrameSize size, std::uint64_t first, std::string* reason);

    // A new frame size, at any moment: the frame being drawn is finished
    // and dropped, and the frame that was to be shown next is drawn anew at
    // the new size. As start otherwise.
    bool resize(FrameSize size, std::string* reason);

    // One pass: the frame drawn last (or being drawn) is completed and
    // presented; at full speed, with a buffer to spare and an engine that
    // draws in the background, the frame after it is begun first, so that
    // it is drawn while this one is shown. With `overlap` false it never is
    // (a still frame).
    StepOutcome step(bool overlap = true);

    // The idle pause after a step begins now: counted, with whether a frame
    // is being drawn meanwhile.
    void pause_begins();

    // No frame is being drawn from here on; the buffers stay the
    // presenter's.
    void stop();

    // The number of the frame presented last (frames since the start:
    // frame_counter is its last 9 bits), or of the first to come.
    std::uint64_t frame_number() const { return shown_number_; }
    const StepCounts& counts() const { return counts_; }
    // Why the last start, resize or step failed.
    const std::string& failure() const { return failure_; }
    // The buffer presented last, and the one the engine draws into now
    // (nullptr when none).
    const std::uint32_t* shown_buffer() const { return shown_buffer_; }
    const std::uint32_t* drawing_buffer() const { return drawing_buffer_; }

  private:
    bool restart(FrameSize size, std::uint64_t next, std::string* reason);
    void lap(LoopPart part);

    Presenter& presenter_;
    LoopTimes* times_;
    bool started_ = false;
    int buffer_count_ = 0;
    std::uint32_t* drawing_buffer_ = nullptr;  // taken, the next frame being drawn into it
    std::uint32_t* shown_buffer_ = nullptr;
    PixelRect shown_extent_{};       // where the frame shown last reached
    std::uint64_t next_number_ = 0;  // the frame the next step presents
    std::uint64_t shown_number_ = 0;
    StepCounts counts_;
    std::string failure_;
};
