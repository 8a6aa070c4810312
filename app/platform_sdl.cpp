// The window layer over SDL2 (Linux, and other systems SDL serves): the
// shell's seam and the process entry.
#define SDL_MAIN_HANDLED
#include <SDL.h>
#include <SDL_syswm.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>

#include "app/frame_step.h"
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

// Presenting through Wayland buffers needs libwayland-client, and an SDL
// that drives Wayland to name the surface.
#if OMBRASTEL_HAVE_WAYLAND && defined(SDL_VIDEO_DRIVER_WAYLAND)
#define OMBRASTEL_WAYLAND_BUFFERS 1
#include "app/wayland_buffers.h"
#else
#define OMBRASTEL_WAYLAND_BUFFERS 0
#endif

namespace {

SDL_Window* window = nullptr;
// Device pixels to one of the window's units: more than 1 on a scaled
// Wayland output, whose frame is drawn in device pixels.
int output_scale = 1;

// The longest wait for the X server to finish putting an image: a server
// that answers nothing for that long shows no more frames.
[[maybe_unused]] constexpr int completion_timeout_ms = 10000;
// The longest the window's teardown may take: the last puts (a second at
// most each) and SDL's own goodbye to the display.
constexpr int teardown_timeout_ms = 5000;

// The window's presenter. Its frames reach the window one of three ways:
// drawn straight into shared-memory images that the X server reads (SDL on
// X11), or into wl_shm buffers that the Wayland compositor reads (SDL on
// Wayland), or drawn into plain memory and copied into SDL's window surface,
// which SDL then hands to the window system (the way wherever the others
// are not had). After an X error on the presenting connection that leaves
// the window standing, the images' pixels stay mapped as plain memory and
// are copied from then on.
class WindowPresenter final : public Presenter {
  public:
    // Settles the way for the window: shared images where SDL drives X11
    // and the server shares memory with this process, else copies, with
    // the reason kept for --timing. False when not even SDL's window surface
    // can be had.
    bool open(FrameSize size, std::string* reason);

    int make_buffers(FrameSize size, int wanted, std::string* reason) override;
    std::uint32_t* take_buffer(std::string* reason) override;
    bool present(std::uint32_t* pixels, const PixelRect& changed, std::string* reason) override;
    std::string way() const override;

    // A window event: the window may have lost what it showed (uncovered,
    // restored, shown again), and the next frame is put whole.
    void window_changed() { contents_lost_ = true; }
    // Before the window goes: the last puts are let finish.
    void close();

  private:
    enum class Way { shared_images, wayland_buffers, window_surface };
    struct Buffer {
        std::uint32_t* pixels = nullptr;
        bool taken = false;
        std::uint64_t presented = 0;     // when it was last presented: the count of presents then
        SDL_Surface* surface = nullptr;  // the pixels seen by SDL, for copying
    };

    void give_back();
    bool window_surface_made(std::string* reason);
    bool copy(Buffer& buffer, const SDL_Rect& put, std::string* reason);
    bool copy_from_now_on(const std::string& why, std::string* reason);
    Buffer* buffer_of(const std::uint32_t* pixels);

