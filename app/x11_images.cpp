#include "app/x11_images.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

struct SharedImage {
    XImage* image = nullptr;
    XShmSegmentInfo segment{};
    bool attached = false;  // by the server
    bool pending = false;   // put, and its completion not yet come
};

Display* connection = nullptr;
Window target = 0;
GC context = nullptr;
Visual* visual = nullptr;
int depth = 0;
int completion_type = 0;
SharedImage images[most_shared_images];
int image_count = 0;
// The pixels close_shared_images kept mapped.
void* kept_pixels[most_shared_images] = {};

// The first X error on the presenting connection, in words; empty while
// there was none. After one, the connection only waits for its end: the
// request that failed sent no completion.
std::string connection_error;
// The first error said the window is gone: destroyed by another client.
bool window_gone = false;
// A completion did not come in time: the server answers nothing, and
// nothing more that waits for its answer is asked.
bool server_silent = false;

// Xlib's error handler is one for the whole process, every connection's: an
// error on another library's connection goes on to the handler that was
// there before, which would have had it anyway.
XErrorHandler earlier_error_handler = nullptr;
bool error_handler_installed = false;
bool io_error_handler_installed = false;

int note_error(Display* display, XErrorEvent* event) {
    if (display != connection || connection == nullptr)
        return earlier_error_handler != nullptr ? earlier_error_handler(display, event) : 0;
    if (connection_error.empty()) {
        char text[160] = "";
        XGetErrorText(display, event->error_code, text, sizeof text);
        connection_error = std::string(text) + " (request " + std::to_string(event->request_code) + "." +
                           std::to_string(event->minor_code) + ")";
        window_gone = event->error_code == BadWindow || event->error_code == BadDrawable;
    }
    return 0;
}

// A display gone (the server ended, the network broke) ends the process
// here, on whichever connection notices first: the render workers may be
// drawing, and only a plain _exit takes them down without running anything
// of the program's under their feet.
int connection_lost(Display* display) {
    std::fprintf(stderr, "ombrastel: the connection to the X display \"%s\" was lost.\n", DisplayString(display));
    std::fflush(stderr);
    _exit(1);
}

SharedImage* image_of(const std::uint32_t* pixels) {
    for (int i = 0; i < image_count; ++i)
        if (reinterpret_cast<const std::uint32_t*>(images[i].image->data) == pixels) return &images[i];
    return nullptr;
}

// Takes every event that has come: the completions of puts, each naming its
// image's segment. Errors go to note_error meanwhile.
void take_completions() {
    while (XPending(connection) > 0) {
        XEvent event;
        XNextEvent(connection, &event);
        if (event.type != completion_type) continue;
        const auto& completion = reinterpret_cast<const XShmCompletionEvent&>(event);
        for (int i = 0; i < image_count; ++i)
            if (images[i].segment.shmseg == completion.shmseg) images[i].pending = false;
    }
}

// Lets go of one image: the server's attachment (when `detach` says it may
// still be had) and the XImage record; the pixels stay mapped.
void let_go(SharedImage& shared, bool detach) {
    if (detach && shared.attached) XShmDetach(connection, &shared.segment);
    shared.attached = false;
    shared.pending = false;
    // The record's data is the segment, not Xlib's to free.
    shared.image->data = nullptr;
    XDestroyImage(shared.image);
    shared.image = nullptr;
}

}  // namespace

void end_process_when_display_lost() {
    if (io_error_handler_installed) return;
    XSetIOErrorHandler(connection_lost);
    io_error_handler_installed = true;
}

