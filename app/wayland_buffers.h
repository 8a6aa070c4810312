// Frames shown through Wayland wl_shm buffers: the compositor reads the
// pixels straight from memory this process shares with it (a memfd of the
// frame's size per buffer), attached to the window's own wl_surface, damaged
// only where the frame changed, and committed. A buffer may be drawn into
// again only once the compositor has released it. Its events (the
// releases) come on an event queue of this layer's own, so that the pump of
// whoever owns the window (SDL) never takes them.
//
// No Wayland header here: the window layer sees only this.
// Threads: the process's first thread only.
#pragma once

#include <cstdint>
#include <string>

// What the compositor that WAYLAND_DISPLAY names offers, asked on a
// connection of its own before SDL is: SDL 2.26's Wayland driver crashes in
// SDL_Init under a compositor without an input seat (weston's headless
// backend), and would wait for ever on one that does not answer.
enum class CompositorOffer { seat, no_seat, no_answer, no_compositor };
CompositorOffer probe_wayland_compositor(int timeout_ms);

// The output at the top-left corner of the compositor's space, where the
// window goes: its size in device pixels and its scale (device pixels to a
// surface unit), read on a connection of its own to the compositor that
// WAYLAND_DISPLAY names. False when none can be read.
bool wayland_output_at_origin(int* pixel_width, int* pixel_height, int* scale);

// Opens the buffers' event queue on the window's connection `display` (a
// wl_display) for `surface` (the window's wl_surface), whose buffers are
// `scale` device pixels to a surface unit. False, with one line in
// `why_not` and nothing left open, when the compositor has no wl_shm or
// does not take 32-bit pixels 0x00RRGGBB.
bool open_wayland_buffers(void* display, void* surface, int scale, std::string* why_not);

// The most buffers at once: enough that the compositor, holding one or two
// while it composes, never leaves the engine without one to draw into.
inline constexpr int most_wayland_buffers = 4;

// A new buffer's pixels: zero-filled, page-aligned, width x height words,
// or nullptr with one line in `why_not`.
std::uint32_t* make_wayland_buffer(int width, int height, std::string* why_not);

// True when the buffer's pixels may be drawn into: never attached, or
// released by the compositor. Takes the releases that have come.
bool wayland_buffer_free(const std::uint32_t* pixels);

// Attaches the buffer to the surface, damages the rectangle from column x
// and row y, width by height pixels, and
// commits, without waiting. False, with one line in `why_not`, once the
// connection failed (the compositor gone, or a request it refused).
bool put_wayland_buffer(const std::uint32_t* pixels, int x, int y, int width, int height, std::string* why_not);

enum class ReleaseWait { released, failed, timed_out };

// Waits until one of `count` buffers is free: `released` (with its index
// in `which`) at once when one is; `failed` (with `why_not`) when the
// connection failed; `timed_out` after `timeout_ms` without a release.
ReleaseWait await_wayland_release(const std::uint32_t* const* pixels, int count, int timeout_ms, int* which,
                                  std::string* why_not);

// Waits for the buffers' releases (a second at most in all), then destroys
// and unmaps them; the queue stays open.
void give_back_wayland_buffers();

// Gives back the buffers and closes the queue.
void close_wayland_buffers();
