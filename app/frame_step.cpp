#include "app/frame_step.h"

#include <algorithm>
#include <cmath>

#include "engine/engine.h"
#include "scene/scene_data.h"

std::string WindowFrame::fallback_message() const {
    if (refusal.empty()) return "";
    return refusal + " The frame is " + std::to_string(size.width) + " x " + std::to_string(size.height) + ".";
}

WindowFrame frame_for_window(int width, int height, const char* surroundings, double most_pixels) {
    WindowFrame frame{};
    const std::string named = std::string("The ") + surroundings + ", " + std::to_string(width) + " x " +
                              std::to_string(height) + " pixels, ";
    if (!frame_size_for_screen(width, height, &frame.size)) {
        auto side = [](int outer) {
            // Clamped before the subtraction, so that no side wraps around.
            const int inner = std::clamp(outer, 12, largest_frame_side + 10) - 10;
            return static_cast<std::uint16_t>(inner & ~1);
        };
        frame.size = {side(width), side(height)};
        frame.refusal = named + "gives no frame: each side, less 10 pixels, must come to 2 to " +
                        std::to_string(largest_frame_side) + " pixels.";
    }
    const double pixels = double(frame.size.width) * frame.size.height;
    if (pixels > most_pixels) {
        const double shrink = std::sqrt(most_pixels / pixels);
        auto side = [&](int frame_side) {
            return static_cast<std::uint16_t>(std::max(2, static_cast<int>(frame_side * shrink) & ~1));
        };
        frame.size = {side(frame.size.width), side(frame.size.height)};
        if (frame.refusal.empty())
            frame.refusal = named + "gives a frame of more pixels than the program draws (" +
                            std::to_string(static_cast<long long>(most_pixels)) + " in all).";
    }
    return frame;
}

namespace {

// An engine that draws in the background: the step can show one frame while
// the next one is drawn, given a second buffer. The reference engine draws
// a whole frame in begin_frame; so does the fast engine without workers (a
// page without threads).
bool draws_in_background() {
    const RunningEngine engine = running_engine();
    return engine.kind == EngineKind::fast && engine.workers > 0;
}

// Takes the animation to frame k as drawing every frame before it would:
// the zoom steps once a frame, and the rotation follows the frame number.
void go_to_frame(std::uint64_t k) {
    for (std::uint64_t i = 0; i < k; ++i) {
        zoom_step();
        advance_frame_counter();
    }
}

}  // namespace

FrameStep::FrameStep(Presenter& presenter, LoopTimes* times) : presenter_(presenter), times_(times) {}

FrameStep::~FrameStep() { stop(); }

void FrameStep::lap(LoopPart part) {
    if (times_ != nullptr) times_->lap(part);
}

bool FrameStep::start(FrameSize size, std::uint64_t first, std::string* reason) { return restart(size, first, reason); }

bool FrameStep::resize(FrameSize size, std::string* reason) { return restart(size, next_number_, reason); }

bool FrameStep::restart(FrameSize size, std::uint64_t next, std::string* reason) {
    // The frame being drawn is dropped: its buffer goes back with the others.
    stop();
    started_ = false;
    shown_buffer_ = nullptr;
    const std::uint8_t mode = full_speed;
    buffer_count_ = presenter_.make_buffers(size, draws_in_background() ? 2 : 1, &failure_);
    if (buffer_count_ == 0 || !start_system_for_window(size, &failure_)) {
        *reason = failure_;
        return false;
    }
    full_speed = mode;
    go_to_frame(next);
    next_number_ = next;
    shown_number_ = next;
    // The window shows nothing of frames of this size yet.
    shown_extent_ = {0, 0, size.width, size.height};
    started_ = true;
    failure_.clear();
    return true;
}

StepOutcome FrameStep::step(bool overlap) {
    if (!started_) {
        if (failure_.empty()) failure_ = "no frame size has been started";
        return StepOutcome::failed;
    }
    std::uint32_t* finished = drawing_buffer_;
    if (finished != nullptr) {
        finish_frame();
        drawing_buffer_ = nullptr;
        lap(LoopPart::workers);
    } else {
        finished = presenter_.take_buffer(&failure_);
        lap(LoopPart::display);
        if (finished == nullptr) return StepOutcome::failed;
        draw_into(finished);
        render_frame();
        lap(LoopPart::workers);
    }
    ++counts_.drawn;
    const PixelRect drawn = last_frame_extent();
    advance_frame_counter();

    if (overlap && full_speed == 1 && buffer_count_ >= 2 && draws_in_background()) {
        std::uint32_t* next = presenter_.take_buffer(&failure_);
        lap(LoopPart::display);
        if (next == nullptr) return StepOutcome::failed;
        if (next == finished) ++counts_.drawn_into_shown;
        draw_into(next);
        begin_frame();
        drawing_buffer_ = next;
        ++counts_.overlapped;
        lap(LoopPart::beginning);
    }

    // Outside where this frame's faces reached it is black, and so was the
    // frame shown before outside its own: outside both, the window shows
    // this frame already.
    const bool shown = presenter_.present(finished, bounding_rect(drawn, shown_extent_), &failure_);
    lap(LoopPart::presenting);
    if (!shown) return StepOutcome::failed;
    shown_extent_ = drawn;
    shown_buffer_ = finished;
    shown_number_ = next_number_++;
    ++counts_.shown;
    return full_speed == 1 ? StepOutcome::frame : StepOutcome::pause;
}

void FrameStep::pause_begins() {
    ++counts_.pauses;
    if (frame_in_progress()) ++counts_.pauses_while_drawing;
}

void FrameStep::stop() {
    finish_frame();
    drawing_buffer_ = nullptr;
}
