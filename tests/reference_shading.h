// A plain scalar version of both rasterizing passes, written separately from
// the four-lane code and sharing nothing with it but the processor's
// reciprocal square root estimate (with the x86 arithmetic; with ieee, the
// scalar 1 / sqrt(s)). One walk serves both passes here, so
// agreement with it shows that the two real passes agree with each other.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "scene/estimates.h"

namespace reference {

struct Corner {
    double x_screen, y_screen;  // unrounded screen position
    float depth;
    float normal[4];
    float u, v;
};

// Called for each pixel a face covers, with the interpolated normal and
// attribute vector (u, v, depth, spare) there.
using PixelVisitor = std::function<void(int x, int y, const float normal[4], const float attributes[4])>;

struct Band {
    int first_row, end_row, first_column, end_column;
};

// The corner rounding both passes use: to nearest, ties to even, saturated
// to 16 bits.
int round_coordinate(double value);

// Walks one face: sorted corners, 22.10 edges, rows from the top corner's row
// to the row above the bottom corner, columns from the left end to the one
// before the right end, clipped to the band and the frame.
void walk_face(const Corner corners[3], const Band& band, int frame_width, int frame_height, const PixelVisitor& visit);

// The shading model of one pixel.
std::uint32_t shade_pixel(const float normal[4], const float attributes[4], float stored_depth, std::uint32_t pixel,
                          const std::uint32_t* texels, Estimates estimates = default_estimates);

// The corners of every face of the current frame (screen_vertices,
// rotated_normals, corner texture coordinates).
std::vector<std::array<Corner, 3>> frame_faces();

// Depth pre-pass and shading pass of the current frame's geometry, from
// scratch, into the returned buffers.
std::vector<float> depth_frame();
std::vector<std::uint32_t> shade_frame(const std::vector<float>& depth, Estimates estimates = default_estimates);

}  // namespace reference
