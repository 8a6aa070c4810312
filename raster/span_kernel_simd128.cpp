// The span kernels four pixels at a time on WebAssembly, with SIMD128.
// WebAssembly's own instructions differ from x86's where the pictures would
// show it, so each of those is built here from others that give x86's
// results (scene/simd.h has them, for SIMDe's intrinsics too):
// - min and max return the second operand when either is NaN or both are
//   zero: WebAssembly's pmin and pmax, operands swapped;
// - a conversion of a NaN or of a value out of range gives 0x80000000
//   (WebAssembly's saturates, and gives 0 for a NaN);
// - a multiply and an add are two roundings: WebAssembly has no fused
//   operation outside its relaxed instructions, which are never used (their
//   results may differ between machines).
// WebAssembly has no equal of the x86 estimates: the kernel has the ieee
// arithmetic only.
#include <wasm_simd128.h>

#include "raster/span_kernel_impl.h"
#include "raster/span_kernel_tables.h"
#include "scene/simd.h"

namespace {

struct Simd128Lanes {
    static constexpr int width = 4;
    // Pixels in lanes: as for the other four-lane types, the faster layout
    // where both were measured (docs/performance.md).
    static constexpr bool runs_in_lanes = false;
    using F = v128_t;
    using I = v128_t;

    static F splat(float value) { return wasm_f32x4_splat(value); }
    static F add(F a, F b) { return wasm_f32x4_add(a, b); }
    static F sub(F a, F b) { return wasm_f32x4_sub(a, b); }
    static F mul(F a, F b) { return wasm_f32x4_mul(a, b); }
    static F div(F a, F b) { return wasm_f32x4_div(a, b); }
    static F sqrt(F a) { return wasm_f32x4_sqrt(a); }
    static F min(F a, F b) { return simd128_x86_min(a, b); }
    static F max(F a, F b) { return simd128_x86_max(a, b); }
    static F bits_and(F a, F b) { return wasm_v128_and(a, b); }
    static bool any(F mask) { return wasm_v128_any_true(mask); }
    static F less(F a, F b) { return wasm_f32x4_lt(a, b); }
    static F less_equal(F a, F b) { return wasm_f32x4_le(a, b); }
    static I truncate(F a) { return simd128_x86_truncate(a); }
    static I round(F a) { return simd128_x86_round(a); }
    static F to_float(I a) { return wasm_f32x4_convert_i32x4(a); }
    static I max_zero(I a) { return wasm_i32x4_max(a, wasm_i32x4_splat(0)); }

    // The texture position and the channels' values without x86's
    // conversions, which take a dozen instructions each here: each value is
    // made a whole number in floating point and held where adding 2^23
    // (1.5 * 2^23 for values that may be negative) leaves the number in the
    // sum's low bits; the integer is the sum's bits less those of 2^23 (or
    // of 1.5 * 2^23).
    //
    // The texture position: u and v are never NaN and at most 124. Below
    // -2^31, x86's truncation gives -2^31; above, it is the float truncated
    // toward 0, whose -0.0 becomes +0.0 in the integer (u - -0.0 and
    // u - +0.0 differ when u is -0.0: the + 0.0 mends it). The footprint's
    // row and column are then 0 to 124, row * 128 + column exact.
    //
    // Bounded (within 2^22 of 0), u and v need no guard from below, and a
    // -0.0 is left as it is: a u or v of -0.0 then has a fraction of +0.0,
    // not -0.0, which no byte can tell. Each product of a texel and a weight
    // that fraction reaches is a zero of one sign or the other; the texture
    // value is (w00 t00 + w10 t10) + (w01 t01 + w11 t11), and w00 t00, a
    // product of two complements of 0 to 2 and a texel, is at least +0.0, so
    // the left-hand sum is never -0.0; a zero added to a value that is not
    // -0.0 leaves it as it is.
    template <bool bounded> static I texel_footprint(F u, F v, F& fraction_u, F& fraction_v) {
        const F lowest = wasm_f32x4_splat(-2147483648.0f);
        const F zero = wasm_f32x4_splat(0.0f);
        auto whole = [&](F position) {
            const F toward_zero = wasm_f32x4_trunc(position);
            if constexpr (bounded) return toward_zero;
            return wasm_f32x4_add(simd128_x86_max(toward_zero, lowest), zero);
        };
        const F whole_u = whole(u);
        const F whole_v = whole(v);
        fraction_u = wasm_f32x4_sub(u, whole_u);
        fraction_v = wasm_f32x4_sub(v, whole_v);
        const F column = simd128_x86_max(whole_u, zero);
        const F row = simd128_x86_max(whole_v, zero);
        // Whole numbers below 2^24 throughout, exact in any order: the
        // column's sum is made beside the row's product, not after it.
        const F index = wasm_f32x4_add(wasm_f32x4_add(column, wasm_f32x4_splat(8388608.0f)),
                                       wasm_f32x4_mul(row, wasm_f32x4_splat(128.0f)));
        return wasm_i32x4_sub(index, wasm_i32x4_splat(0x4B000000));
    }