bool open_shared_images(const char* display_name, unsigned long window, std::string* why_not) {
    close_shared_images(false);
    connection = XOpenDisplay(display_name);
    if (connection == nullptr) {
        *why_not = "a second connection to the X display could not be opened";
        return false;
    }
    if (!error_handler_installed) {
        earlier_error_handler = XSetErrorHandler(note_error);
        error_handler_installed = true;
    }
    end_process_when_display_lost();
    connection_error.clear();
    window_gone = false;
    auto refuse = [&](const std::string& reason) {
        *why_not = reason;
        close_shared_images(false);
        return false;
    };
    // Asked by name first: the extension's own query writes a warning on
    // standard error where the server lacks it.
    int opcode = 0, first_event = 0, first_error = 0;
    int major = 0, minor = 0;
    Bool pixmaps = False;
    if (!XQueryExtension(connection, "MIT-SHM", &opcode, &first_event, &first_error) ||
        !XShmQueryVersion(connection, &major, &minor, &pixmaps))
        return refuse("the X server has no MIT-SHM extension");
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(connection, window, &attributes) || !connection_error.empty())
        return refuse("the window's attributes could not be read");
    visual = attributes.visual;
    depth = attributes.depth;
    // SDL may give its window a DirectColor visual, for gamma ramps, whose
    // colour maps it keeps at 1:1 unless asked otherwise: its pixels are laid
    // out as a TrueColor window's, and its own images are put the same way.
    const bool rgb_visual = visual->c_class == TrueColor || visual->c_class == DirectColor;
    if (!rgb_visual || visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 || visual->blue_mask != 0xFF)
        return refuse("the window's pixels are not 8-bit red, green and blue as in 0x00RRGGBB");
    target = window;
    completion_type = XShmGetEventBase(connection) + ShmCompletion;
    // Images are put from memory, which exposes nothing of the window.
    XGCValues values;
    values.graphics_exposures = False;
    context = XCreateGC(connection, target, GCGraphicsExposures, &values);
    XSync(connection, False);
    if (!connection_error.empty()) return refuse("the X server refused a graphics context: " + connection_error);
    return true;
}

std::uint32_t* make_shared_image(int width, int height, std::string* why_not) {
    if (connection == nullptr || image_count == most_shared_images) {
        *why_not = "no more images can be had";
        return nullptr;
    }
    SharedImage& shared = images[image_count];
    shared.image = XShmCreateImage(connection, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &shared.segment,
                                   static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (shared.image == nullptr) {
        *why_not = "the X library made no shared image";
        return nullptr;
    }
    const int host_order = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
    if (shared.image->bits_per_pixel != 32 || shared.image->bytes_per_line != width * 4 ||
        shared.image->byte_order != host_order) {
        *why_not = "the X server's images are not rows of 32-bit words in this processor's byte order";
        XDestroyImage(shared.image);
        shared.image = nullptr;
        return nullptr;
    }
    const std::size_t bytes = std::size_t{static_cast<unsigned>(width)} * static_cast<unsigned>(height) * 4;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
        *why_not = "no shared memory segment of " + std::to_string(bytes) + " bytes could be had (" +
                   std::strerror(errno) + ")";
        XDestroyImage(shared.image);
        shared.image = nullptr;
        return nullptr;
    }
    void* address = shmat(id, nullptr, 0);
    // Marked for removal at once: from here on the kernel frees the segment
    // when the last of this process and the server lets go of it, whatever
    // becomes of either. Linux lets the server attach a segment so marked.
    shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) {
        *why_not = "a shared memory segment of " + std::to_string(bytes) + " bytes could not be mapped (" +
                   std::strerror(errno) + ")";
        XDestroyImage(shared.image);
        shared.image = nullptr;
        return nullptr;
    }
    shared.segment.shmid = id;
    shared.segment.shmaddr = static_cast<char*>(address);
    shared.segment.readOnly = True;  // the server only reads the frames
    shared.image->data = shared.segment.shmaddr;
    ++image_count;
    // The attachment fails only in the server, later: a server on another
    // machine has no such segment, and one reached over the network cannot
    // tell the client's user. The sync brings its answer.
    XShmAttach(connection, &shared.segment);
    XSync(connection, False);
    if (!connection_error.empty()) {
        *why_not = "the X server could not attach shared memory: " + connection_error;
        --image_count;
        let_go(shared, false);
        shmdt(address);
        return nullptr;
    }
    shared.attached = true;
    return reinterpret_cast<std::uint32_t*>(address);
}

