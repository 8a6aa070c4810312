// x11_probe: what the end-to-end tests need from the X server that the stock
// command-line tools do not give exactly: find a window by its exact title,
// read its geometry, send it the window manager's delete request, grab its
// pixels as a PNG, and move the pointer over it many times.
//
//   x11_probe find TITLE TIMEOUT_MS     prints the id of the viewable top-level
//                                       window titled exactly TITLE
//   x11_probe geometry WINDOW           prints "WIDTH HEIGHT X Y" (X, Y on the
//                                       screen)
//   x11_probe viewable WINDOW           exit 0 if the window exists and is viewable
//   x11_probe delete WINDOW             sends WM_DELETE_WINDOW, as a window
//                                       manager does when the user closes it
//   x11_probe grab WINDOW FILE.png...   writes the window's pixels as 8-bit RGB,
//                                       one file after another, each once the
//                                       picture has changed from the one before
//   x11_probe motions WINDOW COUNT      moves the pointer COUNT times inside it
//   x11_probe iconify WINDOW            what a window manager does to minimise
//                                       it: WM_STATE iconic, then unmapped
//   x11_probe restore WINDOW [RRGGBB]   and to restore it: WM_STATE normal,
//                                       mapped; with a colour, the server first
//                                       fills the window with it, as the window
//                                       shows nothing of what it showed before
//   x11_probe cleared WINDOW RRGGBB TIMEOUT_MS
//                                       waits until no pixel of the window has
//                                       the colour
//   x11_probe destroy WINDOW            destroys the window, as any client may
//
// Exit status: 0 done, 1 not found / not viewable / no such protocol / the
// colour stayed, 2 usage or X error, 3 the picture did not change within 30 s.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#if OMBRASTEL_HAVE_XCOMPOSITE
#include <X11/extensions/Xcomposite.h>
#endif
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

Display* display = nullptr;
bool x_error_seen = false;

int note_x_error(Display*, XErrorEvent*) {
    x_error_seen = true;
    return 0;
}

[[noreturn]] void fail(int status, const std::string& text) {
    std::fprintf(stderr, "x11_probe: %s\n", text.c_str());
    std::exit(status);
}

Window window_argument(const char* text) {
    char* end = nullptr;
    unsigned long id = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || id == 0) fail(2, std::string("not a window id: ") + text);
    return static_cast<Window>(id);
}

// The window's title: _NET_WM_NAME (UTF-8) when set, otherwise WM_NAME.
std::string window_title(Window window) {
    Atom net_wm_name = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8_string = XInternAtom(display, "UTF8_STRING", False);
    Atom actual_type = None;
    int actual_format = 0;
    unsigned long item_count = 0;
    unsigned long bytes_after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, net_wm_name, 0, 4096, False, utf8_string, &actual_type, &actual_format,
                           &item_count, &bytes_after, &data) == Success &&
        data != nullptr && actual_type == utf8_string && actual_format == 8) {
        title.assign(reinterpret_cast<char*>(data), item_count);
        XFree(data);
        return title;
    }
    if (data != nullptr) XFree(data);
    XTextProperty text{};
    if (XGetWMName(display, window, &text) && text.value != nullptr) {
        title.assign(reinterpret_cast<char*>(text.value), text.nitems);
        XFree(text.value);
    }
    return title;
}

bool is_viewable(Window window) {
    XWindowAttributes attributes{};
    x_error_seen = false;
    Status status = XGetWindowAttributes(display, window, &attributes);
    XSync(display, False);
    return status != 0 && !x_error_seen && attributes.map_state == IsViewable;
}

// Top-level windows are the root's children; without a window manager there
// is no frame window in between.
Window find_titled(const std::string& wanted) {
    Window root_return = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int child_count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root_return, &parent, &children, &child_count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < child_count && found == 0; ++i) {
        x_error_seen = false;
        std::string title = window_title(children[i]);
        if (!x_error_seen && title == wanted && is_viewable(children[i])) found = children[i];
    }
    if (children != nullptr) XFree(children);
    return found;
}

int find_command(const std::string& title, long timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (Window window = find_titled(title)) {
            std::printf("%lu\n", static_cast<unsigned long>(window));
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int geometry_command(Window window) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes)) fail(1, "no such window");
    int screen_x = 0;
    int screen_y = 0;
    Window child = 0;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &screen_x, &screen_y, &child);
    std::printf("%d %d %d %d\n", attributes.width, attributes.height, screen_x, screen_y);
    return 0;
}

int delete_command(Window window) {
    Atom wm_protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom wm_delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Atom* protocols = nullptr;
    int protocol_count = 0;
    bool takes_delete = false;
    if (XGetWMProtocols(display, window, &protocols, &protocol_count)) {
        for (int i = 0; i < protocol_count; ++i) takes_delete = takes_delete || protocols[i] == wm_delete_window;
        XFree(protocols);
    }
    // A window manager would destroy a window without the protocol outright;
    // the test wants the program's own handling of the request.
    if (!takes_delete) fail(1, "the window does not take WM_DELETE_WINDOW");
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = wm_protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(wm_delete_window);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return 0;
}