    Way way_ = Way::window_surface;
    std::string not_shared_because_;  // why the frames are copied where they might have been shared
    bool memory_is_images_ = false;   // the buffers' pixels are the images' (shared or kept)
    Buffer buffers_[4];
    int count_ = 0;
    FrameSize size_{0, 0};
    std::uint64_t presents_ = 0;
    bool contents_lost_ = true;  // at first the window shows nothing of the frames
};
WindowPresenter presenter;

// SDL's video drivers that show nothing on any screen. When no display
// answers, SDL falls back to "offscreen" by itself; the program would then
// render forever into a window nobody can see.
bool shows_nothing(const char* driver) {
    for (const char* unseen : {"offscreen", "dummy", "evdev"})
        if (std::strcmp(driver, unseen) == 0) return true;
    return false;
}

// The user's own choice of video driver: SDL_VIDEODRIVER, set and not empty.
// Read before the program sets the hint itself.
std::string user_driver;
bool driver_chosen_by_user() { return !user_driver.empty(); }

// What the libraries under SDL write on standard error while the display is
// looked for ("XDG_RUNTIME_DIR is invalid", say): held back, so that a failed
// start says its reason first and this after it. Once a display is open, it
// only tells of the drivers SDL tried before, and is dropped.
std::string held_noise;

// Where the user's standard error is meanwhile.
int user_error_output = STDERR_FILENO;

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
        if (saved_ >= 0) user_error_output = saved_;
    }
    ~StandardErrorHeld() {
        std::fflush(stderr);
        user_error_output = STDERR_FILENO;
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

namespace {

// The socket of the X server that DISPLAY names on this machine (":99",
// ":99.0", "unix:99"): whether it is there. False for a display elsewhere.
bool local_x_server_socket_exists() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr) return false;
    std::string display = name;
    if (display.rfind("unix:", 0) == 0) display.erase(0, 4);
    if (display.empty() || display[0] != ':') return false;
    const std::string number =
        display.substr(1, display.find('.') == std::string::npos ? std::string::npos : display.find('.') - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    struct stat socket_file {};
    return stat(("/tmp/.X11-unix/X" + number).c_str(), &socket_file) == 0 && S_ISSOCK(socket_file.st_mode);
}

// Why SDL's Wayland driver must not be started on the compositor that
// WAYLAND_DISPLAY names, or "": SDL 2.26 crashes in SDL_Init where the
// compositor offers no input seat (weston's headless backend), and waits
// for ever where it does not answer. Asked only where SDL would try Wayland,
// and not of a socket handed over in WAYLAND_SOCKET, which one connection
// alone may use.
std::string wayland_compositor_refused([[maybe_unused]] const std::string& chosen) {
#if OMBRASTEL_WAYLAND_BUFFERS
    if (!(chosen.empty() || chosen == "wayland") || std::getenv("WAYLAND_SOCKET") != nullptr) return "";
    const char* name = std::getenv("WAYLAND_DISPLAY");
    const std::string named = std::string("the Wayland compositor of \"") +
                              (name != nullptr && name[0] != '\0' ? name : "wayland-0") + "\" (WAYLAND_DISPLAY)";
    CompositorOffer offer = CompositorOffer::no_compositor;
    {
        // libwayland says on standard error why it found no compositor.
        StandardErrorHeld noise;
        offer = probe_wayland_compositor(2000);
    }
    switch (offer) {
        case CompositorOffer::seat:
        case CompositorOffer::no_compositor: return "";
        case CompositorOffer::no_answer: return named + " did not answer within 2 s.";
        case CompositorOffer::no_seat:
            return named +
                   " offers no input seat (wl_seat), without which SDL's Wayland driver crashes; run the "
                   "compositor with input devices, or with Xwayland and DISPLAY set (see \"Wayland compositors\" in "
                   "docs/platforms.md).";
    }
#endif
    return "";
}

// Whether SDL found a display it shows the window on: started, and not with
// a driver that shows nobody, unless the user chose that.
bool display_found(int started) {
    if (started != 0) return false;
    const char* driver = SDL_GetCurrentVideoDriver();
    return driver == nullptr || !shows_nothing(driver) || driver_chosen_by_user();
}

// Starts SDL's video. An X server between two of its sessions, resetting
// when its last client left, refuses connections for a moment, and SDL
// then finds its X11 driver "not available": where DISPLAY names a server
// on this machine whose socket is there, SDL is started again for a while.
// A fault inside SDL_Init (a window system SDL does not cope with) ends the
// program as a failed start does, saying so, rather than by the signal.
// Only calls safe in a signal handler.
extern "C" void sdl_crashed(int) {
    static constexpr char text[] =
        "Startup failed.\nSDL crashed while it opened the display (a fault in its video driver); "
        "see \"Wayland compositors\" in docs/platforms.md, or choose another driver with SDL_VIDEODRIVER.\n";
    [[maybe_unused]] const ssize_t written = write(user_error_output, text, sizeof text - 1);
    _exit(startup_failed_exit_status);
}

int start_sdl_video() {
    // On a stack of its own: a fault may come from a stack gone wrong.
    static char fault_stack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = fault_stack;
    stack.ss_size = sizeof fault_stack;
    stack_t earlier_stack{};
    sigaltstack(&stack, &earlier_stack);
    struct sigaction crash {};
    crash.sa_handler = sdl_crashed;
    crash.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&crash.sa_mask);
    struct sigaction earlier_segv {
    }, earlier_bus{};
    sigaction(SIGSEGV, &crash, &earlier_segv);
    sigaction(SIGBUS, &crash, &earlier_bus);
    int started = -1;
    {
        StandardErrorHeld noise;
        started = SDL_Init(SDL_INIT_VIDEO);
    }
    sigaction(SIGSEGV, &earlier_segv, nullptr);
    sigaction(SIGBUS, &earlier_bus, nullptr);
    sigaltstack(&earlier_stack, nullptr);
    return started;
}

