#include "app/wayland_buffers.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

struct ShmBuffer {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    std::size_t bytes = 0;
    bool busy = false;  // attached and committed, and not yet released
};

wl_display* connection = nullptr;
wl_surface* target = nullptr;
wl_event_queue* queue = nullptr;
wl_display* display_on_queue = nullptr;  // the display's wrapper whose new objects go to `queue`
wl_registry* registry = nullptr;
wl_shm* shm = nullptr;
bool takes_xrgb = false;
int buffer_scale = 1;
ShmBuffer buffers[most_wayland_buffers];
int buffer_count = 0;

void on_format(void*, wl_shm*, std::uint32_t format) {
    // Little-endian 32-bit words 0x00RRGGBB: the frame buffer's pixels.
    if (format == WL_SHM_FORMAT_XRGB8888) takes_xrgb = true;
}
const wl_shm_listener shm_listener{on_format};

void on_global(void*, wl_registry* from, std::uint32_t name, const char* interface, std::uint32_t) {
    if (shm == nullptr && std::strcmp(interface, wl_shm_interface.name) == 0) {
        shm = static_cast<wl_shm*>(wl_registry_bind(from, name, &wl_shm_interface, 1));
        wl_shm_add_listener(shm, &shm_listener, nullptr);
    }
}
void on_global_remove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registry_listener{on_global, on_global_remove};

void on_release(void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy = false; }
const wl_buffer_listener buffer_listener{on_release};

ShmBuffer* buffer_of(const std::uint32_t* pixels) {
    for (int i = 0; i < buffer_count; ++i)
        if (buffers[i].pixels == pixels) return &buffers[i];
    return nullptr;
}

// The connection's failure in words, or "" while it works.
std::string connection_failure() {
    if (connection == nullptr) return "the Wayland connection is closed";
    const int error = wl_display_get_error(connection);
    if (error == 0) return "";
    if (error == EPROTO) {
        const wl_interface* interface = nullptr;
        std::uint32_t id = 0;
        const std::uint32_t code = wl_display_get_protocol_error(connection, &interface, &id);
        return std::string("the Wayland compositor refused a request (error ") + std::to_string(code) + " on " +
               (interface != nullptr ? interface->name : "an object") + ")";
    }
    return std::string("the connection to the Wayland compositor failed (") + std::strerror(error) + ")";
}

// Takes the buffers' events that have come, without waiting.
bool take_events(std::string* why_not) {
    if (wl_display_dispatch_queue_pending(connection, queue) < 0 || wl_display_flush(connection) < 0) {
        if (errno == EAGAIN) return true;  // the socket is full: the requests go out later
        *why_not = connection_failure();
        if (why_not->empty()) *why_not = std::string("the Wayland connection failed (") + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

// Waits up to `ms` for events on the connection and reads them into their
// queues; dispatches this queue's. False when the connection failed.
bool wait_for_events(int ms, std::string* why_not) {
    while (wl_display_prepare_read_queue(connection, queue) != 0)
        if (wl_display_dispatch_queue_pending(connection, queue) < 0) return take_events(why_not);
    wl_display_flush(connection);
    pollfd readable{wl_display_get_fd(connection), POLLIN, 0};
    const int ready = poll(&readable, 1, ms);
    if (ready > 0) {
        if (wl_display_read_events(connection) < 0) return take_events(why_not);
    } else {
        wl_display_cancel_read(connection);
        if (ready < 0 && errno != EINTR) {
            *why_not = std::string("the Wayland connection could not be waited on (") + std::strerror(errno) + ")";
            return false;
        }
    }
    return take_events(why_not);
}

void destroy(ShmBuffer& buffer) {
    if (buffer.buffer != nullptr) wl_buffer_destroy(buffer.buffer);
    if (buffer.pixels != nullptr) munmap(buffer.pixels, buffer.bytes);
    buffer = ShmBuffer{};
}

// What the compositor says of its outputs.
struct OutputSeen {
    wl_output* output = nullptr;
    int x = 0, y = 0;
    int width = 0, height = 0;  // the current mode, in device pixels
    int scale = 1;
};
constexpr int most_outputs = 16;
struct OutputsSeen {
    OutputSeen outputs[most_outputs];
    int count = 0;
};

void on_output_geometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
                        std::int32_t, const char*, const char*, std::int32_t) {
    static_cast<OutputSeen*>(data)->x = x;
    static_cast<OutputSeen*>(data)->y = y;
}
void on_output_mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
                    std::int32_t) {
    if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
    static_cast<OutputSeen*>(data)->width = width;
    static_cast<OutputSeen*>(data)->height = height;
}
void on_output_done(void*, wl_output*) {}
void on_output_scale(void* data, wl_output*, std::int32_t factor) { static_cast<OutputSeen*>(data)->scale = factor; }
void on_output_text(void*, wl_output*, const char*) {}
const wl_output_listener output_listener{on_output_geometry, on_output_mode, on_output_done,
                                         on_output_scale,    on_output_text, on_output_text};

