#include <utility>

#include <pmmintrin.h>

#include "pipeline/depth_pass.h"
#include "pipeline/frame.h"
#include "raster/shading.h"

namespace {

// One face corner in the walk's terms.
struct WalkCorner {
    std::int32_t x, y;
    __m128 normal;
    __m128 attributes;  // u, v, depth, spare
};

// An edge where it meets the current row, or its change per row.
struct EdgeState {
    std::int32_t x;  // 22.10 fixed point
    __m128 normal;
    __m128 attributes;
};

EdgeState edge_start(const WalkCorner& c) {
    return {c.x << edge_fraction_bits, c.normal, c.attributes};
}

EdgeState edge_step(const WalkCorner& upper, const WalkCorner& lower) {
    const std::int32_t dy = lower.y - upper.y;
    if (dy == 0) return {0, _mm_setzero_ps(), _mm_setzero_ps()};
    const __m128 rows = _mm_set1_ps(static_cast<float>(dy));
    return {((lower.x - upper.x) << edge_fraction_bits) / dy,
            _mm_div_ps(_mm_sub_ps(lower.normal, upper.normal), rows),
            _mm_div_ps(_mm_sub_ps(lower.attributes, upper.attributes), rows)};
}

void advance(EdgeState& edge, const EdgeState& step) {
    edge.x += step.x;
    edge.normal = _mm_add_ps(edge.normal, step.normal);
    edge.attributes = _mm_add_ps(edge.attributes, step.attributes);
}

SpanEnd span_end(const EdgeState& edge) {
    SpanEnd end;
    end.column = edge.x >> edge_fraction_bits;  // floor(x / 1024)
    _mm_store_ps(end.normal.lane, edge.normal);
    _mm_store_ps(end.attributes.lane, edge.attributes);
    return end;
}

// Whether the face lies wholly outside the band: then no row or column of it
// can reach a pixel there, so skipping it changes nothing but the time.
bool outside_band(const WalkCorner& top, const WalkCorner& middle, const WalkCorner& bottom,
                  const ClipBand& band) {
    if (bottom.y <= band.first_row || top.y >= band.end_row) return true;
    if (top.x <= band.first_column && middle.x <= band.first_column && bottom.x <= band.first_column)
        return true;
    return top.x >= band.end_column && middle.x >= band.end_column && bottom.x >= band.end_column;
}

}  // namespace

void shade_triangle(const ShadeCorner corners[3], const ShadeTarget& target) {
    WalkCorner c[3];
    for (int n = 0; n < 3; ++n) {
        const ShadeCorner& s = corners[n];
        c[n] = {screen_point_x(s.position), screen_point_y(s.position), _mm_load_ps(s.normal.lane),
                _mm_setr_ps(static_cast<float>(s.u), static_cast<float>(s.v), s.depth, 0.0f)};
    }
    // The same stable sort as the depth pre-pass: corners on one row keep
    // their face order.
    for (;;) {
        if (c[0].y > c[1].y) std::swap(c[0], c[1]);
        if (c[1].y <= c[2].y) break;
        std::swap(c[1], c[2]);
    }
    const WalkCorner& top = c[0];
    const WalkCorner& middle = c[1];
    const WalkCorner& bottom = c[2];
    if (outside_band(top, middle, bottom, target.band)) return;

    const EdgeState step_top_middle = edge_step(top, middle);
    const EdgeState step_top_bottom = edge_step(top, bottom);
    const EdgeState step_middle_bottom = edge_step(middle, bottom);

    EdgeState long_edge = edge_start(top);
    EdgeState short_edge = long_edge;
    // A row gets the edges as they stand before its step, so the top row
    // sees the top corner's own values at both ends.
    auto walk_rows = [&](std::int32_t first_row, std::int32_t end_row, const EdgeState& short_step) {
        for (std::int32_t y = first_row; y < end_row; ++y) {
            shade_span(y, span_end(long_edge), span_end(short_edge), target);
            advance(long_edge, step_top_bottom);
            advance(short_edge, short_step);
        }
    };
    walk_rows(top.y, middle.y, step_top_middle);
    if (middle.y >= bottom.y) return;
    short_edge = edge_start(middle);
    walk_rows(middle.y, bottom.y, step_middle_bottom);
}