int start_video(const std::string& chosen) {
    constexpr int tries = 30;  // 100 ms apart: 3 s
    int started = -1;
    for (int attempt = 1;; ++attempt) {
        started = start_sdl_video();
        if (display_found(started) || attempt == tries) return started;
        if (!(chosen.empty() || chosen == "x11") || !local_x_server_socket_exists()) return started;
        const std::string error = SDL_GetError();
        if (started == 0) SDL_QuitSubSystem(SDL_INIT_VIDEO);
        SDL_SetError("%s", error.c_str());
        SDL_Delay(100);
    }
}

// The events the program acts on are key-downs, window events and the quit
// request; every other type is dropped as it comes, so that none queues up
// ahead of a key (a moving mouse gives an event per motion, and the loop
// takes one event a frame).
void ignore_other_events() {
    for (Uint32 type = SDL_FIRSTEVENT + 1; type < SDL_USEREVENT; ++type)
        if (type != SDL_QUIT && type != SDL_WINDOWEVENT && type != SDL_KEYDOWN) SDL_EventState(type, SDL_IGNORE);
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
    user_driver = chosen;
    // Why SDL's Wayland driver is not to be tried here, when it is not.
    const std::string wayland_refused = wayland_compositor_refused(chosen);
    if (!wayland_refused.empty()) {
        if (chosen == "wayland") {
            *reason = "No display could be opened: " + wayland_refused;
            return false;
        }
        SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "x11", SDL_HINT_OVERRIDE);
    }
    const int started = start_video(chosen);
    if (started != 0) {
        if (!wayland_refused.empty())
            *reason = "No display could be opened: " + display_outcome("DISPLAY", "X") + " (SDL: " + SDL_GetError() +
                      "); and " + wayland_refused;
        else if (chosen.empty() || chosen == "x11" || chosen == "wayland")
            *reason = "No display could be opened: " + displays_not_opened(chosen) + " (SDL: " + SDL_GetError() + ").";
        else
            *reason = "No display could be opened with SDL's \"" + chosen + "\" video driver: " + SDL_GetError();
        return false;
    }
    // Chosen by the user, such a driver stays: that is how a run without a
    // display is asked for.
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!display_found(started)) {
        *reason = "No display: " + displays_not_opened(chosen) + "; SDL would fall back to its \"" + driver +
                  "\" video driver, which shows the window to nobody (set SDL_VIDEODRIVER to choose a driver).";
        return false;
    }
#if OMBRASTEL_SHARED_IMAGES
    if (driver != nullptr && std::strcmp(driver, "x11") == 0) end_process_when_display_lost();
#endif
    // SDL's Wayland driver has no window surface of its own: where the
    // frames are copied there, SDL's texture framebuffer takes them.
    if (driver != nullptr && std::strcmp(driver, "wayland") == 0) SDL_ResetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION);
    ignore_other_events();
    held_noise.clear();
    SDL_DisplayMode desktop;
    if (SDL_GetDesktopDisplayMode(0, &desktop) != 0) {
        *reason = std::string("The display's screen size could not be read: ") + SDL_GetError();
        return false;
    }
    *screen_width = desktop.w;
    *screen_height = desktop.h;
