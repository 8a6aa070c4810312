// The web page's platform layer, beside SDL2 and Win32: the module that a
// Worker of the page (app/web/worker.js) loads and calls. The page is a
// browser's, not a window of the program's own, so the loop is the Worker's:
// it asks for one frame at a time here, puts it on its canvas, and yields to
// the browser between frames. What the frames are, how the keys act and how
// the frame follows the window's size are the window program's, written
// here for a loop that the browser drives.
//
// Built twice: with threads (the fast engine's pool and the reference
// engine's workers are the module's threads, which the page starts before
// the first frame) for a page that is cross-origin isolated, and without,
// where every thread the engines ask for is refused and they draw on the
// Worker's own thread.
#include <emscripten.h>
#include <wasm_simd128.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/frame_step.h"
#include "app/presenter.h"
#include "app/startup.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

namespace {

// The most pixels the page draws: an 8K screen's. The module's memory holds
// the frame's depths, two frame buffers (one drawn while the other is
// shown) and the colours put on the canvas, 16 bytes a pixel, within the
// browser's own limits on memory and on a canvas.
constexpr double largest_page_pixels = 7680.0 * 4320.0;

// One line for the user, kept until the next call that makes one.
std::string message;

// web_benchmark's figures, for web_benchmark_budget.
std::string budget = "{}";

// The frame web_frame_for_window found last.
FrameSize window_frame{2, 2};

const char* said(std::string text) {
    message = std::move(text);
    return message.c_str();
}

// Blue, green, red, zero in memory to red, green, blue, opaque: four pixels
// an instruction.
void to_canvas_colours(const std::uint32_t* pixels, std::uint8_t* colours, std::size_t count) {
    const v128_t opaque = wasm_i32x4_splat(static_cast<std::int32_t>(0xFF000000u));
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const v128_t bgrx = wasm_v128_load(pixels + i);
        const v128_t rgb0 = wasm_i8x16_shuffle(bgrx, bgrx, 2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
        wasm_v128_store(colours + 4 * i, wasm_v128_or(rgb0, opaque));
    }
    for (; i < count; ++i) {
        const std::uint32_t p = pixels[i];
        colours[4 * i + 0] = static_cast<std::uint8_t>(p >> 16);
        colours[4 * i + 1] = static_cast<std::uint8_t>(p >> 8);
        colours[4 * i + 2] = static_cast<std::uint8_t>(p);
        colours[4 * i + 3] = 0xFF;
    }
}

// The page's presenter: frames drawn into plain memory, and each presented
// one turned into the colours a canvas takes, where it changed; the Worker
// then puts that part on the canvas. The colours are what the canvas shows,
// so the frame buffers are free again as soon as they are presented.
class CanvasPresenter final : public Presenter {
  public:
    ~CanvasPresenter() override { give_back_heap_buffer(colours_); }

    int make_buffers(FrameSize size, int wanted, std::string* reason) override {
        buffers_.give_back();
        give_back_heap_buffer(colours_);
        colours_ = nullptr;
        const std::size_t bytes = std::size_t{size.width} * size.height * 4;
        colours_ = static_cast<std::uint8_t*>(obtain_heap_buffer(bytes));
        if (colours_ == nullptr) {
            *reason = "The colours of a " + std::to_string(size.width) + " x " + std::to_string(size.height) +
                      " frame for the canvas, " + std::to_string(bytes) + " bytes, could not be had.";
            return 0;
        }
        whole_ = true;
        return buffers_.make(size, wanted, reason);
    }

    std::uint32_t* take_buffer(std::string* reason) override {
        std::uint32_t* pixels = buffers_.take();
        if (pixels == nullptr) *reason = "every frame buffer is taken";
        return pixels;
    }

    bool present(std::uint32_t* pixels, const PixelRect& changed, std::string* reason) override {
        if (!buffers_.release(pixels)) {
            *reason = "a frame buffer was shown that had not been taken";
            return false;
        }
        const FrameSize size = buffers_.size();
        // A canvas given a new size shows nothing of the frames.
        put_ = whole_ ? PixelRect{0, 0, size.width, size.height} : changed;
        whole_ = false;
        for (int y = put_.top; y < put_.bottom; ++y) {
            const std::size_t row = std::size_t{static_cast<unsigned>(y)} * size.width;
            to_canvas_colours(pixels + row + put_.left, colours_ + 4 * (row + put_.left),
                              static_cast<std::size_t>(put_.right - put_.left));
        }
        return true;
    }

    std::string way() const override { return "the page's canvas"; }

