// The shell's shared part: start-up order, the main loop with its pacing,
// and what the two keys do. Everything platform-specific goes through the
// seam in shell.h.
#include <cstdint>
#include <string>

#include "app/shell.h"
#include "app/startup.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

EventOutcome key_pressed(ShellKey key)
{
    switch (key) {
    case ShellKey::space:
        // Only the lowest bit is kept, so the mode flips whatever the count of
        // presses (auto-repeat included) and never leaves 0 and 1.
        full_speed = static_cast<std::uint8_t>((full_speed + 1) & 1);
        return EventOutcome::go_on;
    case ShellKey::escape:
        return EventOutcome::quit;
    case ShellKey::other:
        break;
    }
    return EventOutcome::go_on;
}

namespace {

[[noreturn]] void fail_startup(const std::string& reason)
{
    show_startup_failure(reason);
    close_window_and_exit(ShellEnd::startup_failed);
}

}  // namespace

void program_entry()
{
    int screen_width = 0;
    int screen_height = 0;
    FrameSize size{};
    std::string reason;
    // The window comes first: the buffers are sized by the frame, and a
    // failure is shown with the window already on the screen, as the user
    // would see it.
    if (!open_display(&screen_width, &screen_height, &reason))
        fail_startup(reason);
    if (!frame_size_for_screen(screen_width, screen_height, &size))
        fail_startup("The screen, " + std::to_string(screen_width) + " x " + std::to_string(screen_height) +
                     " pixels, gives no frame: each side, less 10 pixels, must come to 2 to " +
                     std::to_string(largest_frame_side) + " pixels.");
    if (!open_window(size, &reason))
        fail_startup(reason);
    if (!start_system(size, window_buffer_source, &reason))
        fail_startup(reason);

    for (;;) {
        render_frame();
        advance_frame_counter();
        present_frame();
        if (full_speed != 1)
            sleep_one_millisecond();
        // One event per frame at most: a burst of input is worked off one
        // event per frame and never holds a frame back.
        if (handle_one_event() == EventOutcome::quit)
            break;
    }
    close_window_and_exit(ShellEnd::quit);
}