#if OMBRASTEL_WAYLAND_BUFFERS
    // SDL gives a scaled Wayland output's size in surface units; the frame
    // is drawn in the output's device pixels, as many as it has, shown at
    // the output's scale. Only where the frame's sides divide by the scale:
    // a buffer must hold a whole number of surface units.
    int pixel_width = 0, pixel_height = 0, scale = 1;
    if (driver != nullptr && std::strcmp(driver, "wayland") == 0 &&
        wayland_output_at_origin(&pixel_width, &pixel_height, &scale) && scale > 1 &&
        pixel_width == desktop.w * scale && pixel_height == desktop.h * scale) {
        const FrameSize frame = frame_for_window(pixel_width, pixel_height, "screen").size;
        if (frame.width % scale == 0 && frame.height % scale == 0) {
            *screen_width = pixel_width;
            *screen_height = pixel_height;
            output_scale = scale;
        }
    }
#endif
    return true;
}

// --- The window's presenter ---------------------------------------------------

namespace {

std::string sdl_error() {
    const char* error = SDL_GetError();
    return error != nullptr && error[0] != '\0' ? error : "SDL gave no reason";
}

}  // namespace

bool WindowPresenter::open(FrameSize size, std::string* reason) {
    size_ = size;
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    const bool known = SDL_GetWindowWMInfo(window, &info) == SDL_TRUE;
    std::string why;
    if (known && info.subsystem == SDL_SYSWM_X11) {
#if OMBRASTEL_SHARED_IMAGES
        if (open_shared_images(DisplayString(info.info.x11.display), info.info.x11.window, &why))
            way_ = Way::shared_images;
        else
            not_shared_because_ = why;
#else
        not_shared_because_ = "this program was built without MIT-SHM";
#endif
    } else if (known && info.subsystem == SDL_SYSWM_WAYLAND) {
#if OMBRASTEL_WAYLAND_BUFFERS
        if (open_wayland_buffers(info.info.wl.display, info.info.wl.surface, output_scale, &why))
            way_ = Way::wayland_buffers;
        else
            not_shared_because_ = why;
#else
        not_shared_because_ = "this program was built without Wayland's client library";
#endif
    } else {
        not_shared_because_ =
            std::string("SDL's video driver is \"") + SDL_GetCurrentVideoDriver() + "\", neither x11 nor wayland";
    }
    // The client area's pixels, which every frame is copied into where the
    // frames are not shared. Made now so that a window without them fails
    // the start rather than showing nothing.
    return way_ != Way::window_surface || window_surface_made(reason);
}

bool WindowPresenter::window_surface_made(std::string* reason) {
    // SDL's window surface is in the window's units, not the scaled
    // output's pixels that the frame is drawn in.
    if (output_scale > 1) {
        *reason =
            "The frame, drawn in the scaled output's device pixels, can be shown only through Wayland "
            "buffers: " +
            not_shared_because_ + ".";
        return false;
    }
    if (SDL_GetWindowSurface(window) != nullptr) return true;
    *reason = "The window's surface, which the frames are copied into, could not be made: " + sdl_error();
    return false;
}

