// The shell's shared part: start-up order, the main loop with its pacing,
// and what the two keys do. Everything platform-specific goes through the
// seam in shell.h.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/frame_step.h"
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

// What --timing reports: the frames shown, the loop's time per frame and its
// parts; and the idle pauses, with those during which the engine had a frame
// in progress, which idle mode never allows; and the events taken.
std::string timing_report(const LoopTimes& times, const StepCounts& counts, long events, const RunningEngine& engine,
                          const std::string& way) {
    const long frames = static_cast<long>(counts.shown);
    const double frame_count = static_cast<double>(frames > 0 ? frames : 1);
    auto per_frame = [&](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count() / frame_count;
    };
    auto part = [&](LoopPart p) { return per_frame(times.parts[static_cast<int>(p)]); };
    const double whole = per_frame(times.last - times.start);
    char text[1300];
    std::snprintf(text, sizeof text,
                  "%s: %ld frames shown, %s engine, %d worker%s, %s: %.3f ms per frame (%.1f frames/s), "
                  "presented through %s: %.3f ms presenting, %.3f ms waiting for the display, "
                  "%.3f ms waiting for the workers, %.3f ms beginning frames, %.3f ms handling events, "
                  "%.3f ms in idle pauses, %.3f ms the rest; "
                  "%ld idle pauses, %ld of them with a frame being drawn; %ld events handled\n",
                  program_name, frames, engine_name(engine.kind), engine.workers, engine.workers == 1 ? "" : "s",
                  instruction_set_name(engine.instruction_set), whole, frames > 0 && whole > 0 ? 1000.0 / whole : 0.0,
                  way.c_str(), part(LoopPart::presenting), part(LoopPart::display), part(LoopPart::workers),
                  part(LoopPart::beginning), part(LoopPart::events), part(LoopPart::pauses), part(LoopPart::rest),
                  static_cast<long>(counts.pauses), static_cast<long>(counts.pauses_while_drawing), events);
    return text;
}

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

// The main loop: the frame step, then the idle pause when it asks for one,
// then one event at most, so that a burst of input is worked off one event
// per frame and never holds a frame back. Returns the events handled.
long run_frames(FrameStep& step, LoopTimes& times, FrameRateLines& rate) {
    long events = 0;
    for (;;) {
        const StepOutcome outcome = step.step();
        if (outcome == StepOutcome::failed) {
            step.stop();
            show_text(std::string(program_name) + ": frames can no longer be shown: " + step.failure() + "\n", true);
            close_window_and_exit(ShellEnd::display_failed);
        }
        rate.frame_shown();
        times.lap(LoopPart::rest);
        if (outcome == StepOutcome::pause) {
            step.pause_begins();
            sleep_one_millisecond();
            times.lap(LoopPart::pauses);
        }
        const EventOutcome event = handle_one_event();
        events += event != EventOutcome::none;
        times.lap(LoopPart::events);
        if (event == EventOutcome::quit) {
            step.stop();  // no worker may outlive the loop
            times.lap(LoopPart::workers);
            return events;
        }
    }
}

}  // namespace

void program_entry(int argc, const char* const* argv) {
    const ShellOptions options = read_command_line(argc, argv);
    // Before the window: a console opened for the lines then stays behind it.
    if (options.fps) prepare_frame_rate_lines();
    int screen_width = 0;
    int screen_height = 0;
    std::string reason;
    // The window comes first: the buffers are sized by the frame, and a
    // failure is shown with the window already on the screen, as the user
    // would see it.
    if (!open_display(&screen_width, &screen_height, &reason)) fail_startup(reason);
    const WindowFrame frame = frame_for_window(screen_width, screen_height, "screen");
    if (!frame.refusal.empty()) fail_startup(frame.refusal);
    Presenter* presenter = open_window(frame.size, &reason);
    if (presenter == nullptr) fail_startup(reason);

    LoopTimes times;
    FrameStep step(*presenter, &times);
    if (!step.start(frame.size, 0, &reason)) fail_startup(reason);
    times = LoopTimes{};
    FrameRateLines rate(options.fps);
    const long events = run_frames(step, times, rate);
    const RunningEngine engine = running_engine();
    stop_engine();
    if (options.timing) show_text(timing_report(times, step.counts(), events, engine, presenter->way()), false);
    close_window_and_exit(ShellEnd::quit);
}
