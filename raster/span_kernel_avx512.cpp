// The span kernels sixteen pixels at a time, with AVX-512 (F, BW, DQ, VL).
// Compiled with those and no contraction: a fused multiply-add's single
// rounding would change the bits. The reciprocal square root estimate is the
// eight-lane one, taken twice: AVX-512's own estimate (rsqrt14) is a
// different, more precise one. The eight-lane estimate is checked against
// the four-lane one at start-up before this kernel is chosen.

// GCC 12's AVX-512 header starts many results from an undefined vector and
// then warns, where they are inlined into this file's functions, that it is
// or may be used uninitialized; it never is. The warnings are off for this
// file alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include "raster/span_kernel_impl.h"
#include "raster/span_kernel_tables.h"

namespace {

struct Avx512Lanes {
    static constexpr int width = 16;
    // Runs in lanes: sixteen runs a block, no transpose per group.
    static constexpr bool runs_in_lanes = true;
    using F = __m512;
    using I = __m512i;

    static F splat(float value) { return _mm512_set1_ps(value); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    // Correctly rounded, as the four-lane ones.
    static F sqrt(F a) { return _mm512_sqrt_ps(a); }
    static F div(F a, F b) { return _mm512_div_ps(a, b); }
    static F min(F a, F b) { return _mm512_min_ps(a, b); }
    static F max(F a, F b) { return _mm512_max_ps(a, b); }
    static F bits_and(F a, F b) { return _mm512_and_ps(a, b); }
    static F bits_or(F a, F b) { return _mm512_or_ps(a, b); }
    static bool no_bits(F a) {
        const I bits = _mm512_castps_si512(a);
        return _mm512_test_epi32_mask(bits, bits) == 0;
    }
    // Comparisons give a mask register's bits, one a lane: the test and the
    // masking that follow it take them as they are.
    using M = __mmask16;
    static bool any(M mask) { return mask != 0; }
    static M less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OS); }
    static M less_equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OS); }
    static M both(M a, M b) { return _kand_mask16(a, b); }
    static F zero_unless(F value, M mask) { return _mm512_maskz_mov_ps(mask, value); }
    static F rsqrt(F a) {
        const __m256 low = _mm256_rsqrt_ps(_mm512_castps512_ps256(a));
        const __m256 high = _mm256_rsqrt_ps(_mm512_extractf32x8_ps(a, 1));
        return _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
    }
    static I truncate(F a) { return _mm512_cvttps_epi32(a); }
    static I round(F a) { return _mm512_cvtps_epi32(a); }
    static F to_float(I a) { return _mm512_cvtepi32_ps(a); }
    static I max_zero(I a) { return _mm512_max_epi32(a, _mm512_setzero_si512()); }
    template <int c> static I byte(I a) {
        if constexpr (c == 0) return _mm512_and_si512(a, _mm512_set1_epi32(0xFF));
        // Byte 4k + c of each 128-bit quarter to byte 4k, zeros above it.
        const I pick = _mm512_add_epi32(_mm512_set1_epi32(static_cast<std::int32_t>(0x80808000u + c)),
                                        _mm512_setr_epi32(0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12));
        return _mm512_shuffle_epi8(a, pick);
    }
    // Saturating packs limit each value to 0..255 on the way to bytes, in
    // each 128-bit quarter b0-3 g0-3 r0-3 0000; one byte shuffle puts them
    // in pixel order.
    static I pack_colour(I blue, I green, I red) {
        const I planes =
            _mm512_packus_epi16(_mm512_packs_epi32(blue, green), _mm512_packs_epi32(red, _mm512_setzero_si512()));
        const I order = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
        return _mm512_shuffle_epi8(planes, order);
    }
    static I int_add(I a, I b) { return _mm512_add_epi32(a, b); }
    template <int n> static I shift_left(I a) { return _mm512_slli_epi32(a, n); }
    template <int n> static I shift_right_signed(I a) { return _mm512_srai_epi32(a, n); }
    static I add_saturated_bytes(I a, I b) { return _mm512_adds_epu8(a, b); }

    // Each pixel's footprint is two pairs of neighbouring texels: one 64-bit
    // element from each of two texture rows, with thirty-two plain loads
    // rather than four gathers, the faster way on Zen 5 since the kernel's
    // arithmetic was shortened (docs/performance.md). Pixels 4q and 4q + 1
    // go to quarter q of the first vector, 4q + 2 and 4q + 3 to quarter q of
    // the second, so that splitting the pairs within each 128-bit quarter
    // leaves every texel vector in pixel order.
    static void footprints(const std::uint32_t* texels, I index, I texel[4]) {
        // Unsigned, as every index is (0 to 124 * 128 + 124).
        alignas(64) std::uint32_t at[16];
        _mm512_store_si512(at, index);
        auto two = [&](int a, std::size_t row) {
            const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(texels + at[a] + row));
            return _mm_castpd_si128(
                _mm_loadh_pd(_mm_castsi128_pd(low), reinterpret_cast<const double*>(texels + at[a + 1] + row)));
        };
        auto quarters = [&](int a, std::size_t row) {
            const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(two(a, row)), two(a + 4, row), 1);
            const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(two(a + 8, row)), two(a + 12, row), 1);
            return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
        };
        split_pairs(quarters(0, 0), quarters(2, 0), texel[0], texel[1]);
        split_pairs(quarters(0, texture_size), quarters(2, texture_size), texel[2], texel[3]);
    }
    // With the texture's colours numbered: one 32-bit gather takes every
    // pixel's footprint numbers (its entry in the low half), and each texel's
    // channel is a permutation of the sixteen colours' floats, which reads
    // only the low 4 bits of each lane's number.
    static void numbered_footprints(const NumberedTexture& numbered, I index, F channel[4][3]) {
        const I numbers = _mm512_i32gather_epi32(index, numbered.footprint, 2);
        const F colours[3] = {_mm512_load_ps(numbered.channel[0]), _mm512_load_ps(numbered.channel[1]),
                              _mm512_load_ps(numbered.channel[2])};
        const I texel_numbers[4] = {numbers, _mm512_srli_epi32(numbers, 4), _mm512_srli_epi32(numbers, 8),
                                    _mm512_srli_epi32(numbers, 12)};
        for (int k = 0; k < 4; ++k)
            for (int c = 0; c < 3; ++c) channel[k][c] = _mm512_permutexvar_ps(texel_numbers[k], colours[c]);
    }
    static void split_pairs(I first, I second, I& left, I& right) {
        const F x = _mm512_castsi512_ps(first), y = _mm512_castsi512_ps(second);
        left = _mm512_castps_si512(_mm512_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0)));
        right = _mm512_castps_si512(_mm512_shuffle_ps(x, y, _MM_SHUFFLE(3, 1, 3, 1)));
    }

    // The first n lanes; a group shorter than sixteen pixels, at the end of
    // a run, neither reads nor writes past it.
    static __mmask16 first_lanes(int n) { return static_cast<__mmask16>((1u << n) - 1u); }
    static F load_depths(const float* source, int n) { return _mm512_maskz_loadu_ps(first_lanes(n), source); }
    static I load_pixels(const std::uint32_t* source, int n) {
        return _mm512_maskz_loadu_epi32(first_lanes(n), source);
    }
    static void store_pixels(std::uint32_t* destination, I pixels, int n) {
        _mm512_mask_storeu_epi32(destination, first_lanes(n), pixels);
    }

    // Turns sixteen vectors of sixteen around: afterwards lane k of vector i
    // holds what lane i of vector k held.
    static void transpose(F q[16]) {
        F pairs[16], quads[16];
        for (int i = 0; i < 16; i += 2) {
            pairs[i] = _mm512_unpacklo_ps(q[i], q[i + 1]);
            pairs[i + 1] = _mm512_unpackhi_ps(q[i], q[i + 1]);
        }
        // Quarter L of quads[4i + m] holds lane 4L + m of vectors 4i to 4i + 3.
        for (int i = 0; i < 16; i += 4) {
            quads[i] = _mm512_shuffle_ps(pairs[i], pairs[i + 2], _MM_SHUFFLE(1, 0, 1, 0));
            quads[i + 1] = _mm512_shuffle_ps(pairs[i], pairs[i + 2], _MM_SHUFFLE(3, 2, 3, 2));
            quads[i + 2] = _mm512_shuffle_ps(pairs[i + 1], pairs[i + 3], _MM_SHUFFLE(1, 0, 1, 0));
            quads[i + 3] = _mm512_shuffle_ps(pairs[i + 1], pairs[i + 3], _MM_SHUFFLE(3, 2, 3, 2));
        }
        // Then the quarters are transposed like the lanes of a 4 x 4.
        for (int m = 0; m < 4; ++m) {
            const F halves_01_low = _mm512_shuffle_f32x4(quads[m], quads[4 + m], 0x44);
            const F halves_01_high = _mm512_shuffle_f32x4(quads[m], quads[4 + m], 0xEE);
            const F halves_23_low = _mm512_shuffle_f32x4(quads[8 + m], quads[12 + m], 0x44);
            const F halves_23_high = _mm512_shuffle_f32x4(quads[8 + m], quads[12 + m], 0xEE);
            q[m] = _mm512_shuffle_f32x4(halves_01_low, halves_23_low, 0x88);
            q[4 + m] = _mm512_shuffle_f32x4(halves_01_low, halves_23_low, 0xDD);
            q[8 + m] = _mm512_shuffle_f32x4(halves_01_high, halves_23_high, 0x88);
            q[12 + m] = _mm512_shuffle_f32x4(halves_01_high, halves_23_high, 0xDD);
        }
    }

    static std::uint32_t lanes_meeting(const std::uint32_t* at, const std::uint32_t* end, std::uint32_t first,
                                       std::uint32_t last) {
        const I lane_at = _mm512_load_si512(at), lane_end = _mm512_load_si512(end);
        const __mmask16 reaching =
            _mm512_cmplt_epu32_mask(_mm512_set1_epi32(static_cast<std::int32_t>(first)), lane_end);
        return _mm512_mask_cmplt_epu32_mask(reaching, lane_at, _mm512_set1_epi32(static_cast<std::int32_t>(last)));
    }

    static std::uint32_t advance_lanes(std::uint32_t* at, std::uint32_t* end) {
        const I moved = _mm512_add_epi32(_mm512_load_si512(at), _mm512_set1_epi32(width));
        const I lane_end = _mm512_load_si512(end);
        const __mmask16 ended = _mm512_cmpge_epu32_mask(moved, lane_end);
        _mm512_store_si512(at, _mm512_maskz_mov_epi32(static_cast<__mmask16>(~ended), moved));
        _mm512_store_si512(end, _mm512_maskz_mov_epi32(static_cast<__mmask16>(~ended), lane_end));
        return ended;
    }
    static int block_pixels(const std::uint32_t* at, const std::uint32_t* end, int* n) {
        const I pixels =
            _mm512_min_epu32(_mm512_sub_epi32(_mm512_load_si512(end), _mm512_load_si512(at)), _mm512_set1_epi32(width));
        _mm512_store_si512(n, pixels);
        return _mm512_reduce_max_epi32(pixels);
    }

    static F as_float(I a) { return _mm512_castsi512_ps(a); }
    static I as_int(F a) { return _mm512_castps_si512(a); }
    static F load(const float* source) { return _mm512_load_ps(source); }
    static void store(float* destination, F values) { _mm512_store_ps(destination, values); }
    // Each of the first n depths where it is strictly nearer than the stored
    // one; a NaN never is.
    static void store_nearer_depths(float* stored, F depths, int n) {
        const __mmask16 lanes = first_lanes(n);
        const F old = _mm512_maskz_loadu_ps(lanes, stored);
        _mm512_mask_storeu_ps(stored, _mm512_mask_cmp_ps_mask(lanes, depths, old, _CMP_LT_OS), depths);
    }
};

}  // namespace

const SpanKernels avx512_span_kernel_table = {
    "avx512",
    span_kernel::store_depths<Avx512Lanes>,
    span_kernel::shade_runs<Avx512Lanes, Estimates::x86>,
};
const SpanKernels avx512_ieee_span_kernel_table = {
    "avx512-ieee",
    span_kernel::store_depths<Avx512Lanes>,
    span_kernel::shade_runs<Avx512Lanes, Estimates::ieee>,
};
