// The four-lane intrinsics of SSE3 that the core is written with. On x86
// they are the processor's own instructions. On other processors SIMDe
// gives every one of them with the x86 results, which the pictures depend
// on: min and max return the second operand when either is NaN or both are
// zero, and a conversion of a NaN or of a value out of range gives
// 0x80000000. SIMDe's shortcuts that give these up for speed are refused
// below; -ffast-math would switch them on, and is never used.
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
