// The span kernels four pixels at a time on ARM64, with Advanced SIMD
// (NEON), the architecture's baseline. ARM's own instructions differ from
// x86's where the pictures would show it, so each of those is built here
// from others that give x86's results:
// - min and max return the second operand when either is NaN or both are
//   zero (a comparison and a select; ARM's min and max do neither);
// - a conversion of a NaN or of a value out of range gives 0x80000000 (ARM's
//   saturate, and give 0 for a NaN);
// - a multiply and an add are two roundings, never one fused operation: the
//   core is compiled with -ffp-contract=off, and no fused intrinsic is used.
// ARM has no equal of the x86 estimates: the kernel has the ieee arithmetic
// only, its reciprocal square root 1 / sqrt(x), each operation correctly
// rounded.
#include <arm_neon.h>

#include "raster/span_kernel_impl.h"
#include "raster/span_kernel_tables.h"

namespace {

struct NeonLanes {
    static constexpr int width = 4;
    static constexpr bool runs_in_lanes = false;
    using F = float32x4_t;
    using I = int32x4_t;

    static F splat(float value) { return vdupq_n_f32(value); }
    static F add(F a, F b) { return vaddq_f32(a, b); }
    static F sub(F a, F b) { return vsubq_f32(a, b); }
    static F mul(F a, F b) { return vmulq_f32(a, b); }
    static F div(F a, F b) { return vdivq_f32(a, b); }
    static F sqrt(F a) { return vsqrtq_f32(a); }
    static F min(F a, F b) { return vbslq_f32(vcltq_f32(a, b), a, b); }
    static F max(F a, F b) { return vbslq_f32(vcgtq_f32(a, b), a, b); }
    static F bits_and(F a, F b) {
        return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(a), vreinterpretq_u32_f32(b)));
    }
    static bool any(F mask) { return vmaxvq_u32(vreinterpretq_u32_f32(mask)) != 0; }
    static F less(F a, F b) { return vreinterpretq_f32_u32(vcltq_f32(a, b)); }
    static F less_equal(F a, F b) { return vreinterpretq_f32_u32(vcleq_f32(a, b)); }

    // The lanes whose value converts to a 32-bit integer: -2^31 <= a < 2^31,
    // never a NaN. The others give 0x80000000, as on x86.
    static I in_range_or_indefinite(F a, I converted) {
        const uint32x4_t in_range =
            vandq_u32(vcgeq_f32(a, vdupq_n_f32(-2147483648.0f)), vcltq_f32(a, vdupq_n_f32(2147483648.0f)));
        return vbslq_s32(in_range, converted, vdupq_n_s32(INT32_MIN));
    }
    static I truncate(F a) { return in_range_or_indefinite(a, vcvtq_s32_f32(a)); }
    static I round(F a) { return in_range_or_indefinite(a, vcvtnq_s32_f32(a)); }  // ties to even
    static F to_float(I a) { return vcvtq_f32_s32(a); }
    static I max_zero(I a) { return vmaxq_s32(a, vdupq_n_s32(0)); }
    template <int c> static I byte(I a) {
        const uint32x4_t bits = vreinterpretq_u32_s32(a);
        if constexpr (c == 0)
            return vreinterpretq_s32_u32(vandq_u32(bits, vdupq_n_u32(0xFF)));
        else
            return vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(bits, 8 * c), vdupq_n_u32(0xFF)));
    }
    // Each value limited to 0..255, as x86's saturating packs limit it.
    static I pack_colour(I blue, I green, I red) {
        auto limited = [](I a) { return vminq_s32(vmaxq_s32(a, vdupq_n_s32(0)), vdupq_n_s32(255)); };
        return vorrq_s32(vorrq_s32(limited(blue), vshlq_n_s32(limited(green), 8)), vshlq_n_s32(limited(red), 16));
    }
    static I int_add(I a, I b) { return vaddq_s32(a, b); }
    template <int n> static I shift_left(I a) { return vshlq_n_s32(a, n); }
    template <int n> static I shift_right_signed(I a) { return vshrq_n_s32(a, n); }
    static I add_saturated_bytes(I a, I b) {
        return vreinterpretq_s32_u8(vqaddq_u8(vreinterpretq_u8_s32(a), vreinterpretq_u8_s32(b)));
    }

    // Each pixel's footprint is two pairs of neighbouring texels, one 64-bit
    // load from each of two texture rows; the pairs are then split into the
    // left and the right texels.
    static void footprints(const std::uint32_t* texels, I index, I texel[4]) {
        std::int32_t at[4];
        vst1q_s32(at, index);
        const uint32x4_t upper_01 = vcombine_u32(vld1_u32(texels + at[0]), vld1_u32(texels + at[1]));
        const uint32x4_t upper_23 = vcombine_u32(vld1_u32(texels + at[2]), vld1_u32(texels + at[3]));
        const uint32x4_t lower_01 =
            vcombine_u32(vld1_u32(texels + at[0] + texture_size), vld1_u32(texels + at[1] + texture_size));
        const uint32x4_t lower_23 =
            vcombine_u32(vld1_u32(texels + at[2] + texture_size), vld1_u32(texels + at[3] + texture_size));
        texel[0] = vreinterpretq_s32_u32(vuzp1q_u32(upper_01, upper_23));
        texel[1] = vreinterpretq_s32_u32(vuzp2q_u32(upper_01, upper_23));
        texel[2] = vreinterpretq_s32_u32(vuzp1q_u32(lower_01, lower_23));
        texel[3] = vreinterpretq_s32_u32(vuzp2q_u32(lower_01, lower_23));
    }

    static F load_unaligned(const float* source) { return vld1q_f32(source); }
    static void store_unaligned(float* destination, F values) { vst1q_f32(destination, values); }
    static I load_words(const std::uint32_t* source) { return vreinterpretq_s32_u32(vld1q_u32(source)); }
    static void store_words(std::uint32_t* destination, I words) {
        vst1q_u32(destination, vreinterpretq_u32_s32(words));
    }
    static F nearer(F depths, F stored) { return vbslq_f32(vcltq_f32(depths, stored), depths, stored); }
    static F load_depths(const float* source, int n) {
        return span_kernel::load_depths_through_copy<NeonLanes>(source, n);
    }
    static I load_pixels(const std::uint32_t* source, int n) {
        return span_kernel::load_pixels_through_copy<NeonLanes>(source, n);
    }
    static void store_pixels(std::uint32_t* destination, I pixels, int n) {
        span_kernel::store_pixels_through_copy<NeonLanes>(destination, pixels, n);
    }
    static void store_nearer_depths(float* stored, F depths, int n) {
        span_kernel::store_nearer_depths_through_copy<NeonLanes>(stored, depths, n);
    }

    // Turns four vectors of four into four of four: afterwards lane k of
    // vector i holds what lane i of vector k held.
    static void transpose(F q[4]) {
        const F lanes_02_of_01 = vtrn1q_f32(q[0], q[1]);  // q0[0] q1[0] q0[2] q1[2]
        const F lanes_13_of_01 = vtrn2q_f32(q[0], q[1]);  // q0[1] q1[1] q0[3] q1[3]
        const F lanes_02_of_23 = vtrn1q_f32(q[2], q[3]);
        const F lanes_13_of_23 = vtrn2q_f32(q[2], q[3]);
        auto low_halves = [](F a, F b) {
            return vreinterpretq_f32_f64(vtrn1q_f64(vreinterpretq_f64_f32(a), vreinterpretq_f64_f32(b)));
        };
        auto high_halves = [](F a, F b) {
            return vreinterpretq_f32_f64(vtrn2q_f64(vreinterpretq_f64_f32(a), vreinterpretq_f64_f32(b)));
        };
        q[0] = low_halves(lanes_02_of_01, lanes_02_of_23);
        q[1] = low_halves(lanes_13_of_01, lanes_13_of_23);
        q[2] = high_halves(lanes_02_of_01, lanes_02_of_23);
        q[3] = high_halves(lanes_13_of_01, lanes_13_of_23);
    }

    static F as_float(I a) { return vreinterpretq_f32_s32(a); }
    static I as_int(F a) { return vreinterpretq_s32_f32(a); }
    static F load(const float* source) { return vld1q_f32(source); }
    static void store(float* destination, F values) { vst1q_f32(destination, values); }
};

}  // namespace

const SpanKernels neon_span_kernel_table = {
    "neon",
    span_kernel::store_depths<NeonLanes>,
    span_kernel::shade_runs<NeonLanes, Estimates::ieee>,
};
