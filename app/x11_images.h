// Frames shown through MIT-SHM images: the X server reads the pixels
// straight from memory this process shares with it, so a frame drawn into an
// image reaches the window with no copy on the client and none into a
// request. The images are put on a connection of this layer's own, whose only
// events are the completions of its puts: the event loop of whoever owns the
// window, on its own connection, never takes them. An image may be drawn
// into again only once the completion of its last put has come.
//
// No X11 header here: the window layer and the tests see only this.
// Threads: the process's first thread only.
#pragma once

#include <cstdint>
#include <string>

// Opens the presenting connection to the display `display_name` for
// `window`, a window of that display; checks that the server has MIT-SHM and
// that the window takes pixels laid out as the frames' are (32-bit words
// 0x00RRGGBB, no padding). False, with one line in `why_not` and nothing
// left open, when the frames cannot be shown so. From here on an X error on
// this connection is noted, not fatal, and a lost connection to any display
// ends the process with a reason.
bool open_shared_images(const char* display_name, unsigned long window, std::string* why_not);

// From here on, a lost connection to any X display ends the process at
// once with a reason, however the frames are shown: Xlib's own handler
// would call exit() while the render workers draw. For the connection the
// window layer opened, right after it opens.
void end_process_when_display_lost();

// The most images at once.
inline constexpr int most_shared_images = 2;

// A new image's pixels: zero-filled, page-aligned, width x height words,
// attached by the server, or nullptr with one line in `why_not` when no
// shared memory can be had or the server cannot attach it (a display on
// another machine, or one reached over the network). The segment is marked
// for removal as soon as it is mapped: the kernel frees it when the process
// and the server have let go of it, however either ends.
std::uint32_t* make_shared_image(int width, int height, std::string* why_not);

// True for the pixels of an image from make_shared_image.
bool is_shared_image(const std::uint32_t* pixels);

// Has the server copy the rectangle of the image from column x and row y,
// width by height pixels, to the same place in the window, and returns
// without waiting; nothing, and no completion to wait for, when the
// rectangle is empty. False, with one line in `why_not`, once an X error
// came on the connection (a window gone, say).
bool put_shared_image(const std::uint32_t* pixels, int x, int y, int width, int height, std::string* why_not);

// True once an X error on the connection said that the window is gone
// (destroyed by another client): nothing can be shown in it any more.
bool shared_images_window_gone();

enum class ImageWait { drawable, failed, window_gone, timed_out };

// Waits until the server is done with the image's last put: `drawable` at
// once when it has none pending; `failed` (with `why_not`) after an X error
// on the connection, which sends no completion, and `window_gone` when that
// error said the window is gone; `timed_out` after `timeout_ms` without the
// completion, and from then on at once: a server that answers nothing is
// asked nothing more that waits for its answer.
ImageWait await_shared_image(const std::uint32_t* pixels, int timeout_ms, std::string* why_not);

// Waits for the images' pending puts (a second at most each), then lets the
// server go of them and unmaps them; the connection stays open.
void give_back_shared_images();

// Waits for every pending put, then lets the server go of the images and
// closes the connection. With `keep_pixels` the images' pixels stay readable
// and writable, as ordinary memory, until unmap_kept_images; without, they
// are unmapped, and the memory goes back to the system. A server that
// stopped answering is asked nothing: the process is about to end, and the
// kernel lets go for it.
void close_shared_images(bool keep_pixels);

// Unmaps the pixels close_shared_images kept.
void unmap_kept_images();