int WindowPresenter::make_buffers(FrameSize size, int wanted, std::string* reason) {
    give_back();
    size_ = size;
    contents_lost_ = true;
    const int count = wanted < 2 ? 1 : 2;
#if OMBRASTEL_SHARED_IMAGES
    if (way_ == Way::shared_images) {
        memory_is_images_ = true;
        std::string why;
        for (count_ = 0; count_ < count; ++count_) {
            buffers_[count_].pixels = make_shared_image(size.width, size.height, &why);
            if (buffers_[count_].pixels == nullptr) break;
        }
        if (count_ == count) return count_;
        // Too few images: every frame is copied instead, from plain memory.
        give_back();
        close_shared_images(false);
        way_ = Way::window_surface;
        not_shared_because_ = why;
        if (!window_surface_made(reason)) return 0;
    }
#endif
#if OMBRASTEL_WAYLAND_BUFFERS
    if (way_ == Way::wayland_buffers) {
        memory_is_images_ = true;
        // Two more than are drawn into at once: the compositor may hold the
        // frame it shows and the one it is about to.
        const int made = count + 2;
        std::string why;
        for (count_ = 0; count_ < made; ++count_) {
            buffers_[count_].pixels = make_wayland_buffer(size.width, size.height, &why);
            if (buffers_[count_].pixels == nullptr) break;
        }
        if (count_ >= 2) return count_ >= 3 ? count : 1;
        give_back();
        close_wayland_buffers();
        way_ = Way::window_surface;
        not_shared_because_ = why;
        if (!window_surface_made(reason)) return 0;
    }
#endif
    const std::size_t bytes = std::size_t{size.width} * size.height * 4;
    for (count_ = 0; count_ < count; ++count_) {
        buffers_[count_].pixels = static_cast<std::uint32_t*>(obtain_heap_buffer(bytes));
        if (buffers_[count_].pixels == nullptr) break;
    }
    // One buffer is enough: frames are then drawn and shown in turn.
    if (count_ == 0)
        *reason = "The frame buffer, " + std::to_string(bytes) + " bytes for a " + std::to_string(size.width) + " x " +
                  std::to_string(size.height) + " frame, could not be had.";
    return count_;
}

void WindowPresenter::give_back() {
    for (Buffer& buffer : buffers_) {
        if (buffer.surface != nullptr) SDL_FreeSurface(buffer.surface);
        if (!memory_is_images_) give_back_heap_buffer(buffer.pixels);
        buffer = Buffer{};
    }
    count_ = 0;
#if OMBRASTEL_SHARED_IMAGES
    if (memory_is_images_ && way_ == Way::shared_images) give_back_shared_images();
    if (memory_is_images_ && way_ == Way::window_surface) unmap_kept_images();
#endif
#if OMBRASTEL_WAYLAND_BUFFERS
    if (memory_is_images_ && way_ == Way::wayland_buffers) give_back_wayland_buffers();
#endif
    memory_is_images_ = false;
}

WindowPresenter::Buffer* WindowPresenter::buffer_of(const std::uint32_t* pixels) {
    for (int i = 0; i < count_; ++i)
        if (buffers_[i].pixels == pixels) return &buffers_[i];
    return nullptr;
}

std::uint32_t* WindowPresenter::take_buffer(std::string* reason) {
    // The buffer shown longest ago: with two, drawing at the pace of idle
    // mode then never waits for the display.
    Buffer* chosen = nullptr;
    for (int i = 0; i < count_; ++i)
        if (!buffers_[i].taken && (chosen == nullptr || buffers_[i].presented < chosen->presented))
            chosen = &buffers_[i];
    if (chosen == nullptr) {
        *reason = "every frame buffer is taken";
        return nullptr;
    }
#if OMBRASTEL_SHARED_IMAGES
    if (way_ == Way::shared_images) {
        std::string why;
        switch (await_shared_image(chosen->pixels, completion_timeout_ms, &why)) {
            case ImageWait::drawable: break;
            case ImageWait::failed:
                if (!copy_from_now_on(why, reason)) return nullptr;
                break;
            case ImageWait::window_gone: *reason = "the window is gone (" + why + ")."; return nullptr;
            case ImageWait::timed_out: *reason = why + "."; return nullptr;
        }
    }
#endif
#if OMBRASTEL_WAYLAND_BUFFERS
    if (way_ == Way::wayland_buffers && !wayland_buffer_free(chosen->pixels)) {
        // Any one the compositor released, the earliest presented first.
        const std::uint32_t* candidates[4];
        Buffer* owners[4];
        int count = 0;
        Buffer* released = nullptr;
        for (int i = 0; i < count_; ++i) {
            if (buffers_[i].taken) continue;
            if (wayland_buffer_free(buffers_[i].pixels) &&
                (released == nullptr || buffers_[i].presented < released->presented))
                released = &buffers_[i];
            candidates[count] = buffers_[i].pixels;
            owners[count++] = &buffers_[i];
        }
        if (released != nullptr) chosen = released;
        if (!wayland_buffer_free(chosen->pixels)) {
            int which = 0;
            std::string why;
            switch (await_wayland_release(candidates, count, completion_timeout_ms, &which, &why)) {
                case ReleaseWait::released: chosen = owners[which]; break;
                case ReleaseWait::failed:
                case ReleaseWait::timed_out: *reason = why + "."; return nullptr;
            }
        }
    }
#endif
    chosen->taken = true;
    return chosen->pixels;
}

