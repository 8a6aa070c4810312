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

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "app/startup.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

namespace {

// The most pixels the page draws: an 8K screen's. The module's memory holds
// the frame's colours, its depths, the colours of the frame before (drawn
// while the next one is) and the colours put on the canvas, 16 bytes a
// pixel, within the browser's own limits on memory and on a canvas.
constexpr double largest_page_pixels = 7680.0 * 4320.0;

// One line for the user, kept until the next call that makes one.
std::string message;

// The frame web_frame_for_window found last.
FrameSize window_frame{2, 2};

const char* said(std::string text) {
    message = std::move(text);
    return message.c_str();
}

struct PageBuffers {
    std::uint32_t* spare = nullptr;   // the other frame buffer of the fast engine
    std::uint8_t* colours = nullptr;  // red, green, blue, opaque: what the canvas takes
};
PageBuffers page;

void give_back_page_buffers() {
    for (void* held : {static_cast<void*>(page.spare), static_cast<void*>(page.colours)})
        if (held) ::operator delete (held, std::align_val_t{16});
    page = {};
}

// Zero-filled, for the frame buffer that the engine finds black.
void* page_buffer(std::size_t bytes) {
    void* buffer = ::operator new (bytes, std::align_val_t{16}, std::nothrow);
    if (buffer) std::memset(buffer, 0, bytes);
    return buffer;
}

// The frame on the canvas: its number (frames drawn before it since the
// start) and whether the frame after it is being drawn meanwhile.
std::uint64_t shown_frame = 0;
bool next_frame_drawing = false;

// Takes the animation to frame k as drawing every frame before it would:
// the zoom steps once a frame, and the rotation follows the frame number.
void go_to_frame(std::uint64_t k) {
    for (std::uint64_t i = 0; i < k; ++i) {
        zoom_step();
        advance_frame_counter();
    }
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
// the program's window takes it from the screen: each side less 10 pixels,
// down to an even number. A window that gives no such frame (a side under 12
// or over 32776 pixels) or more pixels than the page draws gets the nearest
// frame that can be drawn; the reason is returned, else "". The frame's
// sides follow from web_window_frame_width and web_window_frame_height.
EMSCRIPTEN_KEEPALIVE const char* web_frame_for_window(int width, int height) {
    std::string reason;
    if (!frame_size_for_screen(width, height, &window_frame)) {
        auto side = [](int screen_side) {
            return static_cast<std::uint16_t>(std::clamp((screen_side - 10) & ~1, 2, largest_frame_side));
        };
        window_frame = {side(width), side(height)};
        reason = "The window, " + std::to_string(width) + " x " + std::to_string(height) +
                 " pixels, gives no frame: each side, less 10 pixels, must come to 2 to " +
                 std::to_string(largest_frame_side) + " pixels.";
    }
    const double pixels = double(window_frame.width) * window_frame.height;
    if (pixels > largest_page_pixels) {
        const double shrink = std::sqrt(largest_page_pixels / pixels);
        auto side = [&](int frame_side) {
            return static_cast<std::uint16_t>(std::max(2, int(frame_side * shrink) & ~1));
        };
        window_frame = {side(window_frame.width), side(window_frame.height)};
        if (reason.empty())
            reason = "The window, " + std::to_string(width) + " x " + std::to_string(height) +
                     " pixels, gives a frame of more pixels than the page draws (7680 x 4320 in all).";
    }
    if (!reason.empty())
        reason +=
            " The frame is " + std::to_string(window_frame.width) + " x " + std::to_string(window_frame.height) + ".";
    return said(reason);
}

EMSCRIPTEN_KEEPALIVE int web_window_frame_width() { return window_frame.width; }
EMSCRIPTEN_KEEPALIVE int web_window_frame_height() { return window_frame.height; }

// Starts the system for a frame of width x height and draws frame `frame`
// into it, with the full speed or idle mode kept. Returns "" when it is
// drawn, else why not (and then nothing is drawn until a start that works).
EMSCRIPTEN_KEEPALIVE const char* web_start(int width, int height, double frame) {
    finish_frame();
    next_frame_drawing = false;
    const std::uint8_t mode = full_speed;
    give_back_page_buffers();
    std::string reason;
    if (!start_system({static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)}, obtain_heap_buffer,
                      &reason))
        return said(reason);
    full_speed = mode;
    const std::size_t count = std::size_t{frame_width} * frame_height;
    page.colours = static_cast<std::uint8_t*>(page_buffer(count * 4));
    // A second frame buffer lets the engine draw the next frame while this
    // one goes to the canvas; without it, each is drawn and then shown.
    if (running_engine().kind == EngineKind::fast && web_has_threads())
        page.spare = static_cast<std::uint32_t*>(page_buffer(count * 4));
    if (!page.colours) {
        give_back_page_buffers();
        return said("The colours of a " + std::to_string(width) + " x " + std::to_string(height) +
                    " frame for the canvas, " + std::to_string(count * 4) + " bytes, could not be had.");
    }
    shown_frame = static_cast<std::uint64_t>(frame);
    go_to_frame(shown_frame);
    render_frame();
    return said("");
}

// The frame drawn last, as colours for the canvas (width x height x 4
// bytes). At full speed with a second buffer, the next frame is begun first
// and drawn meanwhile.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* web_frame_colours() {
    std::uint32_t* finished = frame_buffer;
    next_frame_drawing = page.spare != nullptr && full_speed == 1;
    if (next_frame_drawing) {
        advance_frame_counter();
        frame_buffer = page.spare;
        page.spare = finished;
        begin_frame();
    }
    to_canvas_colours(finished, page.colours, std::size_t{frame_width} * frame_height);
    return page.colours;
}

// After the frame is on the canvas: the next one, drawn whole.
EMSCRIPTEN_KEEPALIVE void web_next_frame() {
    if (next_frame_drawing) {
        finish_frame();
        next_frame_drawing = false;
    } else {
        advance_frame_counter();
        render_frame();
    }
    ++shown_frame;
}

// The number of the frame web_frame_colours gives next.
EMSCRIPTEN_KEEPALIVE double web_frame_number() { return static_cast<double>(shown_frame); }

// Space, as in the window program: full speed to idle and back. Returns 1
// for full speed, 0 for idle.
EMSCRIPTEN_KEEPALIVE int web_space() {
    full_speed = static_cast<std::uint8_t>((full_speed + 1) & 1);
    return full_speed;
}

// Escape: the engine and its workers end.
EMSCRIPTEN_KEEPALIVE void web_stop() {
    stop_engine();
    next_frame_drawing = false;
}

// The benchmark, after web_start drew frame 0: frames 1 to warmup - 1 drawn
// first, then `frames` frames one after the other, none shown, as
// ombrastel-bench draws them; returns the seconds these took.
EMSCRIPTEN_KEEPALIVE double web_benchmark(int warmup, int frames) {
    for (int k = 1; k < warmup; ++k) {
        advance_frame_counter();
        render_frame();
    }
    const double start = emscripten_get_now();
    for (int k = 0; k < frames; ++k) {
        advance_frame_counter();
        render_frame();
    }
    return (emscripten_get_now() - start) / 1000.0;
}
}
