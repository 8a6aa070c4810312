// The window layer over SDL2 (Linux, and other systems SDL serves): the
// shell's seam and the process entry.
#define SDL_MAIN_HANDLED
#include <SDL.h>
#include <SDL_syswm.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "app/shell.h"
#include "scene/scene_data.h"

// Presenting through shared-memory images needs the X libraries, and an SDL
// that drives X11 to name the window.
#if OMBRASTEL_HAVE_XSHM && defined(SDL_VIDEO_DRIVER_X11)
#define OMBRASTEL_SHARED_IMAGES 1
#include "app/x11_images.h"
#else
#define OMBRASTEL_SHARED_IMAGES 0
#endif

namespace {

SDL_Window* window = nullptr;

// How the frames reach the window: drawn straight into shared-memory images
// that the X server reads, or copied into SDL's window surface, which SDL
// then hands to the window system (the way wherever the first is not had).
enum class Presenting { shared_images, window_surface };
Presenting presenting = Presenting::window_surface;
// Why the frames are copied on a display where they might have been shared.
std::string not_shared_because;
// Set once the frames can be shown no more: the program ends with it.
std::string presenting_failure;
// The window may have lost what it showed (a window event: uncovered,
// restored, shown again; or a change of the way of presenting): the next
// frame is presented whole, not only where it changed.
bool contents_lost = true;
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

#if OMBRASTEL_SHARED_IMAGES
// The longest wait for the server to finish putting an image: a server that
// answers nothing for that long shows no more frames.
constexpr int completion_timeout_ms = 10000;

// The two images, made with the window so that the way of presenting is
// settled before the first frame: each frame buffer handed out is one of
// them, and the depth buffer does not come from here.
std::uint32_t* shared_frames[2] = {nullptr, nullptr};
std::size_t shared_frame_bytes = 0;
int shared_frames_handed_out = 0;

// Where SDL drives X11 and the server shares memory with this process, the
// frames are drawn into two shared images; otherwise, with the reason kept
// for --timing, they are copied.
void present_through_shared_images(FrameSize size) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) {
        not_shared_because = std::string("SDL's video driver is \"") + SDL_GetCurrentVideoDriver() + "\", not x11";
        return;
    }
    std::string why;
    if (!open_shared_images(DisplayString(info.info.x11.display), info.info.x11.window, size.width, size.height,
                            &why)) {
        not_shared_because = why;
        return;
    }
    for (std::uint32_t*& frame : shared_frames) {
        frame = make_shared_image(&why);
        if (frame == nullptr) {
            close_shared_images(false);
            shared_frames[0] = shared_frames[1] = nullptr;
            not_shared_because = why;
            return;
        }
    }
    shared_frame_bytes = std::size_t{size.width} * size.height * 4;
    presenting = Presenting::shared_images;
}

// After an X error on the presenting connection that leaves the window
// standing (a request the server refused) the frames, in shared memory or
// not, are copied as where nothing is shared, if SDL's window surface can
// still be had.
void copy_from_now_on(const std::string& why) {
    close_shared_images(true);
    presenting = Presenting::window_surface;
    contents_lost = true;
    not_shared_because = "shared memory failed while running: " + why;
    std::fprintf(stderr, "ombrastel: showing frames through shared memory failed (%s); copying them from now on.\n",
                 why.c_str());
    std::fflush(stderr);
    if (SDL_GetWindowSurface(window) == nullptr)
        presenting_failure = "frames can no longer be shown: shared memory failed (" + why +
                             "), and SDL's window surface could not be made: " + SDL_GetError() + ".";
}

// The frame buffers: the two images, and where they are not had,
// zero-filled, page-aligned heap blocks, never given back before exit.
void* obtain_frame_buffer(std::size_t bytes) {
    if (presenting == Presenting::shared_images && shared_frames_handed_out < 2 && bytes == shared_frame_bytes)
        return shared_frames[shared_frames_handed_out++];
    return obtain_heap_buffer(bytes);
}
#else
void present_through_shared_images(FrameSize) { not_shared_because = "this program was built without MIT-SHM"; }

void* obtain_frame_buffer(std::size_t bytes) { return obtain_heap_buffer(bytes); }
#endif

// The file that lists the processes this one started, SDL's message box
// among them: SDL shows the box from a child process of its own, which would
// outlive its parent.
char children_list[64] = "";

// SIGINT and SIGTERM while the start-up failure is shown: the box goes, and
// the program ends as after a failed start. Only calls safe in a signal
// handler.
extern "C" void end_failed_start(int) {
    const int list = children_list[0] != '\0' ? open(children_list, O_RDONLY) : -1;
    if (list >= 0) {
        char text[256];
        const ssize_t got = read(list, text, sizeof text - 1);
        close(list);
        pid_t child = 0;
        for (ssize_t i = 0; i < got; ++i) {
            if (text[i] >= '0' && text[i] <= '9') {
                child = child * 10 + (text[i] - '0');
            } else {
                if (child > 0) kill(child, SIGKILL);
                child = 0;
            }
        }
        if (child > 0) kill(child, SIGKILL);
    }
    _exit(startup_failed_exit_status);
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
    present_through_shared_images(size);
    // The client area's pixels, which every frame is copied into where the
    // frames are not shared. Made now so that a window without them fails
    // the start rather than showing nothing; SDL keeps it for the window,
    // whose size never changes.
    if (presenting == Presenting::window_surface && SDL_GetWindowSurface(window) == nullptr) {
        *reason =
            std::string("The window's surface, which the frames are copied into, could not be made: ") + SDL_GetError();
        return false;
    }
    // Only key-downs matter; text input would queue an event per key press.
    SDL_StopTextInput();
    return true;
}

