// The frame pipeline: one call of render_frame per pass of the main loop
// renders one whole frame into frame_buffer. Main thread only, after start-up.
#pragma once

#include <cstdint>

#include "scene/scene_data.h"

// Renders the frame of the current frame_counter: the four stages below in
// order. When it returns the frame buffer holds the finished picture and no
// render worker is running.
void render_frame();

// The stages of render_frame, callable one by one so that they can be timed.
void clear_buffers();          // frame buffer to black, depth buffer to the far depth
void transform_and_project();  // rotation, zoom step, projection
void depth_pass();             // every face into the depth buffer
// The shading pass lives in raster/shading.h: shading_pass().

// After a frame: the next frame number, kept to 0..511.
void advance_frame_counter();

// Stores `value` into `count` 32-bit elements from `destination` on.
// count is a multiple of 4 and destination is 16-byte aligned; nothing past
// the count is touched.
void fill_dwords(std::uint32_t value, std::uint32_t count, std::uint32_t* destination);

// Fills rotation_coeffs for the frame number: the base angle a and 2a in
// double precision, their cosines and sines rounded to floats.
void compute_rotation_coeffs(std::int32_t frame_number);

// The frame's two-angle transform (a rotation by 2a in the y-z plane, then a
// rotation with a mirror by a in the x-z plane) of `count` points.
// rotation_coeffs must hold this frame's values.
void rotate_points(int count, const Vec3* source, Vec3* destination);

// One step of the zoom: grows or shrinks scale and moves zoom_counter.
void zoom_step();

// Scales screen_vertices by scale and moves x and y to the frame centre.
void project_vertices();

// A screen position as both passes see it: x and y rounded to the nearest
// integer, ties to even, saturated to -32768..32767; x in the high half.
ScreenPoint make_screen_point(float x, float y);
inline std::int16_t screen_point_x(ScreenPoint p) { return static_cast<std::int16_t>(p >> 16); }
inline std::int16_t screen_point_y(ScreenPoint p) { return static_cast<std::int16_t>(p & 0xFFFFu); }
