// The shell's shared part: start-up order, the main loop with its pacing,
// and what the two keys do. Everything platform-specific goes through the
// seam in shell.h.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/shell.h"
#include "app/startup.h"
#include "cli/command_line.h"
#include "cli/engine_options.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

EventOutcome key_pressed(ShellKey key) {
    switch (key) {
        case ShellKey::space:
            // Only the lowest bit is kept, so the mode flips whatever the count of
            // presses (auto-repeat included) and never leaves 0 and 1.
            full_speed = static_cast<std::uint8_t>((full_speed + 1) & 1);
            return EventOutcome::go_on;
        case ShellKey::escape: return EventOutcome::quit;
        case ShellKey::other: break;
    }
    return EventOutcome::go_on;
}

namespace {

constexpr const char* program_name = "ombrastel";

constexpr const char* description = R"(Opens a window almost as large as the screen and shows the Ombrastel
animation until Escape is pressed or the window is closed. Space switches
between drawing flat out and sleeping 1 ms a frame. With no option it draws
with the fast engine on every processor; both engines draw the same
pictures. It writes no file.)";

constexpr const char* footer = R"(Exit status: 0 ended by Escape or by closing the window; 1 start-up failed
("Startup failed." and the reason); 2 bad arguments (one line naming the
cause).)";

[[noreturn]] void fail_startup(const std::string& reason) {
    stop_engine();  // its workers end before the process does, on every platform
    show_startup_failure(reason);
    close_window_and_exit(ShellEnd::startup_failed);
}

struct ShellOptions {
    EngineChoice engine;
    bool timing = false;
    bool fps = false;
};

// Reads the command line; --help, --version and bad arguments end the
// program here, before any window is opened.
ShellOptions read_command_line(int argc, const char* const* argv) {
    try {
        CommandLine line(program_name, description, footer);
        GivenEngineOptions engine;
        declare_engine_options(line, engine);
        bool timing = false;
        line.flag("--timing",
                  "at the end, report the frames shown, the mean time\n"
                  "per frame, how the frames were presented and what\n"
                  "the frame's time went to (presenting, waiting for\n"
                  "the display and for the workers, beginning frames,\n"
                  "events, idle pauses, the rest); and the idle pauses,\n"
                  "and how many found a frame being drawn",
                  &timing);
        bool fps = false;
        line.flag("--fps",
                  "once a second, report the frames shown in that second\n"
                  "on the terminal the program was started from (a\n"
                  "Windows program started without one opens a console\n"
                  "of its own)",
                  &fps);
        switch (line.parse(argc, argv)) {
            case CommandLine::Outcome::show_help:
                show_help(line.help_text(), line.dialog_help_text());
                close_window_and_exit(ShellEnd::quit);
            case CommandLine::Outcome::show_version:
                show_text(line.version_line(), false);
                close_window_and_exit(ShellEnd::quit);
            case CommandLine::Outcome::run: break;
        }
        ShellOptions options;
        options.engine = engine_choice_from(engine);
        options.timing = timing;
        options.fps = fps;
        start_chosen_engine(options.engine);
        return options;
    } catch (const ArgumentError& error) {
        show_text(std::string(program_name) + ": " + one_line(error.what()) + "\n", true);
        close_window_and_exit(ShellEnd::bad_arguments);
    }
}

using Clock = std::chrono::steady_clock;

// The parts of a frame that --timing tells apart. Each clock reading of the
// loop ends one part and starts the next, so the parts cover the loop's
// whole time and add up to it.
enum class LoopPart {
    presenting,  // present_frame
    display,     // waiting until the display is done reading a frame buffer
    workers,     // waiting for the workers; drawing, when the loop draws the frame itself
    beginning,   // begin_frame: the transform, and waking the workers
    events,      // handle_one_event
    pauses,      // the idle pauses
    rest,        // the loop's own bookkeeping and the --fps lines
};
constexpr int loop_part_count = 7;

// What --timing reports: the frames shown, the loop's time per frame and its
// parts; and the idle pauses, with those during which the engine had a frame
// in progress, which idle mode never allows.
struct LoopTimes {
    long frames = 0;
    long pauses = 0;
    long pauses_while_drawing = 0;
    Clock::duration parts[loop_part_count]{};
    Clock::time_point start = Clock::now();
    Clock::time_point last = start;

    // The part that ran since the last reading ends now.
    void lap(LoopPart part) {
        const Clock::time_point now = Clock::now();
        parts[static_cast<int>(part)] += now - last;
        last = now;
    }

    std::string report(const RunningEngine& engine, const std::string& way) const {
        const double frame_count = static_cast<double>(frames > 0 ? frames : 1);
        auto per_frame = [&](Clock::duration d) {
            return std::chrono::duration<double, std::milli>(d).count() / frame_count;
        };
        auto part = [&](LoopPart p) { return per_frame(parts[static_cast<int>(p)]); };
        const double whole = per_frame(last - start);
        char text[1200];
        std::snprintf(text, sizeof text,
                      "%s: %ld frames shown, %s engine, %d worker%s, %s: %.3f ms per frame (%.1f frames/s), "
                      "presented through %s: %.3f ms presenting, %.3f ms waiting for the display, "
                      "%.3f ms waiting for the workers, %.3f ms beginning frames, %.3f ms handling events, "
                      "%.3f ms in idle pauses, %.3f ms the rest; "
                      "%ld idle pauses, %ld of them with a frame being drawn\n",
                      program_name, frames, engine_name(engine.kind), engine.workers, engine.workers == 1 ? "" : "s",
                      instruction_set_name(engine.instruction_set), whole,
                      frames > 0 && whole > 0 ? 1000.0 / whole : 0.0, way.c_str(), part(LoopPart::presenting),
                      part(LoopPart::display), part(LoopPart::workers), part(LoopPart::beginning),
                      part(LoopPart::events), part(LoopPart::pauses), part(LoopPart::rest), pauses,
                      pauses_while_drawing);
        return text;
    }
};