void put_u32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void put_chunk(std::vector<unsigned char>& out, const char* type, const std::vector<unsigned char>& data) {
    put_u32(out, static_cast<std::uint32_t>(data.size()));
    std::size_t type_at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0L, out.data() + type_at, static_cast<uInt>(4 + data.size()));
    put_u32(out, static_cast<std::uint32_t>(crc));
}

// 8-bit RGB, no gamma or colour-space chunk: the bytes are the pixels.
void write_png(const std::string& path, int width, int height, const std::vector<unsigned char>& rgb) {
    std::vector<unsigned char> raw;
    raw.reserve(static_cast<std::size_t>(height) * (1 + 3 * static_cast<std::size_t>(width)));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);  // no filter
        auto row = rgb.begin() + static_cast<std::ptrdiff_t>(y) * width * 3;
        raw.insert(raw.end(), row, row + width * 3);
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> packed(packed_size);
    if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
        fail(2, "compression failed");
    packed.resize(packed_size);

    std::vector<unsigned char> header;
    put_u32(header, static_cast<std::uint32_t>(width));
    put_u32(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter set, no interlace

    std::vector<unsigned char> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    put_chunk(file, "IHDR", header);
    put_chunk(file, "IDAT", packed);
    put_chunk(file, "IEND", {});

    std::string partial = path + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) fail(2, "cannot write " + partial);
    bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    written = std::fclose(out) == 0 && written;
    if (!written || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        fail(2, "cannot write " + path);
    }
}

int channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0) ++shift;
    unsigned long value = (pixel & mask) >> shift;
    unsigned long top = mask >> shift;
    return static_cast<int>(top == 255 ? value : value * 255 / top);
}

// How long a grab waits for the program to show a new picture.
constexpr auto patience = std::chrono::seconds(30);
// How often the window's pixels are read while waiting for them to change.
constexpr auto poll_interval = std::chrono::milliseconds(5);

// The window's pixels as 8-bit RGB rows. Reads the picture of one moment:
// the server answers a single request between two of the program's image
// uploads. The colour masks come from the window's visual: an image of a
// pixmap carries none.
std::vector<unsigned char> read_pixels(Drawable source, const XWindowAttributes& window) {
    const int width = window.width;
    const int height = window.height;
    XImage* image = XGetImage(display, source, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                              AllPlanes, ZPixmap);
    if (image == nullptr) fail(2, "XGetImage failed");
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    std::size_t at = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned long pixel = XGetPixel(image, x, y);
            rgb[at++] = static_cast<unsigned char>(channel(pixel, window.visual->red_mask));
            rgb[at++] = static_cast<unsigned char>(channel(pixel, window.visual->green_mask));
            rgb[at++] = static_cast<unsigned char>(channel(pixel, window.visual->blue_mask));
        }
    }
    XDestroyImage(image);
    return rgb;
}

// Where a window's pixels are read from. A window may reach past the
// screen's edge (a captioned window whose client area is nearly the screen's
// size does), and the screen keeps no pixels there: with X Composite the
// window is redirected, and draws into a pixmap of its own that holds all of
// it, filled by the next picture the program presents.
class WindowPixels {
  public:
    explicit WindowPixels(Window window) : window_(window), source_(window) {
        if (!XGetWindowAttributes(display, window, &attributes_)) fail(1, "no such window");
        if (attributes_.map_state != IsViewable) fail(1, "the window is not viewable");
#if OMBRASTEL_HAVE_XCOMPOSITE
        int event_base = 0;
        int error_base = 0;
        redirected_ = XCompositeQueryExtension(display, &event_base, &error_base);
        if (redirected_) {
            XCompositeRedirectWindow(display, window, CompositeRedirectAutomatic);
            source_ = XCompositeNameWindowPixmap(display, window);
            XSync(display, False);
            // What the pixmap holds until the program presents again.
            const std::vector<unsigned char> copied = read();
            changed_from(copied);
        }
#endif
    }
    ~WindowPixels() {
#if OMBRASTEL_HAVE_XCOMPOSITE
        if (redirected_) {
            XFreePixmap(display, source_);
            XCompositeUnredirectWindow(display, window_, CompositeRedirectAutomatic);
            XSync(display, False);
        }
#endif
    }
    WindowPixels(const WindowPixels&) = delete;
    WindowPixels& operator=(const WindowPixels&) = delete;

    const XWindowAttributes& attributes() const { return attributes_; }
    std::vector<unsigned char> read() const { return read_pixels(source_, attributes_); }

    // The first picture that differs from `before`.
    std::vector<unsigned char> changed_from(const std::vector<unsigned char>& before) const {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        for (;;) {
            std::vector<unsigned char> now = read();
            if (now != before) return now;
            if (std::chrono::steady_clock::now() >= deadline)
                fail(3, "the window's picture did not change within 30 s");
            std::this_thread::sleep_for(poll_interval);
        }
    }

  private:
    Window window_;
    Drawable source_;
    XWindowAttributes attributes_{};
    bool redirected_ = false;
};

