// The window layer over SDL2 (Linux, and other systems SDL serves): the
// shell's seam and the process entry.
#define SDL_MAIN_HANDLED
#include <SDL.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "app/shell.h"
#include "scene/scene_data.h"

namespace {

SDL_Window* window = nullptr;
// The frame buffers seen as SDL surfaces: 32-bit words 0x00RRGGBB, rows
// from the top down, frame_width pixels to a row. Each is made the first time
// its buffer is shown and kept for the life of the program.
struct FrameSurface {
    const std::uint32_t* pixels = nullptr;
    SDL_Surface* surface = nullptr;
};
FrameSurface frame_surfaces[2];

SDL_Surface* surface_of(const std::uint32_t* pixels) {
    for (FrameSurface& s : frame_surfaces) {
        if (s.pixels == pixels) return s.surface;
        if (s.pixels == nullptr) {
            s.surface = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<std::uint32_t*>(pixels), frame_width,
                                                           frame_height, 32, frame_width * 4, SDL_PIXELFORMAT_RGB888);
            if (s.surface != nullptr) s.pixels = pixels;
            return s.surface;
        }
    }
    return nullptr;
}

// SDL's video drivers that show nothing on any screen. When no display
// answers, SDL falls back to "offscreen" by itself; the program would then
// render forever into a window nobody can see.
bool shows_nothing(const char* driver) {
    for (const char* unseen : {"offscreen", "dummy", "evdev"})
        if (std::strcmp(driver, unseen) == 0) return true;
    return false;
}

// The user's own choice of video driver: SDL_VIDEODRIVER, set and not empty.
bool driver_chosen_by_user() {
    const char* chosen = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    return chosen != nullptr && chosen[0] != '\0';
}

// What the libraries under SDL write on standard error while the display is
// looked for ("XDG_RUNTIME_DIR is invalid", say): held back, so that a failed
// start says its reason first and this after it. Once a display is open, it
// only tells of the drivers SDL tried before, and is dropped.
std::string held_noise;

class StandardErrorHeld {
  public:
    StandardErrorHeld() {
        std::fflush(stderr);
        holder_ = std::tmpfile();
        saved_ = holder_ != nullptr ? dup(STDERR_FILENO) : -1;
        if (saved_ >= 0 && dup2(fileno(holder_), STDERR_FILENO) < 0) {
            close(saved_);
            saved_ = -1;
        }
    }
    ~StandardErrorHeld() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
        if (holder_ == nullptr) return;
        std::rewind(holder_);
        char chunk[512];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, holder_)) > 0) held_noise.append(chunk, got);
        std::fclose(holder_);
    }
    StandardErrorHeld(const StandardErrorHeld&) = delete;
    StandardErrorHeld& operator=(const StandardErrorHeld&) = delete;

  private:
    std::FILE* holder_ = nullptr;
    int saved_ = -1;
};

void write_held_noise() {
    std::fputs(held_noise.c_str(), stderr);
    std::fflush(stderr);
    held_noise.clear();
}

// What became of the displays the environment names, for a failed start:
// `the X display ":99" (DISPLAY) could not be opened`, or `DISPLAY is not set`.
std::string display_outcome(const char* variable, const char* kind) {
    const char* name = std::getenv(variable);
    if (name == nullptr || name[0] == '\0') return std::string(variable) + " is not set";
    return std::string("the ") + kind + " display \"" + name + "\" (" + variable + ") could not be opened";
}

// The displays SDL was to open: both kinds unless the user chose a driver.
std::string displays_not_opened(const std::string& driver) {
    if (driver == "x11") return display_outcome("DISPLAY", "X");
    if (driver == "wayland") return display_outcome("WAYLAND_DISPLAY", "Wayland");
    return display_outcome("DISPLAY", "X") + ", and " + display_outcome("WAYLAND_DISPLAY", "Wayland");
}

ShellKey shell_key(SDL_Keycode key) {
    switch (key) {
        case SDLK_SPACE: return ShellKey::space;
        case SDLK_ESCAPE: return ShellKey::escape;
        default: return ShellKey::other;
    }
}

}  // namespace