bool WindowPresenter::present(std::uint32_t* pixels, const PixelRect& changed, std::string* reason) {
    Buffer* buffer = buffer_of(pixels);
    if (buffer == nullptr || !buffer->taken) {
        *reason = "a frame buffer was shown that had not been taken";
        return false;
    }
    buffer->taken = false;
    buffer->presented = ++presents_;
    const SDL_Rect put = contents_lost_ ? SDL_Rect{0, 0, size_.width, size_.height}
                                        : SDL_Rect{changed.left, changed.top, changed.right - changed.left,
                                                   changed.bottom - changed.top};
    contents_lost_ = false;
    // The window shows this frame already; a Wayland surface is given the
    // buffer all the same, for the one it held is now free to be drawn into.
    if ((put.w <= 0 || put.h <= 0) && way_ != Way::wayland_buffers) return true;
#if OMBRASTEL_SHARED_IMAGES
    if (way_ == Way::shared_images) {
        std::string why;
        if (put_shared_image(pixels, put.x, put.y, put.w, put.h, &why)) return true;
        if (shared_images_window_gone()) {
            *reason = "the window is gone (" + why + ").";
            return false;
        }
        if (!copy_from_now_on(why, reason)) return false;
    }
#endif
#if OMBRASTEL_WAYLAND_BUFFERS
    if (way_ == Way::wayland_buffers) {
        std::string why;
        if (put_wayland_buffer(pixels, put.x, put.y, put.w, put.h, &why)) return true;
        *reason = why + ".";
        return false;
    }
#endif
    return copy(*buffer, put, reason);
}

bool WindowPresenter::copy(Buffer& buffer, const SDL_Rect& put, std::string* reason) {
    SDL_Surface* client_area = SDL_GetWindowSurface(window);
    if (client_area == nullptr) {
        *reason = "SDL's window surface, which the frames are copied into, could not be had: " + sdl_error() + ".";
        return false;
    }
    // The buffer seen as an SDL surface: 32-bit words 0x00RRGGBB, rows from
    // the top down, frame width pixels to a row. Made the first time the
    // buffer is shown, kept as long as the buffer.
    if (buffer.surface == nullptr)
        buffer.surface = SDL_CreateRGBSurfaceWithFormatFrom(buffer.pixels, size_.width, size_.height, 32,
                                                            size_.width * 4, SDL_PIXELFORMAT_RGB888);
    if (buffer.surface == nullptr) {
        *reason = "a frame buffer could not be seen as an SDL surface: " + sdl_error() + ".";
        return false;
    }
    // The same rectangle of the same size, no alpha, no colour key: a 1:1
    // copy, converted only if the window's pixels were laid out differently.
    // The frames are not drawn straight into the window's surface, which
    // would save this copy: SDL gives a window one surface, read while it is
    // shown, so the next frame could not be drawn meanwhile.
    SDL_Rect from = put, to = put;
    if (SDL_BlitSurface(buffer.surface, &from, client_area, &to) != 0) {
        *reason = "a frame could not be copied into SDL's window surface: " + sdl_error() + ".";
        return false;
    }
    if (SDL_UpdateWindowSurfaceRects(window, &put, 1) != 0) {
        *reason = "SDL could not put its window surface on the window: " + sdl_error() + ".";
        return false;
    }
    return true;
}