int grab_command(Window window, const std::vector<std::string>& paths) {
    const WindowPixels pixels(window);
    std::vector<unsigned char> picture = pixels.read();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i > 0) picture = pixels.changed_from(picture);
        write_png(paths[i], pixels.attributes().width, pixels.attributes().height, picture);
    }
    return 0;
}

// A colour given as RRGGBB.
struct Colour {
    unsigned char red, green, blue;
};
Colour colour_argument(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (std::strlen(text) != 6 || *end != '\0') fail(2, std::string("not a colour RRGGBB: ") + text);
    return {static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value)};
}

unsigned long pixel_value(int value, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0) ++shift;
    const unsigned long top = mask >> shift;
    return (static_cast<unsigned long>(value) * top / 255) << shift;
}

std::size_t pixels_of_colour(const std::vector<unsigned char>& rgb, Colour colour) {
    std::size_t count = 0;
    for (std::size_t at = 0; at + 2 < rgb.size(); at += 3)
        if (rgb[at] == colour.red && rgb[at + 1] == colour.green && rgb[at + 2] == colour.blue) ++count;
    return count;
}

int cleared_command(Window window, Colour colour, long timeout_ms) {
    const WindowPixels pixels(window);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const std::size_t left = pixels_of_colour(pixels.read(), colour);
        if (left == 0) return 0;
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (waited.count() >= timeout_ms) {
            std::fprintf(stderr, "x11_probe: after %ld ms, %zu pixels still have the colour\n",
                         static_cast<long>(waited.count()), left);
            return 1;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

int motions_command(Window window, long count) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes)) fail(1, "no such window");
    int width = attributes.width > 2 ? attributes.width : 2;
    int height = attributes.height > 2 ? attributes.height : 2;
    for (long i = 0; i < count; ++i) {
        // A walk along a diagonal inside the window: every step is a real
        // move, so the server reports each one.
        int x = static_cast<int>(i % (width - 1)) + 1;
        int y = static_cast<int>((i * 7) % (height - 1)) + 1;
        XWarpPointer(display, None, window, 0, 0, 0, 0, x, y);
        if (i % 256 == 255) XSync(display, False);
    }
    XSync(display, False);
    return 0;
}

// ICCCM: the window manager keeps WM_STATE on the client window and maps or
// unmaps it; the client learns of its new state from both.
void set_wm_state(Window window, long state) {
    Atom wm_state = XInternAtom(display, "WM_STATE", False);
    long value[2] = {state, static_cast<long>(None)};
    XChangeProperty(display, window, wm_state, wm_state, 32, PropModeReplace, reinterpret_cast<unsigned char*>(value),
                    2);
}

int iconify_command(Window window) {
    set_wm_state(window, IconicState);
    XUnmapWindow(display, window);
    XSync(display, False);
    return x_error_seen ? 1 : 0;
}

// What another client may do to any window: destroy it, behind its owner's
// back.
int destroy_command(Window window) {
    XDestroyWindow(display, window);
    XSync(display, False);
    return x_error_seen ? 1 : 0;
}

int restore_command(Window window, const Colour* background) {
    set_wm_state(window, NormalState);
    if (background != nullptr) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, window, &attributes)) fail(1, "no such window");
        XSetWindowBackground(display, window,
                             pixel_value(background->red, attributes.visual->red_mask) |
                                 pixel_value(background->green, attributes.visual->green_mask) |
                                 pixel_value(background->blue, attributes.visual->blue_mask));
    }
    XMapWindow(display, window);
    XSync(display, False);
    return x_error_seen ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        fail(2, "usage: x11_probe find|geometry|viewable|delete|grab|motions|iconify|restore|cleared|destroy ...");
    display = XOpenDisplay(nullptr);
    if (display == nullptr) fail(2, "cannot open the display");
    XSetErrorHandler(note_x_error);

    std::string command = argv[1];
    if (command == "find" && argc == 4) return find_command(argv[2], std::strtol(argv[3], nullptr, 10));
    if (command == "geometry" && argc == 3) return geometry_command(window_argument(argv[2]));
    if (command == "viewable" && argc == 3) return is_viewable(window_argument(argv[2])) ? 0 : 1;
    if (command == "delete" && argc == 3) return delete_command(window_argument(argv[2]));
    if (command == "grab" && argc >= 4)
        return grab_command(window_argument(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
    if (command == "motions" && argc == 4)
        return motions_command(window_argument(argv[2]), std::strtol(argv[3], nullptr, 10));
    if (command == "iconify" && argc == 3) return iconify_command(window_argument(argv[2]));
    if (command == "restore" && argc == 3) return restore_command(window_argument(argv[2]), nullptr);
    if (command == "restore" && argc == 4) {
        const Colour background = colour_argument(argv[3]);
        return restore_command(window_argument(argv[2]), &background);
    }
    if (command == "cleared" && argc == 5)
        return cleared_command(window_argument(argv[2]), colour_argument(argv[3]), std::strtol(argv[4], nullptr, 10));
    if (command == "destroy" && argc == 3) return destroy_command(window_argument(argv[2]));
    fail(2, "unknown command or wrong argument count: " + command);
}