bool open_display(int* screen_width, int* screen_height, std::string* reason) {
    SDL_SetMainReady();
    // Present through the window system's own image path rather than a GPU
    // texture: a plain copy of the pixels, and no wait for the display's
    // refresh.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    const char* hint = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    const std::string chosen = hint != nullptr ? hint : "";
    int started = 0;
    {
        StandardErrorHeld noise;
        started = SDL_Init(SDL_INIT_VIDEO);
    }
    if (started != 0) {
        if (chosen.empty() || chosen == "x11" || chosen == "wayland")
            *reason = "No display could be opened: " + displays_not_opened(chosen) + " (SDL: " + SDL_GetError() + ").";
        else
            *reason = "No display could be opened with SDL's \"" + chosen + "\" video driver: " + SDL_GetError();
        return false;
    }
    // Chosen by the user, such a driver stays: that is how a run without a
    // display is asked for.
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver != nullptr && shows_nothing(driver) && !driver_chosen_by_user()) {
        *reason = "No display: " + displays_not_opened(chosen) + "; SDL would fall back to its \"" + driver +
                  "\" video driver, which shows the window to nobody (set SDL_VIDEODRIVER to choose a driver).";
        return false;
    }
    held_noise.clear();
    SDL_DisplayMode desktop;
    if (SDL_GetDesktopDisplayMode(0, &desktop) != 0) {
        *reason = std::string("The display's screen size could not be read: ") + SDL_GetError();
        return false;
    }
    *screen_width = desktop.w;
    *screen_height = desktop.h;
    return true;
}

bool open_window(FrameSize size, std::string* reason) {
    // Not resizable: SDL gives the window the same minimum and maximum size.
    window = SDL_CreateWindow(window_title, 0, 0, size.width, size.height, SDL_WINDOW_SHOWN);
    if (window == nullptr) {
        *reason = std::string("The window could not be made: ") + SDL_GetError();
        return false;
    }
    // The client area's pixels, which every frame is copied into. Made now so
    // that a window without them fails the start rather than showing nothing;
    // SDL keeps it for the window, whose size never changes.
    if (SDL_GetWindowSurface(window) == nullptr) {
        *reason =
            std::string("The window's surface, which the frames are copied into, could not be made: ") + SDL_GetError();
        return false;
    }
    // Only key-downs matter; text input would queue an event per key press.
    SDL_StopTextInput();
    return true;
}

// Zero-filled, page-aligned heap blocks; never given back before exit.
const BufferSource window_buffer_source = obtain_heap_buffer;

void present_frame(const std::uint32_t* pixels) {
    SDL_Surface* client_area = SDL_GetWindowSurface(window);
    if (client_area == nullptr) return;
    SDL_Surface* frame_surface = surface_of(pixels);
    if (frame_surface == nullptr) return;
    // Same size at (0, 0), no alpha, no colour key: a 1:1 copy, converted only
    // if the window's pixels were laid out differently. The frames are not
    // drawn straight into the window's surface, which would save this copy:
    // SDL gives a window one surface, read while it is shown, so the next
    // frame could not be drawn meanwhile; and the update below, the window
    // system's own copy of the surface, costs three times this one.
    SDL_BlitSurface(frame_surface, nullptr, client_area, nullptr);
    SDL_UpdateWindowSurface(window);
}

void sleep_one_millisecond() { SDL_Delay(1); }

EventOutcome handle_one_event() {
    SDL_Event event;
    if (!SDL_PollEvent(&event)) return EventOutcome::go_on;
    switch (event.type) {
        case SDL_KEYDOWN: return key_pressed(shell_key(event.key.keysym.sym));
        case SDL_QUIT:  // the last window was closed, or the process was asked to end
            return EventOutcome::quit;
        default: return EventOutcome::go_on;
    }
}

void show_startup_failure(const std::string& reason) {
    std::fprintf(stderr, "%s\n%s\n", startup_failed_text, reason.c_str());
    write_held_noise();
    // Fails quietly when there is no display; standard error has it then.
    const std::string text = std::string(startup_failed_text) + "\n\n" + reason;
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Error", text.c_str(), nullptr);
}

void show_text(const std::string& text, bool is_error) {
    std::FILE* stream = is_error ? stderr : stdout;
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void show_help(const std::string& text, const std::string&) { show_text(text, false); }

void prepare_frame_rate_lines() {}

void show_frame_rate_line(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void close_window_and_exit(ShellEnd end) {
    if (window != nullptr) SDL_DestroyWindow(window);
    SDL_Quit();
    switch (end) {
        case ShellEnd::startup_failed: std::exit(startup_failed_exit_status);
        case ShellEnd::bad_arguments: std::exit(bad_arguments_exit_status);
        case ShellEnd::quit: break;
    }
    std::exit(0);
}

int main(int argc, char** argv) { program_entry(argc, argv); }