// After an X error on the presenting connection that leaves the window
// standing (a request the server refused) the frames, in shared memory or
// not, are copied as where nothing is shared, if SDL's window surface can
// still be had.
bool WindowPresenter::copy_from_now_on([[maybe_unused]] const std::string& why, std::string* reason) {
#if OMBRASTEL_SHARED_IMAGES
    close_shared_images(true);
#endif
    way_ = Way::window_surface;
    contents_lost_ = true;
    not_shared_because_ = "shared memory failed while running: " + why;
    std::fprintf(stderr, "ombrastel: showing frames through shared memory failed (%s); copying them from now on.\n",
                 why.c_str());
    std::fflush(stderr);
    if (SDL_GetWindowSurface(window) != nullptr) return true;
    *reason = "shared memory failed (" + why + "), and SDL's window surface could not be made: " + sdl_error() + ".";
    return false;
}

std::string WindowPresenter::way() const {
    if (way_ == Way::shared_images) return "X shared-memory images";
    if (way_ == Way::wayland_buffers) return "Wayland shared-memory buffers (wl_shm)";
    std::string way = "SDL's window surface (a copy)";
    if (!not_shared_because_.empty()) way += ", not shared memory: " + not_shared_because_;
    return way;
}

void WindowPresenter::close() {
#if OMBRASTEL_SHARED_IMAGES
    if (way_ == Way::shared_images) close_shared_images(true);
#endif
#if OMBRASTEL_WAYLAND_BUFFERS
    if (way_ == Way::wayland_buffers) {
        give_back();
        close_wayland_buffers();
    }
#endif
}

Presenter* open_window(FrameSize size, std::string* reason) {
    // Not resizable. Under X11 SDL gives such a window the same minimum and
    // maximum size by itself; under Wayland it says so only when told, and
    // a tiling compositor then floats the window at its own size rather than
    // asking it to fill a tile.
    const int width = size.width / output_scale, height = size.height / output_scale;
    window = SDL_CreateWindow(window_title, 0, 0, width, height, SDL_WINDOW_SHOWN);
    if (window == nullptr) {
        *reason = "The window could not be made: " + sdl_error();
        return nullptr;
    }
    SDL_SetWindowMinimumSize(window, width, height);
    SDL_SetWindowMaximumSize(window, width, height);
    if (!presenter.open(size, reason)) return nullptr;
    return &presenter;
}

void sleep_one_millisecond() { SDL_Delay(1); }

EventOutcome handle_one_event() {
    SDL_Event event;
    if (!SDL_PollEvent(&event)) return EventOutcome::none;
    switch (event.type) {
        case SDL_KEYDOWN: return key_pressed(shell_key(event.key.keysym.sym));
        case SDL_QUIT:  // the last window was closed, or the process was asked to end
            return EventOutcome::quit;
        case SDL_WINDOWEVENT:
            switch (event.window.event) {
                case SDL_WINDOWEVENT_SHOWN:
                case SDL_WINDOWEVENT_EXPOSED:
                case SDL_WINDOWEVENT_RESTORED:
                case SDL_WINDOWEVENT_MAXIMIZED:
                case SDL_WINDOWEVENT_SIZE_CHANGED: presenter.window_changed(); break;
                default: break;
            }
            return EventOutcome::go_on;
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
    // So may a display that stopped answering just now, after the last
    // frame: a teardown that takes longer than any display that answers
    // would ends the process, saying why.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(teardown_timeout_ms));
        static constexpr char text[] = "ombrastel: the display did not answer while the window was closed.\n";
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, sizeof text - 1);
        _exit(display_failed_exit_status);
    }).detach();
    // The last puts are let finish before the window goes.
    presenter.close();
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

int main(int argc, char** argv) {
    // A write to a display server that has just ended (the X server's socket
    // closed while a frame was being put) would raise SIGPIPE and end the
    // process unexplained; ignored, the write fails, and Xlib's handler of a
    // lost connection says what happened.
    signal(SIGPIPE, SIG_IGN);
    program_entry(argc, argv);
}
