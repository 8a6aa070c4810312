// The one start-up path of the system, apart from the window: the frame size,
// the two pixel buffers, the scale, texture decoding and model preparation,
// in that order. The window shells, the tools and the tests all start here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct FrameSize {
    std::uint16_t width;
    std::uint16_t height;
};

// Largest frame side: every row and column must fit a signed 16-bit value.
inline constexpr int largest_frame_side = 32766;

// The frame for a screen: each side less 10 pixels, rounded down to an even
// number. False when a side would be under 2 or over largest_frame_side.
bool frame_size_for_screen(int screen_width, int screen_height, FrameSize* size);

// True for an even width and height from 2 to largest_frame_side.
bool frame_size_is_valid(int width, int height);

// Obtains one zero-filled, page-aligned pixel buffer of `bytes`, or nullptr.
using BufferSource = void* (*)(std::size_t bytes);

// The portable source: page-aligned heap memory, zero-filled.
void* obtain_heap_buffer(std::size_t bytes);
// Gives back a block obtain_heap_buffer handed out; nothing for nullptr.
void give_back_heap_buffer(void* buffer);

// Starts the system for a frame size: finishes a frame the engine is drawing
// (its buffers are given back), restores the initial scene data, sets
// frame_width, frame_height and screen_centre, obtains frame_buffer then
// depth_buffer from `source`, sets scale to frame_height / 4, decodes the
// texture and prepares the model (with model_estimates(), the arithmetic the
// engine last chose). False, with nothing obtained, when the size
// is invalid; false when a buffer cannot be had. On false, `failure_reason`
// (when given) receives one line for the user saying which, with the frame's
// size and, for the buffers, the bytes each one needs.
// Buffers from obtain_heap_buffer are given back when the system is started
// again (tests and tools restart it); others live until process exit.
bool start_system(FrameSize size, BufferSource source = obtain_heap_buffer, std::string* failure_reason = nullptr);

// The same for a window, whose frame buffers are its presenter's
// (app/presenter.h): only the depth buffer is obtained, from the heap, and
// frame_buffer stays nullptr until the frame step points it, with
// draw_into, at a buffer the presenter handed out. Nothing of the
// presenter's is ever freed here.
bool start_system_for_window(FrameSize size, std::string* failure_reason);

// The frame buffer the engine draws its next frame into: a buffer of the
// frame's size that the caller owns, with no frame being drawn. The frame
// step alone calls it.
void draw_into(std::uint32_t* pixels);

// The start-up message the program shows when start_system fails.
inline constexpr const char* startup_failed_text = "Startup failed.";