// --fps: once a second, a line with the frames shown in that second.
class FrameRateLines {
  public:
    explicit FrameRateLines(bool on) : on_(on) {}

    void frame_shown() {
        if (!on_) return;
        ++frames_;
        const Clock::time_point now = Clock::now();
        const std::chrono::duration<double> elapsed = now - since_;
        if (elapsed < std::chrono::seconds(1)) return;
        char line[120];
        std::snprintf(line, sizeof line, "%s: %.1f frames/s, %s\n", program_name,
                      static_cast<double>(frames_) / elapsed.count(), full_speed == 1 ? "full speed" : "idle");
        show_frame_rate_line(line);
        frames_ = 0;
        since_ = now;
    }

  private:
    bool on_;
    long frames_ = 0;
    Clock::time_point since_ = Clock::now();
};

// The idle pause: 1 ms in which nothing is drawn.
void idle_pause(LoopTimes& times) {
    ++times.pauses;
    if (frame_in_progress()) ++times.pauses_while_drawing;
    sleep_one_millisecond();
}

// Ends the program when the window layer can show no more frames.
void await_drawable(const std::uint32_t* pixels) {
    std::string reason;
    if (wait_until_drawable(pixels, &reason)) return;
    stop_engine();
    show_text(std::string(program_name) + ": " + reason + "\n", true);
    close_window_and_exit(ShellEnd::display_failed);
}

// A second frame buffer, for an engine that draws in the background: the
// window shows one frame while the next is drawn into the other buffer.
// nullptr when the engine draws in the foreground or no buffer can be had,
// and then each frame is drawn and then shown.
std::uint32_t* spare_frame_buffer() {
    if (running_engine().kind != EngineKind::fast) return nullptr;
    return static_cast<std::uint32_t*>(window_frame_source(std::size_t{frame_width} * frame_height * 4));
}

// The main loop: frames are shown in order, 0, 1, 2, ..., each once, as when
// every frame is drawn and then shown. At full speed, with a spare buffer,
// frame k + 1 is drawn while frame k is presented. Idle, the loop pauses with
// nothing drawn: frame k is shown, the pause and one event follow, and only
// then is frame k + 1 drawn. No frame is drawn into a buffer the display may
// still be reading.
//
// Only what changed is presented: the frame drawn outside the rectangle its
// faces reached is black, and so was the frame shown before outside its
// own, so outside both the window already shows the new frame. The window
// shows nothing of the frames at first.
void run_frames(LoopTimes& times, FrameRateLines& rate) {
    std::uint32_t* spare = spare_frame_buffer();
    PixelRect shown{0, 0, frame_width, frame_height};
    render_frame();
    times.lap(LoopPart::workers);
    for (;;) {
        advance_frame_counter();
        std::uint32_t* finished = frame_buffer;
        const PixelRect drawn = last_frame_extent();
        const bool overlapped = spare != nullptr && full_speed == 1;
        if (overlapped) {
            frame_buffer = spare;
            spare = finished;
            times.lap(LoopPart::rest);
            await_drawable(frame_buffer);
            times.lap(LoopPart::display);
            begin_frame();
            times.lap(LoopPart::beginning);
        }
        present_frame(finished, bounding_rect(drawn, shown));
        shown = drawn;
        ++times.frames;
        times.lap(LoopPart::presenting);
        rate.frame_shown();
        times.lap(LoopPart::rest);
        if (full_speed != 1) {
            idle_pause(times);
            times.lap(LoopPart::pauses);
        }
        // One event per frame at most: a burst of input is worked off one
        // event per frame and never holds a frame back.
        const EventOutcome outcome = handle_one_event();
        times.lap(LoopPart::events);
        if (overlapped) {
            finish_frame();  // also after quit: no worker may outlive the loop
            times.lap(LoopPart::workers);
        } else if (outcome == EventOutcome::go_on) {
            await_drawable(frame_buffer);
            times.lap(LoopPart::display);
            render_frame();
            times.lap(LoopPart::workers);
        }
        if (outcome == EventOutcome::quit) return;
    }
}

}  // namespace

void program_entry(int argc, const char* const* argv) {
    const ShellOptions options = read_command_line(argc, argv);
    // Before the window: a console opened for the lines then stays behind it.
    if (options.fps) prepare_frame_rate_lines();
    int screen_width = 0;
    int screen_height = 0;
    FrameSize size{};
    std::string reason;
    // The window comes first: the buffers are sized by the frame, and a
    // failure is shown with the window already on the screen, as the user
    // would see it.
    if (!open_display(&screen_width, &screen_height, &reason)) fail_startup(reason);
    if (!frame_size_for_screen(screen_width, screen_height, &size))
        fail_startup("The screen, " + std::to_string(screen_width) + " x " + std::to_string(screen_height) +
                     " pixels, gives no frame: each side, less 10 pixels, must come to 2 to " +
                     std::to_string(largest_frame_side) + " pixels.");
    if (!open_window(size, &reason)) fail_startup(reason);
    if (!start_system(size, window_frame_source, obtain_heap_buffer, &reason)) fail_startup(reason);

    LoopTimes times;
    FrameRateLines rate(options.fps);
    run_frames(times, rate);
    const RunningEngine engine = running_engine();
    stop_engine();
    if (options.timing) show_text(times.report(engine, presenting_way()), false);
    close_window_and_exit(ShellEnd::quit);
}