void on_output_global(void* data, wl_registry* from, std::uint32_t name, const char* interface, std::uint32_t version) {
    auto* seen = static_cast<OutputsSeen*>(data);
    if (std::strcmp(interface, wl_output_interface.name) != 0 || seen->count == most_outputs || version < 2) return;
    OutputSeen& output = seen->outputs[seen->count++];
    output.output = static_cast<wl_output*>(wl_registry_bind(from, name, &wl_output_interface, 2));
    wl_output_add_listener(output.output, &output_listener, &output);
}
const wl_registry_listener output_registry_listener{on_output_global, on_global_remove};

}  // namespace

namespace {

struct ProbeSeen {
    bool seat = false;
    bool done = false;
};
void on_probe_global(void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
    if (std::strcmp(interface, wl_seat_interface.name) == 0) static_cast<ProbeSeen*>(data)->seat = true;
}
const wl_registry_listener probe_registry_listener{on_probe_global, on_global_remove};
void on_probe_done(void* data, wl_callback*, std::uint32_t) { static_cast<ProbeSeen*>(data)->done = true; }
const wl_callback_listener probe_done_listener{on_probe_done};

}  // namespace

CompositorOffer probe_wayland_compositor(int timeout_ms) {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) return CompositorOffer::no_compositor;
    ProbeSeen seen;
    wl_registry* globals = wl_display_get_registry(display);
    wl_registry_add_listener(globals, &probe_registry_listener, &seen);
    // Answered after every global has been announced.
    wl_callback* done = wl_display_sync(display);
    wl_callback_add_listener(done, &probe_done_listener, &seen);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool failed = false;
    while (!seen.done && !failed) {
        while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
        wl_display_flush(display);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{wl_display_get_fd(display), POLLIN, 0};
        const int ready = left > 0 ? poll(&readable, 1, static_cast<int>(left)) : 0;
        if (ready > 0) {
            failed = wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0;
        } else {
            wl_display_cancel_read(display);
            failed = ready == 0 || errno != EINTR;
        }
    }
    wl_callback_destroy(done);
    wl_registry_destroy(globals);
    wl_display_disconnect(display);
    if (!seen.done) return CompositorOffer::no_answer;
    return seen.seat ? CompositorOffer::seat : CompositorOffer::no_seat;
}

bool wayland_output_at_origin(int* pixel_width, int* pixel_height, int* scale) {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) return false;
    OutputsSeen seen;
    wl_registry* outputs = wl_display_get_registry(display);
    wl_registry_add_listener(outputs, &output_registry_listener, &seen);
    // The globals, then each output's geometry, modes and scale.
    bool read = wl_display_roundtrip(display) >= 0 && wl_display_roundtrip(display) >= 0;
    const OutputSeen* found = nullptr;
    for (int i = 0; i < seen.count; ++i)
        if (seen.outputs[i].x == 0 && seen.outputs[i].y == 0 && seen.outputs[i].width > 0) found = &seen.outputs[i];
    read = read && found != nullptr;
    if (read) {
        *pixel_width = found->width;
        *pixel_height = found->height;
        *scale = found->scale < 1 ? 1 : found->scale;
    }
    for (int i = 0; i < seen.count; ++i) wl_output_destroy(seen.outputs[i].output);
    wl_registry_destroy(outputs);
    wl_display_disconnect(display);
    return read;
}

bool open_wayland_buffers(void* display, void* surface, int scale, std::string* why_not) {
    close_wayland_buffers();
    connection = static_cast<wl_display*>(display);
    target = static_cast<wl_surface*>(surface);
    queue = wl_display_create_queue(connection);
    display_on_queue = static_cast<wl_display*>(wl_proxy_create_wrapper(connection));
    if (queue == nullptr || display_on_queue == nullptr) {
        *why_not = "no event queue of its own could be had on the Wayland connection";
        close_wayland_buffers();
        return false;
    }
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(display_on_queue), queue);
    registry = wl_display_get_registry(display_on_queue);
    wl_registry_add_listener(registry, &registry_listener, nullptr);
    // The globals, then wl_shm's formats.
    for (int round = 0; round < 2; ++round) {
        if (wl_display_roundtrip_queue(connection, queue) < 0) {
            *why_not = connection_failure();
            close_wayland_buffers();
            return false;
        }
    }
    if (shm == nullptr || !takes_xrgb) {
        *why_not = shm == nullptr ? "the Wayland compositor has no wl_shm"
                                  : "the Wayland compositor's wl_shm takes no 32-bit pixels 0x00RRGGBB (XRGB8888)";
        close_wayland_buffers();
        return false;
    }
    buffer_scale = scale < 1 ? 1 : scale;
    if (buffer_scale > 1) wl_surface_set_buffer_scale(target, buffer_scale);
    return true;
}

