// The application shell: the program's entry, the window, the main loop with
// its frame pacing, and the two keys. The loop is written once, in
// main_loop.cpp over the frame step (frame_step.h), and the keys here; each
// platform file (platform_win32.cpp over Win32 and GDI, platform_sdl.cpp over
// SDL2) fills in the narrow seam below and nothing else. The page's Worker
// (platform_web.cpp) is a platform of its own that calls the same frame step.
//
// What a platform file may do: open the display and the window, make the
// presenter that shows frames in it (presenter.h: it owns the frame
// buffers), sleep, take one event, and show text. What it must not: draw,
// touch frame_buffer, the frame counter or the scene, or call the engine;
// the frame step does all of that.
//
// Threads: everything in this header runs on the process's first thread.
// The render workers draw only between the frame step's calls, and only into
// a buffer the presenter handed out and the depth buffer.
#pragma once

#include <cstdint>
#include <string>

#include "app/presenter.h"
#include "app/startup.h"
#include "pipeline/frame.h"

// The window's title, the same on every platform, trailing blank included.
inline constexpr const char* window_title = "Ombrastel, press space -> speed - full/idle ";

// --- Shared part (main_loop.cpp) -------------------------------------------

// The only keys the program answers to; every other key is `other`.
enum class ShellKey { space, escape, other };

// What the loop does after looking for an event.
enum class EventOutcome {
    none,   // there was none
    go_on,  // one was taken
    quit,   // one was taken, and the program has been asked to end
};

// A key went down (auto-repeat included): Space flips full_speed between 1
// (flat out) and 0 (1 ms sleep per frame), Escape asks for the end, every
// other key does nothing.
EventOutcome key_pressed(ShellKey key);

// The command line, start-up, the main loop and shutdown: never returns. The
// platform's entry point calls it with the program's arguments and does
// nothing else.
[[noreturn]] void program_entry(int argc, const char* const* argv);

// --- Platform seam (one platform_*.cpp per window layer) ---------------------

// Each start-up step below returns false when it fails and then puts into
// `reason` one line for the user saying what could not be had, and why when
// the window layer tells.

// Connects to the display and reads the size of the whole screen in pixels.
// False when no display can be had, also when the only one to be had would
// show nobody the window.
bool open_display(int* screen_width, int* screen_height, std::string* reason);

// Opens the fixed-size window with window_title at the top-left corner of the
// screen, its client area exactly size.width x size.height, and shows it,
// with the presenter that shows the frames in it: the platform's, living
// until the process ends. nullptr when the window layer has no such window
// to give.
Presenter* open_window(FrameSize size, std::string* reason);

// Sleeps for about 1 ms: the idle pacing.
void sleep_one_millisecond();

// Takes at most one pending event without waiting for one and acts on it.
EventOutcome handle_one_event();

// Tells the user that start-up failed, with startup_failed_text and then
// `reason` on standard error where the program has it, and in a message box.
void show_startup_failure(const std::string& reason);

// Shows text the user asked for (--version, --timing) on standard output, or
// a line about bad arguments on standard error, where the program has them;
// a Windows program started without a console shows a message box.
void show_text(const std::string& text, bool is_error);

// Shows --help as show_text does: `text` on standard output, or in a message
// box `dialog_text`, the same laid out for a box that wraps its own lines.
void show_help(const std::string& text, const std::string& dialog_text);

// Makes ready where show_frame_rate_line writes (--fps), before the window
// opens: standard error where the program has it; a Windows program started
// without one takes its starter's console, or else opens a console of its own.
void prepare_frame_rate_lines();

// Shows one line of --fps, without waiting for anyone to read it.
void show_frame_rate_line(const std::string& line);

// How the program ends.
enum class ShellEnd {
    quit,            // asked to: the exit code the platform's quit signal carried, 0
    startup_failed,  // startup_failed_exit_status
    bad_arguments,   // bad_arguments_exit_status
    display_failed,  // frames could no longer be shown: display_failed_exit_status
};

// The exit status after arguments the program cannot use.
inline constexpr int bad_arguments_exit_status = 2;

// The exit status after a failed start-up: anything but 0, so that whoever
// started the program learns that it never ran.
inline constexpr int startup_failed_exit_status = 1;

// The exit status when the frames can no longer be shown while running.
inline constexpr int display_failed_exit_status = 1;

// Gives back the window (if any) and the display and ends the process.
[[noreturn]] void close_window_and_exit(ShellEnd end);
