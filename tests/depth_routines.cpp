#include "depth_routines.h"

void depth_triangle(const ScreenPoint corners[3], const float depths[3], const FrameTarget& target) {
    FrameFace face{};
    for (int n = 0; n < 3; ++n) {
        face.corner[n].position = corners[n];
        face.corner[n].depth = depths[n];
    }
    depth_pass(&face, 1, target, whole_frame_band(target));
}

void depth_span(std::int32_t y, std::int32_t x_a, float z_a, std::int32_t x_b, float z_b, const FrameTarget& target) {
    const EdgeState<DepthValue> a{x_a * (1 << edge_fraction_bits), {z_a}};
    const EdgeState<DepthValue> b{x_b * (1 << edge_fraction_bits), {z_b}};
    Span<DepthValue> span;
    if (set_up_span(y, a, b, whole_frame_band(target), &span)) store_nearer_depths(span, target.depth, target.width);
}