    // The colours on the canvas, width x height x 4 bytes, and the part the
    // last present changed, which is all the canvas need be given.
    const std::uint8_t* colours() const { return colours_; }
    const PixelRect& put() const { return put_; }

  private:
    CopiedBuffers buffers_;
    std::uint8_t* colours_ = nullptr;
    PixelRect put_{};
    bool whole_ = true;
};

CanvasPresenter presenter;
FrameStep step(presenter);

// What the page reads of the step's counts.
double counts[7];

}  // namespace

extern "C" {

// Whether this module has threads.
EMSCRIPTEN_KEEPALIVE int web_has_threads() {
#if defined(__EMSCRIPTEN_PTHREADS__)
    return 1;
#else
    return 0;
#endif
}

// Chooses the engine as the program's --engine and --workers do: reference
// 0 or 1, workers 0 for the engine's default. Returns "" when it runs, else
// why not.
EMSCRIPTEN_KEEPALIVE const char* web_choose_engine(int reference, int workers) {
    EngineChoice choice;
    choice.kind = reference ? EngineKind::reference : EngineKind::fast;
    choice.workers = workers;
    return said(start_engine(choice));
}

// The running engine, in a few words: "fast engine, 2 workers, simd128".
EMSCRIPTEN_KEEPALIVE const char* web_engine_text() {
    const RunningEngine engine = running_engine();
    std::string text = std::string(engine_name(engine.kind)) + " engine, ";
    text += engine.workers == 0 ? std::string("on the Worker's own thread")
                                : std::to_string(engine.workers) + (engine.workers == 1 ? " worker" : " workers");
    if (engine.kind == EngineKind::fast) text += std::string(", ") + instruction_set_name(engine.instruction_set);
    return said(text);
}

// The frame for a window whose page is `width` x `height` device pixels, as
// the program's window takes it from the screen, within the most pixels the
// page draws; "" or why the window gives no frame of its own, with the
// frame drawn instead. Its sides follow from web_window_frame_width and
// web_window_frame_height.
EMSCRIPTEN_KEEPALIVE const char* web_frame_for_window(int width, int height) {
    const WindowFrame frame = frame_for_window(width, height, "window", largest_page_pixels);
    window_frame = frame.size;
    return said(frame.fallback_message());
}

EMSCRIPTEN_KEEPALIVE int web_window_frame_width() { return window_frame.width; }
EMSCRIPTEN_KEEPALIVE int web_window_frame_height() { return window_frame.height; }

// Starts the frames at width x height, the first shown being frame `frame`,
// with the full speed or idle mode kept. Returns "" or why not (and then
// nothing is drawn until a start or resize that works).
EMSCRIPTEN_KEEPALIVE const char* web_start(int width, int height, double frame) {
    std::string reason;
    if (!step.start({static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)},
                    static_cast<std::uint64_t>(frame), &reason))
        return said(reason);
    return said("");
}

// A new frame size, at any moment: the frame that was to come next is drawn
// at it. "" or why not.
EMSCRIPTEN_KEEPALIVE const char* web_resize(int width, int height) {
    std::string reason;
    if (!step.resize({static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)}, &reason))
        return said(reason);
    return said("");
}

// One frame step; then web_colours and web_put_* say what to put on the
// canvas. 0: the next step at once; 1: after a pause of 1 ms (web_pause when
// it begins); -1: no more frames can be drawn, web_failure says why. With
// `overlap` 0 no next frame is begun (a still frame).
EMSCRIPTEN_KEEPALIVE int web_step(int overlap) {
    switch (step.step(overlap != 0)) {
        case StepOutcome::frame: return 0;
        case StepOutcome::pause: return 1;
        case StepOutcome::failed: break;
    }
    return -1;
}

EMSCRIPTEN_KEEPALIVE const char* web_failure() { return said(step.failure()); }

// The idle pause after a step begins.
EMSCRIPTEN_KEEPALIVE void web_pause() { step.pause_begins(); }

// The canvas' colours (width x height x 4 bytes, red, green, blue, opaque)
// and the part of them the last step changed.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* web_colours() { return presenter.colours(); }
EMSCRIPTEN_KEEPALIVE int web_put_left() { return presenter.put().left; }
EMSCRIPTEN_KEEPALIVE int web_put_top() { return presenter.put().top; }
EMSCRIPTEN_KEEPALIVE int web_put_right() { return presenter.put().right; }
EMSCRIPTEN_KEEPALIVE int web_put_bottom() { return presenter.put().bottom; }