std::uint32_t* make_wayland_buffer(int width, int height, std::string* why_not) {
    if (connection == nullptr || buffer_count == most_wayland_buffers) {
        *why_not = "no more Wayland buffers can be had";
        return nullptr;
    }
    ShmBuffer& made = buffers[buffer_count];
    made.bytes = std::size_t{static_cast<unsigned>(width)} * static_cast<unsigned>(height) * 4;
    const int memory = memfd_create("ombrastel-frame", MFD_CLOEXEC);
    if (memory < 0 || ftruncate(memory, static_cast<off_t>(made.bytes)) != 0) {
        *why_not = "no shared memory of " + std::to_string(made.bytes) + " bytes could be had for a Wayland buffer (" +
                   std::strerror(errno) + ")";
        if (memory >= 0) close(memory);
        made = ShmBuffer{};
        return nullptr;
    }
    void* mapped = mmap(nullptr, made.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    if (mapped == MAP_FAILED) {
        *why_not = "the shared memory of a Wayland buffer, " + std::to_string(made.bytes) +
                   " bytes, could not be mapped (" + std::strerror(errno) + ")";
        close(memory);
        made = ShmBuffer{};
        return nullptr;
    }
    made.pixels = static_cast<std::uint32_t*>(mapped);
    // The compositor maps the memory from the pool's descriptor; this one is
    // no longer needed once the pool is made.
    wl_shm_pool* pool = wl_shm_create_pool(shm, memory, static_cast<std::int32_t>(made.bytes));
    made.buffer = wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(memory);
    wl_buffer_add_listener(made.buffer, &buffer_listener, &made);
    ++buffer_count;
    std::string failure;
    if (!take_events(&failure) || !(failure = connection_failure()).empty()) {
        *why_not = "the Wayland compositor did not take a buffer: " + failure;
        --buffer_count;
        destroy(made);
        return nullptr;
    }
    return made.pixels;
}

bool wayland_buffer_free(const std::uint32_t* pixels) {
    std::string ignored;
    if (connection != nullptr) take_events(&ignored);
    const ShmBuffer* buffer = buffer_of(pixels);
    return buffer != nullptr && !buffer->busy;
}

bool put_wayland_buffer(const std::uint32_t* pixels, int x, int y, int width, int height, std::string* why_not) {
    ShmBuffer* buffer = buffer_of(pixels);
    if (buffer == nullptr) {
        *why_not = "the frame is not a Wayland buffer";
        return false;
    }
    if (const std::string failure = connection_failure(); !failure.empty()) {
        *why_not = failure;
        return false;
    }
    wl_surface_attach(target, buffer->buffer, 0, 0);
    if (width > 0 && height > 0) {
        // In buffer pixels where the compositor takes them, else in the
        // surface's units, a rectangle that holds the same pixels.
        if (wl_proxy_get_version(reinterpret_cast<wl_proxy*>(target)) >= WL_SURFACE_DAMAGE_BUFFER_SINCE_VERSION) {
            wl_surface_damage_buffer(target, x, y, width, height);
        } else {
            const int s = buffer_scale;
            wl_surface_damage(target, x / s, y / s, (x + width + s - 1) / s - x / s, (y + height + s - 1) / s - y / s);
        }
    }
    wl_surface_commit(target);
    buffer->busy = true;
    // Sent now, so that the compositor takes the frame while the next one is
    // drawn.
    return take_events(why_not);
}

ReleaseWait await_wayland_release(const std::uint32_t* const* pixels, int count, int timeout_ms, int* which,
                                  std::string* why_not) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!take_events(why_not)) return ReleaseWait::failed;
        for (int i = 0; i < count; ++i) {
            const ShmBuffer* buffer = buffer_of(pixels[i]);
            if (buffer != nullptr && !buffer->busy) {
                *which = i;
                return ReleaseWait::released;
            }
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            *why_not = "the Wayland compositor released no buffer within " + std::to_string(timeout_ms) + " ms";
            return ReleaseWait::timed_out;
        }
        if (!wait_for_events(static_cast<int>(left), why_not)) return ReleaseWait::failed;
    }
}

void give_back_wayland_buffers() {
    if (connection == nullptr) return;
    // Destroying a buffer the compositor still reads is allowed: it keeps
    // its own mapping of the memory until it is done. A short wait lets it
    // finish first, as a well-behaved client does.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    std::string ignored;
    for (;;) {
        bool busy = false;
        for (int i = 0; i < buffer_count; ++i) busy = busy || buffers[i].busy;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (!busy || left <= 0 || !connection_failure().empty() || !wait_for_events(static_cast<int>(left), &ignored))
            break;
    }
    for (int i = 0; i < buffer_count; ++i) destroy(buffers[i]);
    buffer_count = 0;
    wl_display_flush(connection);
}

void close_wayland_buffers() {
    give_back_wayland_buffers();
    if (shm != nullptr) wl_shm_destroy(shm);
    if (registry != nullptr) wl_registry_destroy(registry);
    if (display_on_queue != nullptr) wl_proxy_wrapper_destroy(display_on_queue);
    if (queue != nullptr) wl_event_queue_destroy(queue);
    shm = nullptr;
    registry = nullptr;
    display_on_queue = nullptr;
    queue = nullptr;
    takes_xrgb = false;
    connection = nullptr;
    target = nullptr;
}
