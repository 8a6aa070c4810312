// The depth pre-pass: every face drawn into the depth buffer alone, so that
// each pixel holds the smallest depth of the faces covering it.
//
// These are the reference coverage and depth rules; the shading pass follows
// them step for step. A face covers the rows from its top corner's row to the
// row above its bottom corner, and on each row the columns from the left edge
// up to, not including, the right edge. Edge columns are stepped in 22.10 fixed
// point; depths in single precision, one addition per row and per pixel.
#pragma once

#include <cstdint>

#include "scene/scene_data.h"

// A face's corners as the pre-pass takes them from screen_vertices: the
// rounded screen points and the unrounded depths, in the face's corner order.
void depth_face_corners(int face, ScreenPoint corners[3], float depths[3]);

// Main thread, after the depth buffer is cleared and before the shading pass.
// Writes only `depth` (frame_width x frame_height).
void depth_triangle(const ScreenPoint corners[3], const float depths[3], float* depth);

// One row: the pixels from the left end up to, not including, the right end,
// clipped to the frame. Ends in either order. A depth replaces the stored one
// only when strictly smaller.
void depth_span(std::int16_t y, std::int32_t x_a, float z_a, std::int32_t x_b, float z_b,
                float* depth);

// Fixed-point budget: a column is a 16-bit integer times 1024, so positions
// and the whole range of a step fit in 32 bits with room to spare.
inline constexpr int edge_fraction_bits = 10;
static_assert((65535LL << edge_fraction_bits) < (1LL << 31),
              "a corner-to-corner difference in 22.10 fits a signed 32-bit integer");