// The number of the frame on the canvas (frames since the start).
EMSCRIPTEN_KEEPALIVE double web_frame_number() { return static_cast<double>(step.frame_number()); }

// The step's counts: drawn, shown, overlapped, drawn into the buffer being
// shown, idle pauses, idle pauses with a frame being drawn; and the module's
// memory in bytes.
EMSCRIPTEN_KEEPALIVE const double* web_counts() {
    const StepCounts& c = step.counts();
    counts[0] = static_cast<double>(c.drawn);
    counts[1] = static_cast<double>(c.shown);
    counts[2] = static_cast<double>(c.overlapped);
    counts[3] = static_cast<double>(c.drawn_into_shown);
    counts[4] = static_cast<double>(c.pauses);
    counts[5] = static_cast<double>(c.pauses_while_drawing);
    counts[6] = static_cast<double>(__builtin_wasm_memory_size(0)) * 65536.0;
    return counts;
}

// Space, as in the window program: full speed to idle and back. Returns 1
// for full speed, 0 for idle.
EMSCRIPTEN_KEEPALIVE int web_space() {
    full_speed = static_cast<std::uint8_t>((full_speed + 1) & 1);
    return full_speed;
}

// Escape: the engine and its workers end.
EMSCRIPTEN_KEEPALIVE void web_stop() {
    step.stop();
    stop_engine();
}

// The benchmark: frames of width x height drawn headless one after the
// other, none shown, as ombrastel-bench draws them: frames 0 to warmup - 1
// first, then `frames` frames, their stages timed when `timed` is 1;
// returns the seconds these took, or -1 when the frame cannot be drawn,
// web_benchmark_refusal saying why.
//
// Before them, frames are drawn for settle_ms milliseconds and the scene
// then starts again: a browser first runs a module's code as its quick
// compiler made it, and puts in optimised code for the busy functions only
// once a background thread has made it. With every processor drawing, that
// took Chromium a second or two, and a measure of those frames would be one
// of its compilers, not of the frames a visitor sees after it.
EMSCRIPTEN_KEEPALIVE double web_benchmark(int width, int height, int settle_ms, int warmup, int frames, int timed) {
    const FrameSize size{static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
    std::string reason;
    if (!start_system(size, obtain_heap_buffer, &reason)) {
        said(reason);
        return -1;
    }
    const double settled = emscripten_get_now() + settle_ms;
    while (emscripten_get_now() < settled) {
        render_frame();
        advance_frame_counter();
    }
    if (settle_ms > 0 && !start_system(size, obtain_heap_buffer, &reason)) {
        said(reason);
        return -1;
    }
    for (int k = 0; k < warmup; ++k) {
        render_frame();
        advance_frame_counter();
    }
    time_stages(timed == 1);
    take_stage_times();
    const double start = emscripten_get_now();
    for (int k = 0; k < frames; ++k) {
        render_frame();
        advance_frame_counter();
    }
    const double seconds = (emscripten_get_now() - start) / 1000.0;
    const StageTimes stages = take_stage_times();
    time_stages(false);
    const StageTimes::Budget& b = stages.budget;
    const double us = 1000.0;  // a millisecond's microseconds
    char figures[640];
    std::snprintf(figures, sizeof figures,
                  "{\"clearing\":%.3f,\"depth\":%.3f,\"shading\":%.3f,\"workers\":%.3f,\"waking\":%.3f,"
                  "\"started\":%.3f,\"faces\":%.3f,\"walking\":%.3f,\"waiting\":%.3f,\"handover\":%.3f,"
                  "\"calling_thread_drawing\":%.3f,\"calling_thread_strips\":%.2f}",
                  stages.clearing_ms * us, stages.depth_ms * us, stages.shading_ms * us, stages.workers_ms * us,
                  b.begin_ms * us, b.woken_ms * us, b.faces_ms * us, b.walking_ms * us, b.waiting_ms * us,
                  b.handover_ms * us, b.helping_ms * us, b.helped_strips);
    budget = figures;
    return seconds;
}

// The last benchmark's frame budget, µs a frame, as ombrastel-bench gives
// it: its stages (a worker's means), then waking the workers, their start,
// set-up, wait and hand-over, and the calling thread's drawing while they
// woke. A JSON object.
EMSCRIPTEN_KEEPALIVE const char* web_benchmark_budget() { return budget.c_str(); }

// Why web_benchmark returned -1.
EMSCRIPTEN_KEEPALIVE const char* web_benchmark_refusal() { return message.c_str(); }
}
