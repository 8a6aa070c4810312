#include "tools/pixel_shades.h"

#include <algorithm>
#include <utility>

#include "pipeline/depth_pass.h"
#include "pipeline/frame.h"
#include "raster/shading.h"  // ClipBand
#include "scene/scene_data.h"

namespace {

struct Corner {
    std::int32_t x;
    std::int32_t y;
};

std::int32_t run_length(std::int32_t row, std::int32_t column_a, std::int32_t column_b,
                        const ClipBand& band) {
    if (row < band.first_row || row >= band.end_row || column_a == column_b) return 0;
    const std::int32_t left = std::max(std::min(column_a, column_b), band.first_column);
    const std::int32_t right = std::min(std::max(column_a, column_b), band.end_column);
    return right > left ? right - left : 0;
}

std::int32_t x_step(const Corner& upper, const Corner& lower) {
    const std::int32_t rows = lower.y - upper.y;
    return rows == 0 ? 0 : (lower.x - upper.x) * (1 << edge_fraction_bits) / rows;
}

std::uint64_t face_shades(Corner top, Corner middle, Corner bottom, const ClipBand& frame) {
    // Equal rows are never exchanged, so corners on one row keep face order.
    while (true) {
        if (top.y > middle.y) std::swap(top, middle);
        if (middle.y <= bottom.y) break;
        std::swap(middle, bottom);
    }
    const std::int32_t long_step = x_step(top, bottom);
    std::int32_t long_x = top.x * (1 << edge_fraction_bits);
    std::int32_t short_x = top.x * (1 << edge_fraction_bits);
    std::uint64_t shades = 0;
    const std::int32_t upper_step = x_step(top, middle);
    for (std::int32_t row = top.y; row < middle.y; ++row) {
        shades += run_length(row, long_x >> edge_fraction_bits, short_x >> edge_fraction_bits, frame);
        long_x += long_step;
        short_x += upper_step;
    }
    if (middle.y >= bottom.y) return shades;
    short_x = middle.x * (1 << edge_fraction_bits);
    const std::int32_t lower_step = x_step(middle, bottom);
    for (std::int32_t row = middle.y; row < bottom.y; ++row) {
        shades += run_length(row, long_x >> edge_fraction_bits, short_x >> edge_fraction_bits, frame);
        long_x += long_step;
        short_x += lower_step;
    }
    return shades;
}

}  // namespace

std::uint64_t count_pixel_shades() {
    // The two workers' bands split the frame's rows between them, so together
    // they shade every covered pixel of the frame once.
    const ClipBand whole_frame{0, frame_height, 0, frame_width};
    std::uint64_t shades = 0;
    for (int face = 0; face < face_count; ++face) {
        Corner corners[3];
        for (int n = 0; n < 3; ++n) {
            const Vec3& vertex = screen_vertices[model_faces[face].corner[n]];
            const ScreenPoint point = make_screen_point(vertex.x, vertex.y);
            corners[n] = {screen_point_x(point), screen_point_y(point)};
        }
        shades += face_shades(corners[0], corners[1], corners[2], whole_frame);
    }
    return shades;
}