const BufferSource window_frame_source = obtain_frame_buffer;

void present_frame(const std::uint32_t* pixels, const PixelRect& changed) {
    const SDL_Rect put =
        contents_lost ? SDL_Rect{0, 0, frame_width, frame_height}
                      : SDL_Rect{changed.left, changed.top, changed.right - changed.left, changed.bottom - changed.top};
    contents_lost = false;
    if (put.w <= 0 || put.h <= 0) return;  // the window shows this frame already
#if OMBRASTEL_SHARED_IMAGES
    if (presenting == Presenting::shared_images) {
        std::string why;
        if (put_shared_image(pixels, put.x, put.y, put.w, put.h, &why)) return;
        if (shared_images_window_gone()) {
            presenting_failure = "frames can no longer be shown: the window is gone (" + why + ").";
            return;
        }
        copy_from_now_on(why);
    }
#endif
    SDL_Surface* client_area = SDL_GetWindowSurface(window);
    if (client_area == nullptr) return;
    SDL_Surface* frame_surface = surface_of(pixels);
    if (frame_surface == nullptr) return;
    // The same rectangle of the same size, no alpha, no colour key: a 1:1
    // copy, converted only if the window's pixels were laid out differently.
    // The frames are not drawn straight into the window's surface, which
    // would save this copy: SDL gives a window one surface, read while it is
    // shown, so the next frame could not be drawn meanwhile.
    SDL_Rect from = put, to = put;
    SDL_BlitSurface(frame_surface, &from, client_area, &to);
    SDL_UpdateWindowSurfaceRects(window, &put, 1);
}

bool wait_until_drawable([[maybe_unused]] const std::uint32_t* pixels, std::string* reason) {
#if OMBRASTEL_SHARED_IMAGES
    if (presenting == Presenting::shared_images && presenting_failure.empty()) {
        std::string why;
        switch (await_shared_image(pixels, completion_timeout_ms, &why)) {
            case ImageWait::drawable: return true;
            case ImageWait::failed: copy_from_now_on(why); break;
            case ImageWait::window_gone:
                presenting_failure = "frames can no longer be shown: the window is gone (" + why + ").";
                break;
            case ImageWait::timed_out: presenting_failure = "frames can no longer be shown: " + why + "."; break;
        }
    }
#endif
    if (presenting_failure.empty()) return true;
    *reason = presenting_failure;
    return false;
}

std::string presenting_way() {
    if (presenting == Presenting::shared_images) return "X shared-memory images";
    std::string way = "SDL's window surface (a copy)";
    if (!not_shared_because.empty()) way += ", not shared memory: " + not_shared_because;
    return way;
}

void sleep_one_millisecond() { SDL_Delay(1); }

EventOutcome handle_one_event() {
    SDL_Event event;
    if (!SDL_PollEvent(&event)) return EventOutcome::go_on;
    switch (event.type) {
        case SDL_KEYDOWN: return key_pressed(shell_key(event.key.keysym.sym));
        case SDL_QUIT:  // the last window was closed, or the process was asked to end
            return EventOutcome::quit;
        case SDL_WINDOWEVENT: contents_lost = true; return EventOutcome::go_on;
        default: return EventOutcome::go_on;
    }
}

void show_startup_failure(const std::string& reason) {
    std::fprintf(stderr, "%s\n%s\n", startup_failed_text, reason.c_str());
    write_held_noise();
    // SDL turns SIGINT and SIGTERM into its quit event, which the message
    // box's own loop never reads: with nobody to close the box they would
    // leave the program waiting. They end it with the failed start's status.
    std::snprintf(children_list, sizeof children_list, "/proc/self/task/%d/children", static_cast<int>(getpid()));
    struct sigaction action {};
    action.sa_handler = end_failed_start;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM}) {
        // One ignored from the start stays ignored, as SDL leaves it.
        struct sigaction current {};
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, nullptr);
    }
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
    // A display that shows no more frames may answer nothing either, and
    // giving back the window waits for its answer: the process just ends.
    if (end == ShellEnd::display_failed) _exit(display_failed_exit_status);
#if OMBRASTEL_SHARED_IMAGES
    // The last puts are let finish before the window goes.
    close_shared_images(true);
#endif
    if (window != nullptr) SDL_DestroyWindow(window);
    SDL_Quit();
    switch (end) {
        case ShellEnd::startup_failed: std::exit(startup_failed_exit_status);
        case ShellEnd::bad_arguments: std::exit(bad_arguments_exit_status);
        case ShellEnd::display_failed:
        case ShellEnd::quit: break;
    }
    std::exit(0);
}

int main(int argc, char** argv) { program_entry(argc, argv); }
