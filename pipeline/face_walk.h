// The edge-and-span walk of a face, written once for everything that walks
// faces: the depth pre-pass, the shading pass and the bench's count of pixel
// shades. They differ only in what they carry along the edges and what they
// do per pixel, so they cover the same pixels and, in the values they share,
// compute the same numbers, by construction.
//
// The rules: the corners are sorted by row, stably, so corners on one row
// keep their face order. A face covers the rows from its top corner's row to
// the row above its bottom corner; on each row, the columns from the left
// edge up to, not including, the right edge. Edge columns are stepped in
// 22.10 fixed point with a step truncated toward zero; the values carried
// along (depth, normal, texture position) in single precision, one addition
// per row and per pixel, never recomputed from the corners except where the
// short edge starts afresh at the middle corner.
//
// A values type V carried along the edges provides:
//   static V at_corner(const ShadeCorner&)       the corner's own values
//   static V zero()                              the step of a level edge
//   static V change(const V& from, const V& to, float steps)
//                                                (to - from) / steps
//   void add(const V& step)                      this + step
//   void skip(const V& step, float steps)        this + steps * step
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

#include "pipeline/frame.h"

// Fixed-point budget: a column is a 16-bit integer times 1024, so positions
// and the whole range of a step fit in 32 bits with room to spare.
inline constexpr int edge_fraction_bits = 10;
static_assert((65535LL << edge_fraction_bits) < (1LL << 31),
              "a corner-to-corner difference in 22.10 fits a signed 32-bit integer");

// An edge where it meets the current row, or its change per row.
template <class V> struct EdgeState {
    std::int32_t x;  // 22.10 fixed point
    V values;
};

// One row's run of a face after clipping: `count` pixels from column `left`,
// the first with the values `at_left`, each next one with `step` added once
// more.
template <class V> struct Span {
    std::int32_t row;
    std::int32_t left;
    std::int32_t count;  // at least 1
    V at_left;
    V step;
};

// One face, walked row by row from its top corner's row down. The walk can
// stop at any row and go on later from there: a pass that owns only some
// rows steps past the others without drawing them, and every row it draws
// sees the values it would have seen in a walk of the whole face.
template <class V> class FaceWalk {
  public:
    explicit FaceWalk(const ShadeCorner corners[3]) {
        Corner c[3];
        for (int n = 0; n < 3; ++n)
            c[n] = {screen_point_x(corners[n].position), screen_point_y(corners[n].position), V::at_corner(corners[n])};
        for (;;) {
            if (c[0].y > c[1].y) std::swap(c[0], c[1]);
            if (c[1].y <= c[2].y) break;
            std::swap(c[1], c[2]);
        }
        for (int n = 0; n < 3; ++n) column_[n] = c[n].x;
        top_row_ = c[0].y;
        middle_row_ = c[1].y;
        bottom_row_ = c[2].y;
        step_long_ = edge_step(c[0], c[2]);
        step_upper_ = edge_step(c[0], c[1]);
        step_lower_ = edge_step(c[1], c[2]);
        middle_ = edge_start(c[1]);
        long_edge_ = edge_start(c[0]);
        short_edge_ = long_edge_;
        row_ = top_row_;
    }

    // Whether the face lies wholly outside the band: then no row or column
    // of it can reach a pixel there, because an edge never passes its lower
    // corner's column, so skipping it changes nothing but the time.
    bool misses(const ClipBand& band) const {
        if (bottom_row_ <= band.first_row || top_row_ >= band.end_row) return true;
        const auto [least, most] = std::minmax({column_[0], column_[1], column_[2]});
        return most <= band.first_column || least >= band.end_column;
    }

    // Hands each row from the one the walk stands at up to, not including,
    // `until` (and never past the face) to visit(row, long_edge, short_edge),
    // then steps both edges. A row gets the edges as they stand before its step, so the top
    // row sees the top corner's own values at both ends.
    template <class Visit> void walk_rows(std::int32_t until, Visit&& visit) {
        const std::int32_t end = std::min(until, bottom_row_);
        for (; row_ < end; ++row_) {
            // The short edge starts afresh at the middle corner; the long edge goes on.
            if (row_ == middle_row_) short_edge_ = middle_;
            visit(static_cast<std::int32_t>(row_), static_cast<const EdgeState<V>&>(long_edge_),
                  static_cast<const EdgeState<V>&>(short_edge_));
            advance(long_edge_, step_long_);
            advance(short_edge_, row_ < middle_row_ ? step_upper_ : step_lower_);
        }
    }

    // Steps past the rows before `row` without handing them anywhere.
    void skip_to(std::int32_t row) {
        walk_rows(row, [](std::int32_t, const EdgeState<V>&, const EdgeState<V>&) {});
    }

  private:
    struct Corner {
        std::int32_t x, y;
        V values;
    };

    static EdgeState<V> edge_start(const Corner& c) { return {c.x * (1 << edge_fraction_bits), c.values}; }

    static EdgeState<V> edge_step(const Corner& upper, const Corner& lower) {
        const std::int32_t rows = lower.y - upper.y;
        if (rows == 0) return {0, V::zero()};
        // Truncated toward zero, so an edge never overshoots its lower corner.
        return {(lower.x - upper.x) * (1 << edge_fraction_bits) / rows,
                V::change(upper.values, lower.values, static_cast<float>(rows))};
    }

    static void advance(EdgeState<V>& edge, const EdgeState<V>& step) {
        edge.x += step.x;
        edge.values.add(step.values);
    }

    std::int32_t column_[3];
    std::int32_t top_row_, middle_row_, bottom_row_;
    EdgeState<V> step_long_, step_upper_, step_lower_;
    EdgeState<V> middle_;
    EdgeState<V> long_edge_, short_edge_;
    std::int32_t row_;
};

