// The four-lane intrinsics of SSE3 that the core is written with. On x86
// they are the processor's own instructions. On other processors SIMDe
// gives every one of them with the x86 results, which the pictures depend
// on: min and max return the second operand when either is NaN or both are
// zero, and a conversion of a NaN or of a value out of range gives
// 0x80000000. SIMDe's shortcuts that give these up for speed are refused
// below; -ffast-math would switch them on, and is never used. On
// WebAssembly SIMDe's exact conversions are scalar loops, and its max a
// comparison and a select: those are replaced by SIMD128's own, below.
#pragma once

#include "scene/processor.h"

#if OMBRASTEL_X86

#include <pmmintrin.h>

#else

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/sse3.h>

#if defined(SIMDE_FAST_MATH) || defined(SIMDE_FAST_NANS) || defined(SIMDE_FAST_CONVERSION_RANGE) || \
    defined(SIMDE_FAST_ROUND_MODE) || defined(SIMDE_FAST_ROUND_TIES) || defined(SIMDE_FAST_EXCEPTIONS)
#error "SIMDe's fast shortcuts change the x86 results of min, max and the conversions"
#endif

// The x86 reciprocal and reciprocal square root estimates come from tables
// of their own that no other processor has; SIMDe would put the processor's
// own, coarser estimates in their place. Here every one of them is
// 1 / sqrt(x) or 1 / x, so using them is an error.
#undef _mm_rsqrt_ps
#undef _mm_rsqrt_ss
#undef _mm_rcp_ps
#undef _mm_rcp_ss
#pragma GCC poison _mm_rsqrt_ps _mm_rsqrt_ss _mm_rcp_ps _mm_rcp_ss
#pragma GCC poison simde_mm_rsqrt_ps simde_mm_rsqrt_ss simde_mm_rcp_ps simde_mm_rcp_ss

#endif

#if OMBRASTEL_WASM

#include <wasm_simd128.h>

#include <cstdint>

// x86's min, max and conversions in SIMD128, for SIMDe's intrinsics below
// and the SIMD128 span kernel. WebAssembly's pmin(x, y) is y < x ? y : x,
// so pmin(b, a) is a < b ? a : b, x86's min(a, b), NaNs and zeros
// included; likewise pmax.
inline v128_t simd128_x86_min(v128_t a, v128_t b) { return wasm_f32x4_pmin(b, a); }
inline v128_t simd128_x86_max(v128_t a, v128_t b) { return wasm_f32x4_pmax(b, a); }

// Truncation: WebAssembly's saturating conversion gives 0 for a NaN and
// 0x7FFFFFFF from 2^31 up, where x86 gives 0x80000000; below -2^31 both give
// 0x80000000. The lanes under 2^31 (never a NaN) keep the conversion.
inline v128_t simd128_x86_truncate(v128_t a) {
    const v128_t below_two_to_31 = wasm_f32x4_lt(a, wasm_f32x4_splat(2147483648.0f));
    return wasm_v128_bitselect(wasm_i32x4_trunc_sat_f32x4(a), wasm_i32x4_splat(INT32_MIN), below_two_to_31);
}

// Rounding to nearest, ties to even, as x86 converts under the default
// control: rounded in floating point first (exact: the nearest integer of a
// float is a float), then truncated.
inline v128_t simd128_x86_round(v128_t a) { return simd128_x86_truncate(wasm_f32x4_nearest(a)); }

#undef _mm_max_ps
#undef _mm_cvttps_epi32
#undef _mm_cvtps_epi32
#define _mm_max_ps(a, b) simd128_x86_max((a), (b))
#define _mm_cvttps_epi32(a) simd128_x86_truncate(a)
#define _mm_cvtps_epi32(a) simd128_x86_round(a)

#endif
