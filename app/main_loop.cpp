// The shell's shared part: start-up order, the main loop with its pacing,
// and what the two keys do. Everything platform-specific goes through the
// seam in shell.h.
#include <cstdint>

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

void program_entry()
{
    int screen_width = 0;
    int screen_height = 0;
    FrameSize size{};
    // The window comes first: the buffers are sized by the frame, and a
    // failure is shown with the window already on the screen, as the user
    // would see it.
    if (!open_display(&screen_width, &screen_height) ||
        !frame_size_for_screen(screen_width, screen_height, &size) || !open_window(size) ||
        !start_system(size, window_buffer_source)) {
        show_startup_failure();
        close_window_and_exit();
    }

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
    close_window_and_exit();
}
