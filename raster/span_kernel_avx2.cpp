// The span kernels eight pixels at a time, with AVX2. Compiled with -mavx2
// and nothing else added: no FMA, whose single rounding would change the
// bits. Only instructions whose results equal the four-lane ones are used;
// the eight-lane reciprocal square root estimate is checked against the
// four-lane one at start-up before the x86 arithmetic's kernel is chosen.
#include <immintrin.h>

#include "raster/span_kernel_impl.h"
#include "raster/span_kernel_tables.h"

namespace {

struct Avx2Lanes {
    static constexpr int width = 8;
    // Runs in lanes: the faster layout for eight lanes where it was measured
    // (docs/performance.md).
    static constexpr bool runs_in_lanes = true;
    using F = __m256;
    using I = __m256i;

    static F splat(float value) { return _mm256_set1_ps(value); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F min(F a, F b) { return _mm256_min_ps(a, b); }
    static F max(F a, F b) { return _mm256_max_ps(a, b); }
    static F bits_and(F a, F b) { return _mm256_and_ps(a, b); }
    static F bits_or(F a, F b) { return _mm256_or_ps(a, b); }
    static bool no_bits(F a) { return _mm256_testz_si256(_mm256_castps_si256(a), _mm256_castps_si256(a)) != 0; }
    static bool any(F mask) { return _mm256_movemask_ps(mask) != 0; }
    static F less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OS); }
    static F less_equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OS); }
    static F rsqrt(F a) { return _mm256_rsqrt_ps(a); }
    static F sqrt(F a) { return _mm256_sqrt_ps(a); }
    static F div(F a, F b) { return _mm256_div_ps(a, b); }
    static I truncate(F a) { return _mm256_cvttps_epi32(a); }
    static I round(F a) { return _mm256_cvtps_epi32(a); }
    static F to_float(I a) { return _mm256_cvtepi32_ps(a); }
    static I max_zero(I a) { return _mm256_max_epi32(a, _mm256_setzero_si256()); }
    template <int c> static I byte(I a) {
        if constexpr (c == 0) return _mm256_and_si256(a, _mm256_set1_epi32(0xFF));
        // Byte 4k + c of each 128-bit half to byte 4k, zeros above it.
        const I pick = _mm256_add_epi32(_mm256_set1_epi32(static_cast<std::int32_t>(0x80808000u + c)),
                                        _mm256_setr_epi32(0, 4, 8, 12, 0, 4, 8, 12));
        return _mm256_shuffle_epi8(a, pick);
    }
    // Saturating packs limit each value to 0..255 on the way to bytes, in
    // each 128-bit half b0-3 g0-3 r0-3 0000; one byte shuffle puts them in
    // pixel order.
    static I pack_colour(I blue, I green, I red) {
        const I planes =
            _mm256_packus_epi16(_mm256_packs_epi32(blue, green), _mm256_packs_epi32(red, _mm256_setzero_si256()));
        const I order = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9, 13,
                                         2, 6, 10, 14, 3, 7, 11, 15);
        return _mm256_shuffle_epi8(planes, order);
    }
    static I int_add(I a, I b) { return _mm256_add_epi32(a, b); }
    template <int n> static I shift_left(I a) { return _mm256_slli_epi32(a, n); }
    template <int n> static I shift_right_signed(I a) { return _mm256_srai_epi32(a, n); }
    static I add_saturated_bytes(I a, I b) { return _mm256_adds_epu8(a, b); }

    // Each pixel's footprint is two pairs of neighbouring texels: one 64-bit
    // load from each of two texture rows, with sixteen plain loads rather
    // than four gathers, the faster way where it was measured
    // (docs/performance.md). Pixels 0, 1, 4, 5 go together and 2, 3, 6, 7
    // together, so that splitting the pairs within each 128-bit half leaves
    // every texel vector in pixel order.
    static void footprints(const std::uint32_t* texels, I index, I texel[4]) {
        // Unsigned, as every index is (0 to 124 * 128 + 124): taken to a
        // register, a word needs no widening to be added to an address.
        alignas(32) std::uint32_t at[8];
        _mm256_store_si256(reinterpret_cast<I*>(at), index);
        // The pairs of pixels a and b in one 128-bit half, b's loaded straight
        // into the upper half of a's.
        auto two = [&](int a, int b, std::size_t row) {
            const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(texels + at[a] + row));
            return _mm_castpd_si128(
                _mm_loadh_pd(_mm_castsi128_pd(low), reinterpret_cast<const double*>(texels + at[b] + row)));
        };
        auto four = [&](int a, int b, int c, int d, std::size_t row) {
            return _mm256_set_m128i(two(c, d, row), two(a, b, row));
        };
        split_pairs(four(0, 1, 4, 5, 0), four(2, 3, 6, 7, 0), texel[0], texel[1]);
        split_pairs(four(0, 1, 4, 5, texture_size), four(2, 3, 6, 7, texture_size), texel[2], texel[3]);
    }
    static void split_pairs(I first, I second, I& left, I& right) {
        const F x = _mm256_castsi256_ps(first), y = _mm256_castsi256_ps(second);
        left = _mm256_castps_si256(_mm256_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0)));
        right = _mm256_castps_si256(_mm256_shuffle_ps(x, y, _MM_SHUFFLE(3, 1, 3, 1)));
    }

    // The first n lanes; a group shorter than eight pixels, at the end of a
    // run, neither reads nor writes past it.
    static I first_lanes(int n) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static F load_depths(const float* source, int n) {
        if (n == width) return _mm256_loadu_ps(source);
        return _mm256_maskload_ps(source, first_lanes(n));
    }
    static I load_pixels(const std::uint32_t* source, int n) {
        if (n == width) return _mm256_loadu_si256(reinterpret_cast<const I*>(source));
        return _mm256_maskload_epi32(reinterpret_cast<const int*>(source), first_lanes(n));
    }
    static void store_pixels(std::uint32_t* destination, I pixels, int n) {
        if (n == width)
            _mm256_storeu_si256(reinterpret_cast<I*>(destination), pixels);
        else
            _mm256_maskstore_epi32(reinterpret_cast<int*>(destination), first_lanes(n), pixels);
    }

    // Turns eight vectors of eight into eight of eight: afterwards lane k of
    // vector i holds what lane i of vector k held.
    static void transpose(F q[8]) {
        const F pairs_01_low = _mm256_unpacklo_ps(q[0], q[1]);
        const F pairs_01_high = _mm256_unpackhi_ps(q[0], q[1]);
        const F pairs_23_low = _mm256_unpacklo_ps(q[2], q[3]);
        const F pairs_23_high = _mm256_unpackhi_ps(q[2], q[3]);
        const F pairs_45_low = _mm256_unpacklo_ps(q[4], q[5]);
        const F pairs_45_high = _mm256_unpackhi_ps(q[4], q[5]);
        const F pairs_67_low = _mm256_unpacklo_ps(q[6], q[7]);
        const F pairs_67_high = _mm256_unpackhi_ps(q[6], q[7]);
        // Lanes 0 and 4 of vectors 0-3 (and 4-7), then 1 and 5, 2 and 6, 3 and 7.
        const F lanes_04_0123 = _mm256_shuffle_ps(pairs_01_low, pairs_23_low, _MM_SHUFFLE(1, 0, 1, 0));
        const F lanes_15_0123 = _mm256_shuffle_ps(pairs_01_low, pairs_23_low, _MM_SHUFFLE(3, 2, 3, 2));
        const F lanes_26_0123 = _mm256_shuffle_ps(pairs_01_high, pairs_23_high, _MM_SHUFFLE(1, 0, 1, 0));
        const F lanes_37_0123 = _mm256_shuffle_ps(pairs_01_high, pairs_23_high, _MM_SHUFFLE(3, 2, 3, 2));
        const F lanes_04_4567 = _mm256_shuffle_ps(pairs_45_low, pairs_67_low, _MM_SHUFFLE(1, 0, 1, 0));
        const F lanes_15_4567 = _mm256_shuffle_ps(pairs_45_low, pairs_67_low, _MM_SHUFFLE(3, 2, 3, 2));
        const F lanes_26_4567 = _mm256_shuffle_ps(pairs_45_high, pairs_67_high, _MM_SHUFFLE(1, 0, 1, 0));
        const F lanes_37_4567 = _mm256_shuffle_ps(pairs_45_high, pairs_67_high, _MM_SHUFFLE(3, 2, 3, 2));
        q[0] = _mm256_permute2f128_ps(lanes_04_0123, lanes_04_4567, 0x20);
        q[4] = _mm256_permute2f128_ps(lanes_04_0123, lanes_04_4567, 0x31);
        q[1] = _mm256_permute2f128_ps(lanes_15_0123, lanes_15_4567, 0x20);
        q[5] = _mm256_permute2f128_ps(lanes_15_0123, lanes_15_4567, 0x31);
        q[2] = _mm256_permute2f128_ps(lanes_26_0123, lanes_26_4567, 0x20);
        q[6] = _mm256_permute2f128_ps(lanes_26_0123, lanes_26_4567, 0x31);
        q[3] = _mm256_permute2f128_ps(lanes_37_0123, lanes_37_4567, 0x20);
        q[7] = _mm256_permute2f128_ps(lanes_37_0123, lanes_37_4567, 0x31);
    }

    static std::uint32_t lanes_meeting(const std::uint32_t* at, const std::uint32_t* end, std::uint32_t first,
                                       std::uint32_t last) {
        // Unsigned comparisons, as signed ones of the values with their top
        // bit turned over.
        const I top = _mm256_set1_epi32(static_cast<std::int32_t>(0x80000000u));
        const I lane_at = _mm256_xor_si256(_mm256_load_si256(reinterpret_cast<const I*>(at)), top);
        const I lane_end = _mm256_xor_si256(_mm256_load_si256(reinterpret_cast<const I*>(end)), top);
        const I run_first = _mm256_set1_epi32(static_cast<std::int32_t>(first ^ 0x80000000u));
        const I run_last = _mm256_set1_epi32(static_cast<std::int32_t>(last ^ 0x80000000u));
        const I meeting =
            _mm256_and_si256(_mm256_cmpgt_epi32(lane_end, run_first), _mm256_cmpgt_epi32(run_last, lane_at));
        return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(meeting)));
    }

    static std::uint32_t advance_lanes(std::uint32_t* at, std::uint32_t* end) {
        const I moved = _mm256_add_epi32(_mm256_load_si256(reinterpret_cast<const I*>(at)), _mm256_set1_epi32(width));
        const I lane_end = _mm256_load_si256(reinterpret_cast<const I*>(end));
        // at >= end, unsigned: the smaller of the two is end.
        const I ended = _mm256_cmpeq_epi32(_mm256_min_epu32(moved, lane_end), lane_end);
        _mm256_store_si256(reinterpret_cast<I*>(at), _mm256_andnot_si256(ended, moved));
        _mm256_store_si256(reinterpret_cast<I*>(end), _mm256_andnot_si256(ended, lane_end));
        return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(ended)));
    }
    static int block_pixels(const std::uint32_t* at, const std::uint32_t* end, int* n) {
        const I left = _mm256_sub_epi32(_mm256_load_si256(reinterpret_cast<const I*>(end)),
                                        _mm256_load_si256(reinterpret_cast<const I*>(at)));
        const I pixels = _mm256_min_epu32(left, _mm256_set1_epi32(width));
        _mm256_store_si256(reinterpret_cast<I*>(n), pixels);
        __m128i most = _mm_max_epi32(_mm256_castsi256_si128(pixels), _mm256_extracti128_si256(pixels, 1));
        most = _mm_max_epi32(most, _mm_shuffle_epi32(most, _MM_SHUFFLE(1, 0, 3, 2)));
        most = _mm_max_epi32(most, _mm_shuffle_epi32(most, _MM_SHUFFLE(2, 3, 0, 1)));
        return _mm_cvtsi128_si32(most);
    }

    static F as_float(I a) { return _mm256_castsi256_ps(a); }
    static I as_int(F a) { return _mm256_castps_si256(a); }
    static F load(const float* source) { return _mm256_load_ps(source); }
    static void store(float* destination, F values) { _mm256_store_ps(destination, values); }
    // Each of the first n depths where it is strictly nearer than the stored
    // one; a NaN never is.
    static void store_nearer_depths(float* stored, F depths, int n) {
        if (n == width) {
            const F old = _mm256_loadu_ps(stored);
            _mm256_storeu_ps(stored, _mm256_blendv_ps(old, depths, _mm256_cmp_ps(depths, old, _CMP_LT_OS)));
            return;
        }
        const I lanes = first_lanes(n);
        const F old = _mm256_maskload_ps(stored, lanes);
        const F nearer = _mm256_and_ps(_mm256_cmp_ps(depths, old, _CMP_LT_OS), _mm256_castsi256_ps(lanes));
        _mm256_maskstore_ps(stored, _mm256_castps_si256(nearer), depths);
    }
};

}  // namespace

const SpanKernels avx2_span_kernel_table = {
    "avx2",
    span_kernel::store_depths<Avx2Lanes>,
    span_kernel::shade_runs<Avx2Lanes, Estimates::x86>,
};
const SpanKernels avx2_ieee_span_kernel_table = {
    "avx2-ieee",
    span_kernel::store_depths<Avx2Lanes>,
    span_kernel::shade_runs<Avx2Lanes, Estimates::ieee>,
};

void eight_lane_rsqrt_estimates(const float* in, float* out, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) _mm256_storeu_ps(out + i, _mm256_rsqrt_ps(_mm256_loadu_ps(in + i)));
    if (i == count) return;
    alignas(32) float part[8] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    for (std::size_t k = i; k < count; ++k) part[k - i] = in[k];
    _mm256_store_ps(part, _mm256_rsqrt_ps(_mm256_load_ps(part)));
    for (std::size_t k = i; k < count; ++k) out[k] = part[k - i];
}
