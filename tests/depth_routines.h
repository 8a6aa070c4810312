// The depth pre-pass on one face or one row, as the tests and the fuzz
// target drive it: the engines only ever draw whole frames of faces.
#pragma once

#include <cstdint>

#include "pipeline/depth_pass.h"

// One face, given as three screen points and their depths in the face's
// corner order, into target.depth.
void depth_triangle(const ScreenPoint corners[3], const float depths[3], const FrameTarget& target);

// One row: the pixels from the left end up to, not including, the right end,
// clipped to the frame. Ends in either order.
void depth_span(std::int32_t y, std::int32_t x_a, float z_a, std::int32_t x_b, float z_b, const FrameTarget& target);