bool shared_images_window_gone() { return window_gone; }

bool is_shared_image(const std::uint32_t* pixels) { return connection != nullptr && image_of(pixels) != nullptr; }

bool put_shared_image(const std::uint32_t* pixels, int x, int y, int width, int height, std::string* why_not) {
    SharedImage* shared = image_of(pixels);
    if (connection == nullptr || shared == nullptr) {
        *why_not = "the frame is not a shared image";
        return false;
    }
    if (!connection_error.empty()) {
        *why_not = "the X server refused a request: " + connection_error;
        return false;
    }
    if (width <= 0 || height <= 0) return true;
    XShmPutImage(connection, target, context, shared->image, x, y, x, y, static_cast<unsigned>(width),
                 static_cast<unsigned>(height), True);
    shared->pending = true;
    // Sent now, so that the server copies while the next frame is drawn.
    XFlush(connection);
    return true;
}

ImageWait await_shared_image(const std::uint32_t* pixels, int timeout_ms, std::string* why_not) {
    SharedImage* shared = image_of(pixels);
    if (connection == nullptr || shared == nullptr) return ImageWait::drawable;
    if (server_silent && shared->pending) {
        *why_not = "the X server stopped answering";
        return ImageWait::timed_out;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        take_completions();
        if (!shared->pending) return ImageWait::drawable;
        if (!connection_error.empty()) {
            *why_not = "the X server refused a request: " + connection_error;
            return window_gone ? ImageWait::window_gone : ImageWait::failed;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            server_silent = true;
            *why_not = "the X server did not finish showing a frame within " + std::to_string(timeout_ms) + " ms";
            return ImageWait::timed_out;
        }
        pollfd readable{ConnectionNumber(connection), POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            *why_not = "the connection to the X server could not be waited on: " + std::string(std::strerror(errno));
            return ImageWait::failed;
        }
    }
}

namespace {

// Lets the pending puts finish (a second at most each, and none once the
// server was found silent), then the server lets go of every image. Returns
// the images' pixels, still mapped; false when the server stopped
// answering, and nothing more may wait for it.
bool let_go_of_images(void* pixels[most_shared_images]) {
    // A put in progress is let finish: the server reads the segment until
    // then. One that failed will send nothing, and is not waited for.
    std::string ignored;
    for (int i = 0; i < image_count && connection_error.empty() && !server_silent; ++i)
        await_shared_image(reinterpret_cast<std::uint32_t*>(images[i].image->data), 1000, &ignored);
    for (int i = 0; i < image_count; ++i) {
        pixels[i] = images[i].segment.shmaddr;
        let_go(images[i], !server_silent);
    }
    image_count = 0;
    if (server_silent) return false;
    // The server has let go of the segments once this returns.
    XSync(connection, False);
    return true;
}

}  // namespace

void give_back_shared_images() {
    if (connection == nullptr) return;
    void* pixels[most_shared_images] = {};
    // A silent server may still read the segments: they stay mapped.
    if (!let_go_of_images(pixels)) return;
    for (void* mapped : pixels)
        if (mapped != nullptr) shmdt(mapped);
}

void close_shared_images(bool keep_pixels) {
    if (connection == nullptr) return;
    void* pixels[most_shared_images] = {};
    // Letting go would wait for the server's answer, which may never come;
    // the process is about to end, and the kernel then lets go for it.
    if (!let_go_of_images(pixels)) return;
    if (context != nullptr) XFreeGC(connection, context);
    context = nullptr;
    XCloseDisplay(connection);
    connection = nullptr;
    connection_error.clear();
    window_gone = false;
    for (int i = 0; i < most_shared_images; ++i) {
        if (pixels[i] == nullptr) continue;
        if (keep_pixels)
            kept_pixels[i] = pixels[i];
        else
            shmdt(pixels[i]);
    }
}

void unmap_kept_images() {
    for (void*& mapped : kept_pixels) {
        if (mapped != nullptr) shmdt(mapped);
        mapped = nullptr;
    }
}
