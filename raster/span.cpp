#include <utility>

#include "raster/shade_pixel.h"
#include "raster/shading.h"

void shade_span(std::int32_t row, const SpanEnd& end_a, const SpanEnd& end_b,
                const ShadeTarget& target) {
    const ClipBand& band = target.band;
    if (row < 0 || row >= frame_height) return;
    if (row < band.first_row || row >= band.end_row) return;
    if (end_a.column == end_b.column) return;

    const bool a_is_left = end_a.column < end_b.column;
    const SpanEnd& left_end = a_is_left ? end_a : end_b;
    const SpanEnd& right_end = a_is_left ? end_b : end_a;
    std::int32_t left = left_end.column;
    std::int32_t right = right_end.column;
    if (left >= band.end_column || right <= band.first_column) return;

    // Steps from the unclipped ends, by a true division: the depth lane must
    // go through exactly the arithmetic of the depth pre-pass, or the
    // front-most face would miss its own depth.
    const __m128 width = _mm_set1_ps(static_cast<float>(right - left));
    __m128 normal = _mm_load_ps(left_end.normal.lane);
    __m128 attributes = _mm_load_ps(left_end.attributes.lane);
    const __m128 normal_step = _mm_div_ps(_mm_sub_ps(_mm_load_ps(right_end.normal.lane), normal), width);
    const __m128 attribute_step =
        _mm_div_ps(_mm_sub_ps(_mm_load_ps(right_end.attributes.lane), attributes), width);

    if (left < band.first_column) {
        const __m128 skipped = _mm_set1_ps(static_cast<float>(band.first_column - left));
        normal = _mm_add_ps(normal, _mm_mul_ps(skipped, normal_step));
        attributes = _mm_add_ps(attributes, _mm_mul_ps(skipped, attribute_step));
        left = band.first_column;
    }
    if (right >= band.end_column) right = band.end_column;

    const std::size_t first = static_cast<std::size_t>(row) * target.row_pitch + left;
    std::uint32_t* pixel = target.frame + first;
    const float* stored_depth = target.depth + first;
    // Stepped, not recomputed: the k-th pixel sees the step added k times,
    // each sum rounded, exactly as the pre-pass steps its depths.
    for (std::int32_t count = right - left; count > 0; --count) {
        shade_pixel(normal, attributes, *stored_depth, pixel, target.texels);
        ++pixel;
        ++stored_depth;
        normal = _mm_add_ps(normal, normal_step);
        attributes = _mm_add_ps(attributes, attribute_step);
    }
}
