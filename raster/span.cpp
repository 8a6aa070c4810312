#include "raster/shade_pixel.h"
#include "raster/shading.h"

namespace {

// The band's rows, kept inside the frame.
ClipBand band_in_frame(const ShadeTarget& target) {
    ClipBand band = target.band;
    band.first_row = std::max(band.first_row, 0);
    band.end_row = std::min(band.end_row, target.frame_rows);
    return band;
}

template <Estimates E> void shade_run_with(const Span<ShadeValue>& span, const ShadeTarget& target) {
    const std::size_t first = static_cast<std::size_t>(span.row) * target.row_pitch + span.left;
    std::uint32_t* pixel = target.frame + first;
    const float* stored_depth = target.depth + first;
    walk_span(span, [&](std::int32_t k, const ShadeValue& value) {
        shade_pixel<E>(value.normal, value.attributes, stored_depth[k], pixel + k, target.texels);
    });
}

void shade_run(const Span<ShadeValue>& span, const ShadeTarget& target) {
#if OMBRASTEL_X86
    if (target.estimates == Estimates::x86) {
        shade_run_with<Estimates::x86>(span, target);
        return;
    }
#endif
    shade_run_with<Estimates::ieee>(span, target);
}

}  // namespace

void shade_span(std::int32_t row, const SpanEnd& end_a, const SpanEnd& end_b, const ShadeTarget& target) {
    const EdgeState<ShadeValue> a{end_a.column * (1 << edge_fraction_bits),
                                  {_mm_load_ps(end_a.normal.lane), _mm_load_ps(end_a.attributes.lane)}};
    const EdgeState<ShadeValue> b{end_b.column * (1 << edge_fraction_bits),
                                  {_mm_load_ps(end_b.normal.lane), _mm_load_ps(end_b.attributes.lane)}};
    Span<ShadeValue> span;
    if (set_up_span(row, a, b, band_in_frame(target), &span)) shade_run(span, target);
}

void shade_triangle(const ShadeCorner corners[3], const ShadeTarget& target) {
    walk_face<ShadeValue>(corners, band_in_frame(target),
                          [&](const Span<ShadeValue>& span) { shade_run(span, target); });
}