    // A channel's value: x86's rounding gives 0x80000000 for a NaN or a
    // value from 2^31 up, a byte of 0, so those become +0.0 first; the rest
    // is held within -256..65536, as every value below -256 gives a byte of
    // 0 and every one above 65536 a byte of 255.
    //
    // Bounded (finite and less than 2^22 in magnitude), the value needs
    // neither: the sum with 1.5 * 2^23 is the value rounded to the nearest
    // whole number, ties to even, as x86's conversion rounds, and integers
    // beyond -256..65536 still give bytes of 0 and 255.
    template <bool bounded> static I channel_value(F modulated) {
        if constexpr (bounded)
            return wasm_i32x4_shr(
                wasm_i32x4_sub(wasm_f32x4_add(modulated, wasm_f32x4_splat(12582912.0f)), wasm_i32x4_splat(0x4B400000)),
                8);
        const F nearest = wasm_f32x4_nearest(modulated);
        const F shown = wasm_v128_and(nearest, wasm_f32x4_lt(nearest, wasm_f32x4_splat(2147483648.0f)));
        const F held = simd128_x86_min(simd128_x86_max(shown, wasm_f32x4_splat(-256.0f)), wasm_f32x4_splat(65536.0f));
        const I whole =
            wasm_i32x4_sub(wasm_f32x4_add(held, wasm_f32x4_splat(12582912.0f)), wasm_i32x4_splat(0x4B400000));
        return wasm_i32x4_shr(whole, 8);
    }
    template <int c> static I byte(I a) {
        if constexpr (c == 0)
            return wasm_v128_and(a, wasm_i32x4_splat(0xFF));
        else
            return wasm_v128_and(wasm_u32x4_shr(a, 8 * c), wasm_i32x4_splat(0xFF));
    }
    // Saturating narrowings limit each value to 0..255 on the way to bytes
    // (b0-3 g0-3 r0-3 0000), as x86's packs do; one byte shuffle puts them
    // in pixel order.
    static I pack_colour(I blue, I green, I red) {
        const I planes = wasm_u8x16_narrow_i16x8(wasm_i16x8_narrow_i32x4(blue, green),
                                                 wasm_i16x8_narrow_i32x4(red, wasm_i32x4_splat(0)));
        return wasm_i8x16_shuffle(planes, planes, 0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    }
    static I int_add(I a, I b) { return wasm_i32x4_add(a, b); }
    template <int n> static I shift_left(I a) { return wasm_i32x4_shl(a, n); }
    template <int n> static I shift_right_signed(I a) { return wasm_i32x4_shr(a, n); }
    static I add_saturated_bytes(I a, I b) { return wasm_u8x16_add_sat(a, b); }

    // Each pixel's footprint is two pairs of neighbouring texels, one 64-bit
    // load from each of two texture rows into a half of a vector; the pairs
    // are then split into the left and the right texels.
    static void footprints(const std::uint32_t* texels, I index, I texel[4]) {
        const std::uint32_t* at[4] = {
            texels + wasm_i32x4_extract_lane(index, 0), texels + wasm_i32x4_extract_lane(index, 1),
            texels + wasm_i32x4_extract_lane(index, 2), texels + wasm_i32x4_extract_lane(index, 3)};
        const I upper_01 = wasm_v128_load64_lane(at[1], wasm_v128_load64_zero(at[0]), 1);
        const I upper_23 = wasm_v128_load64_lane(at[3], wasm_v128_load64_zero(at[2]), 1);
        const I lower_01 = wasm_v128_load64_lane(at[1] + texture_size, wasm_v128_load64_zero(at[0] + texture_size), 1);
        const I lower_23 = wasm_v128_load64_lane(at[3] + texture_size, wasm_v128_load64_zero(at[2] + texture_size), 1);
        texel[0] = wasm_i32x4_shuffle(upper_01, upper_23, 0, 2, 4, 6);
        texel[1] = wasm_i32x4_shuffle(upper_01, upper_23, 1, 3, 5, 7);
        texel[2] = wasm_i32x4_shuffle(lower_01, lower_23, 0, 2, 4, 6);
        texel[3] = wasm_i32x4_shuffle(lower_01, lower_23, 1, 3, 5, 7);
    }

    // The first n of four elements, 1 to 4 (a run's short last group), with
    // lane loads and stores, the lanes past them zero: a copy through memory
    // would become a call in the browsers, around which every value in a
    // register is stored and loaded again, on every group's path.
    static I load_first(const void* source, int n) {
        if (n == width) return wasm_v128_load(source);
        if (n == 1) return wasm_v128_load32_zero(source);
        const I pair = wasm_v128_load64_zero(source);
        return n == 2 ? pair : wasm_v128_load32_lane(static_cast<const std::uint32_t*>(source) + 2, pair, 2);
    }
    static F load_depths(const float* source, int n) { return load_first(source, n); }
    static I load_pixels(const std::uint32_t* source, int n) { return load_first(source, n); }
    static void store_first(void* destination, I values, int n) {
        if (n == width) {
            wasm_v128_store(destination, values);
        } else if (n == 1) {
            wasm_v128_store32_lane(destination, values, 0);
        } else {
            wasm_v128_store64_lane(destination, values, 0);
            if (n == 3) wasm_v128_store32_lane(static_cast<std::uint32_t*>(destination) + 2, values, 2);
        }
    }
    static void store_pixels(std::uint32_t* destination, I pixels, int n) { store_first(destination, pixels, n); }
    // Each depth where strictly nearer, else the stored one (a NaN is never
    // nearer): x86's minimum, one instruction.
    static F nearer(F depths, F stored) { return simd128_x86_min(depths, stored); }
    static void store_nearer_depths(float* stored, F depths, int n) {
        store_first(stored, nearer(depths, load_first(stored, n)), n);
    }

    // Turns four vectors of four into four of four: afterwards lane k of
    // vector i holds what lane i of vector k held.
    static void transpose(F q[4]) {
        const F pairs_01_low = wasm_i32x4_shuffle(q[0], q[1], 0, 4, 1, 5);  // q0[0] q1[0] q0[1] q1[1]
        const F pairs_01_high = wasm_i32x4_shuffle(q[0], q[1], 2, 6, 3, 7);
        const F pairs_23_low = wasm_i32x4_shuffle(q[2], q[3], 0, 4, 1, 5);
        const F pairs_23_high = wasm_i32x4_shuffle(q[2], q[3], 2, 6, 3, 7);
        q[0] = wasm_i64x2_shuffle(pairs_01_low, pairs_23_low, 0, 2);
        q[1] = wasm_i64x2_shuffle(pairs_01_low, pairs_23_low, 1, 3);
        q[2] = wasm_i64x2_shuffle(pairs_01_high, pairs_23_high, 0, 2);
        q[3] = wasm_i64x2_shuffle(pairs_01_high, pairs_23_high, 1, 3);
    }

    static F as_float(I a) { return a; }
    static I as_int(F a) { return a; }
    static F load(const float* source) { return wasm_v128_load(source); }
    static void store(float* destination, F values) { wasm_v128_store(destination, values); }
};

}  // namespace

const SpanKernels simd128_span_kernel_table = {
    "simd128",
    span_kernel::store_depths<Simd128Lanes>,
    span_kernel::shade_runs<Simd128Lanes, Estimates::ieee>,
};
