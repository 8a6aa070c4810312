#include "pipeline/depth_pass.h"

#include <utility>

#include "pipeline/frame.h"

namespace {

struct DepthCorner {
    std::int32_t x, y;
    float z;
};

struct DepthEdge {
    std::int32_t x;  // 22.10 fixed point
    float z;
};

struct DepthStep {
    std::int32_t x;  // 22.10 fixed point per row
    float z;         // per row
};

DepthStep edge_step(const DepthCorner& upper, const DepthCorner& lower) {
    const std::int32_t dy = lower.y - upper.y;
    if (dy == 0) return {0, 0.0f};
    // Truncated toward zero, so an edge never overshoots its lower corner.
    return {((lower.x - upper.x) << edge_fraction_bits) / dy,
            (lower.z - upper.z) / static_cast<float>(dy)};
}

}  // namespace

void depth_face_corners(int face, ScreenPoint corners[3], float depths[3]) {
    for (int n = 0; n < 3; ++n) {
        const Vec3& v = screen_vertices[model_faces[face].corner[n]];
        corners[n] = make_screen_point(v.x, v.y);
        depths[n] = v.z;
    }
}

void depth_pass() {
    for (int f = 0; f < face_count; ++f) {
        ScreenPoint corners[3];
        float depths[3];
        depth_face_corners(f, corners, depths);
        depth_triangle(corners, depths, depth_buffer);
    }
}

void depth_triangle(const ScreenPoint corners[3], const float depths[3], float* depth) {
    DepthCorner c[3];
    for (int n = 0; n < 3; ++n)
        c[n] = {screen_point_x(corners[n]), screen_point_y(corners[n]), depths[n]};

    // A stable sort by row: corners on the same row keep their face order,
    // which decides which edge is the long one.
    for (;;) {
        if (c[0].y > c[1].y) std::swap(c[0], c[1]);
        if (c[1].y <= c[2].y) break;
        std::swap(c[1], c[2]);
    }
    const DepthCorner& a = c[0];
    const DepthCorner& b = c[1];
    const DepthCorner& bottom = c[2];

    if ((a.x < 0 && b.x < 0 && bottom.x < 0) || (a.y < 0 && b.y < 0 && bottom.y < 0)) return;

    const DepthStep step_ab = edge_step(a, b);
    const DepthStep step_ac = edge_step(a, bottom);
    const DepthStep step_bc = edge_step(b, bottom);

    DepthEdge long_edge{a.x << edge_fraction_bits, a.z};
    DepthEdge short_edge = long_edge;
    // The top row is drawn and the bottom row never: two faces that meet on
    // a row, at a shared corner or a level edge, do not both cover it.
    auto walk_rows = [&](std::int32_t first_row, std::int32_t end_row, const DepthStep& short_step) {
        for (std::int32_t y = first_row; y < end_row; ++y) {
            depth_span(static_cast<std::int16_t>(y), long_edge.x >> edge_fraction_bits, long_edge.z,
                       short_edge.x >> edge_fraction_bits, short_edge.z, depth);
            long_edge.x += step_ac.x;
            long_edge.z = long_edge.z + step_ac.z;
            short_edge.x += short_step.x;
            short_edge.z = short_edge.z + short_step.z;
        }
    };
    walk_rows(a.y, b.y, step_ab);
    // The short edge starts afresh at the middle corner; the long edge goes on.
    short_edge = {b.x << edge_fraction_bits, b.z};
    walk_rows(b.y, bottom.y, step_bc);
}

void depth_span(std::int16_t y, std::int32_t x_a, float z_a, std::int32_t x_b, float z_b,
                float* depth) {
    if (y < 0 || y >= frame_height) return;
    if (x_a == x_b) return;
    std::int32_t x_left = x_a, x_right = x_b;
    float z_left = z_a, z_right = z_b;
    if (x_left > x_right) {
        std::swap(x_left, x_right);
        std::swap(z_left, z_right);
    }
    if (x_left >= frame_width || x_right <= 0) return;

    // The step comes from the unclipped ends, so a clipped run keeps the
    // depths it would have had in full.
    const float dz = (z_right - z_left) / static_cast<float>(x_right - x_left);
    if (x_left < 0) {
        z_left = z_left + static_cast<float>(-x_left) * dz;
        x_left = 0;
    }
    if (x_right > frame_width) x_right = frame_width;

    float* element = depth + static_cast<std::size_t>(y) * frame_width + x_left;
    float z = z_left;
    for (std::int32_t x = x_left; x < x_right; ++x, ++element) {
        // Strictly nearer only: of two equal depths the first face keeps the
        // pixel, and a NaN never enters the buffer.
        if (z < *element) *element = z;
        z = z + dz;
    }
}
