// The application shell: the program's entry, the window, the main loop with
// its frame pacing, and the two keys. The loop and the keys are written once,
// here and in main_loop.cpp; each platform file (platform_win32.cpp over
// Win32 and GDI, platform_sdl.cpp over SDL2) fills in the narrow seam below
// and nothing else.
//
// Threads: everything in this header runs on the process's first thread.
// The render workers draw only inside render_frame, or between begin_frame
// and finish_frame, and only into frame_buffer and depth_buffer: the shell
// touches the window and the other frame buffer meanwhile, never those.
#pragma once

#include <cstdint>
#include <string>

#include "app/startup.h"
#include "pipeline/frame.h"

// The window's title, the same on every platform, trailing blank included.
inline constexpr const char* window_title = "Ombrastel, press space -> speed - full/idle ";

// --- Shared part (main_loop.cpp) -------------------------------------------

// The only keys the program answers to; every other key is `other`.
enum class ShellKey { space, escape, other };

// What the loop does after an event.
enum class EventOutcome { go_on, quit };

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
// with whatever the frames are shown through. False when the window layer
// has no such window to give.
bool open_window(FrameSize size, std::string* reason);

// Where the frame buffers come from: the one start_system obtains and, for an
// engine that draws in the background, the main loop's second. Zero-filled,
// page-aligned blocks of frame_width x frame_height pixels, no padding, that
// live until the process ends. A window layer may hand out memory that the
// display reads the frames from, and then presents them without a copy. The
// depth buffer is ordinary memory, not from here.
extern const BufferSource window_frame_source;

// Shows a whole frame, frame_width x frame_height pixels 0x00RRGGBB, rows
// from the top down, from `pixels` (one of the frame buffers) in the client
// area at 1:1, without waiting for the display's refresh. Outside `changed`
// the client area already shows this frame's pixels (the frame shown before
// was black there too), so only `changed` need reach the display; a layer
// whose window lost what it showed (uncovered, restored) puts the whole
// frame. It may return while the display still reads `pixels`: nothing is
// drawn into them again before wait_until_drawable says so. The render
// workers may be drawing into the other frame buffer meanwhile.
void present_frame(const std::uint32_t* pixels, const PixelRect& changed);

// Waits until the display is done reading `pixels` (a frame buffer presented
// before, or never), so that a frame may be drawn into them: at once for a
// layer that copies the frame while presenting. False when frames can no
// longer be shown (the display stopped answering), with one line in
// `reason`; the program then ends.
bool wait_until_drawable(const std::uint32_t* pixels, std::string* reason);

// How the frames reach the window, a few words for --timing: "X shared-memory
// images", say; after a fallback, why the layer's first way was not taken.
std::string presenting_way();

// Sleeps for about 1 ms: the idle pacing.
void sleep_one_millisecond();

// Takes at most one pending event without waiting for one and acts on it;
// quit once the program has been asked to end.
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