// One row's run between two edges (either order), clipped to the band.
// False when nothing of it lies inside. The band's rows and columns must lie
// within the frame.
template <class V>
bool set_up_span(std::int32_t row, const EdgeState<V>& a, const EdgeState<V>& b, const ClipBand& band, Span<V>* span) {
    if (row < band.first_row || row >= band.end_row) return false;
    const std::int32_t column_a = a.x >> edge_fraction_bits;  // floor(x / 1024)
    const std::int32_t column_b = b.x >> edge_fraction_bits;
    if (column_a == column_b) return false;
    const bool a_is_left = column_a < column_b;
    const EdgeState<V>& left_end = a_is_left ? a : b;
    const EdgeState<V>& right_end = a_is_left ? b : a;
    std::int32_t left = std::min(column_a, column_b);
    std::int32_t right = std::max(column_a, column_b);
    if (left >= band.end_column || right <= band.first_column) return false;

    // The step comes from the unclipped ends, so a clipped run keeps the
    // values it would have had in full.
    span->step = V::change(left_end.values, right_end.values, static_cast<float>(right - left));
    span->at_left = left_end.values;
    if (left < band.first_column) {
        span->at_left.skip(span->step, static_cast<float>(band.first_column - left));
        left = band.first_column;
    }
    if (right > band.end_column) right = band.end_column;
    span->row = row;
    span->left = left;
    span->count = right - left;
    return true;
}

// Hands each pixel of the span, left to right, to pixel(k, values) with k
// from 0. Stepped, not recomputed: the k-th pixel sees the step added k
// times, each sum rounded.
template <class V, class Pixel> void walk_span(const Span<V>& span, Pixel&& pixel) {
    V values = span.at_left;
    for (std::int32_t k = 0; k < span.count; ++k) {
        pixel(k, static_cast<const V&>(values));
        values.add(span.step);
    }
}

// Walks the whole face and hands every run inside the band to visit(span).
template <class V, class Visit> void walk_face(const ShadeCorner corners[3], const ClipBand& band, Visit&& visit) {
    FaceWalk<V> walk(corners);
    if (walk.misses(band)) return;
    Span<V> span;
    walk.walk_rows(band.end_row, [&](std::int32_t row, const EdgeState<V>& a, const EdgeState<V>& b) {
        if (set_up_span(row, a, b, band, &span)) visit(static_cast<const Span<V>&>(span));
    });
}
