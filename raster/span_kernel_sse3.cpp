// The span kernels four pixels at a time, with nothing newer than SSE3.

#include "raster/span_kernel_impl.h"
#include "raster/span_kernel_tables.h"
#include "scene/simd.h"

namespace {

struct Sse3Lanes {
    static constexpr int width = 4;
    // Pixels in lanes: with four lanes, transposing the stepped values a
    // group at a time cost less than the runs-in-lanes blocks' bookkeeping
    // where it was measured (docs/performance.md).
    static constexpr bool runs_in_lanes = false;
    using F = __m128;
    using I = __m128i;

    static F splat(float value) { return _mm_set1_ps(value); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static F min(F a, F b) { return _mm_min_ps(a, b); }
    static F max(F a, F b) { return _mm_max_ps(a, b); }
    static F bits_and(F a, F b) { return _mm_and_ps(a, b); }
    static bool any(F mask) { return _mm_movemask_ps(mask) != 0; }
    static F less(F a, F b) { return _mm_cmplt_ps(a, b); }
    static F less_equal(F a, F b) { return _mm_cmple_ps(a, b); }
    static F rsqrt(F a) { return _mm_rsqrt_ps(a); }
    static F sqrt(F a) { return _mm_sqrt_ps(a); }
    static F div(F a, F b) { return _mm_div_ps(a, b); }
    static I truncate(F a) { return _mm_cvttps_epi32(a); }
    static I round(F a) { return _mm_cvtps_epi32(a); }
    static F to_float(I a) { return _mm_cvtepi32_ps(a); }
    static I max_zero(I a) { return _mm_andnot_si128(_mm_srai_epi32(a, 31), a); }
    template <int c> static I byte(I a) { return _mm_and_si128(_mm_srli_epi32(a, 8 * c), _mm_set1_epi32(0xFF)); }
    // Saturating packs limit each value to 0..255 on the way to bytes
    // (b0-3 g0-3 r0-3 0000), which two interleavings put in pixel order.
    static I pack_colour(I blue, I green, I red) {
        const I planes = _mm_packus_epi16(_mm_packs_epi32(blue, green), _mm_packs_epi32(red, _mm_setzero_si128()));
        const I blue_red = _mm_unpacklo_epi8(planes, _mm_srli_si128(planes, 8));  // b0 r0 b1 r1 .. g0 0 g1 0 ..
        return _mm_unpacklo_epi8(blue_red, _mm_srli_si128(blue_red, 8));
    }
    static I int_add(I a, I b) { return _mm_add_epi32(a, b); }
    template <int n> static I shift_left(I a) { return _mm_slli_epi32(a, n); }
    template <int n> static I shift_right_signed(I a) { return _mm_srai_epi32(a, n); }
    static I add_saturated_bytes(I a, I b) { return _mm_adds_epu8(a, b); }

    // Each pixel's footprint is two pairs of neighbouring texels, one
    // 64-bit load from each of two texture rows.
    static void footprints(const std::uint32_t* texels, I index, I texel[4]) {
        alignas(16) std::int32_t at[4];
        _mm_store_si128(reinterpret_cast<I*>(at), index);
        I upper[4], lower[4];
        for (int k = 0; k < 4; ++k) {
            upper[k] = _mm_loadl_epi64(reinterpret_cast<const I*>(texels + at[k]));
            lower[k] = _mm_loadl_epi64(reinterpret_cast<const I*>(texels + at[k] + texture_size));
        }
        split_pairs(_mm_unpacklo_epi64(upper[0], upper[1]), _mm_unpacklo_epi64(upper[2], upper[3]), texel[0], texel[1]);
        split_pairs(_mm_unpacklo_epi64(lower[0], lower[1]), _mm_unpacklo_epi64(lower[2], lower[3]), texel[2], texel[3]);
    }
    // (a0 b0 a1 b1), (a2 b2 a3 b3) -> (a0 a1 a2 a3), (b0 b1 b2 b3)
    static void split_pairs(I first, I second, I& left, I& right) {
        const F x = _mm_castsi128_ps(first), y = _mm_castsi128_ps(second);
        left = _mm_castps_si128(_mm_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0)));
        right = _mm_castps_si128(_mm_shuffle_ps(x, y, _MM_SHUFFLE(3, 1, 3, 1)));
    }

    static F load_unaligned(const float* source) { return _mm_loadu_ps(source); }
    static void store_unaligned(float* destination, F values) { _mm_storeu_ps(destination, values); }
    static I load_words(const std::uint32_t* source) { return _mm_loadu_si128(reinterpret_cast<const I*>(source)); }
    static void store_words(std::uint32_t* destination, I words) {
        _mm_storeu_si128(reinterpret_cast<I*>(destination), words);
    }
    static F nearer(F depths, F stored) {
        const F is_nearer = _mm_cmplt_ps(depths, stored);
        return _mm_or_ps(_mm_and_ps(is_nearer, depths), _mm_andnot_ps(is_nearer, stored));
    }
    static F load_depths(const float* source, int n) {
        return span_kernel::load_depths_through_copy<Sse3Lanes>(source, n);
    }
    static I load_pixels(const std::uint32_t* source, int n) {
        return span_kernel::load_pixels_through_copy<Sse3Lanes>(source, n);
    }
    static void store_pixels(std::uint32_t* destination, I pixels, int n) {
        span_kernel::store_pixels_through_copy<Sse3Lanes>(destination, pixels, n);
    }
    static void store_nearer_depths(float* stored, F depths, int n) {
        span_kernel::store_nearer_depths_through_copy<Sse3Lanes>(stored, depths, n);
    }

    // Turns four vectors of four into four of four: afterwards lane k of
    // vector i holds what lane i of vector k held.
    static void transpose(F q[4]) { _MM_TRANSPOSE4_PS(q[0], q[1], q[2], q[3]); }

    static F as_float(I a) { return _mm_castsi128_ps(a); }
    static I as_int(F a) { return _mm_castps_si128(a); }
    static F load(const float* source) { return _mm_load_ps(source); }
    static void store(float* destination, F values) { _mm_store_ps(destination, values); }
};

}  // namespace

const SpanKernels sse3_span_kernel_table = {
    "sse3",
    span_kernel::store_depths<Sse3Lanes>,
    span_kernel::shade_runs<Sse3Lanes, Estimates::x86>,
};
const SpanKernels sse3_ieee_span_kernel_table = {
    "sse3-ieee",
    span_kernel::store_depths<Sse3Lanes>,
    span_kernel::shade_runs<Sse3Lanes, Estimates::ieee>,
};

void four_lane_rsqrt_estimates(const float* in, float* out, std::size_t count) {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) _mm_storeu_ps(out + i, _mm_rsqrt_ps(_mm_loadu_ps(in + i)));
    if (i == count) return;
    alignas(16) float part[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    for (std::size_t k = i; k < count; ++k) part[k - i] = in[k];
    _mm_store_ps(part, _mm_rsqrt_ps(_mm_load_ps(part)));
    for (std::size_t k = i; k < count; ++k) out[k] = part[k - i];
}
