// The floating-point control every drawing thread runs with.
#pragma once

#include <cstdint>

#include "scene/processor.h"
#include "scene/simd.h"

// Sets the calling thread's floating-point control to what every pixel
// relies on: round to nearest, all exceptions masked, no flush of tiny
// results to zero and no tiny inputs read as zero. A thread does not always
// start with it: on Windows a new thread does not inherit what a library may
// have set on the main thread. On ARM64 the control is FPCR: all of it clear
// is round to nearest, no flush to zero (of single, double or half
// precision), NaNs propagated rather than replaced by the default one, and
// no exception trapped. WebAssembly has no control to set: its arithmetic
// always rounds to nearest, never flushes tiny values to zero and never
// traps, which is already all of the above.
#if OMBRASTEL_X86
inline void use_default_float_control() { _mm_setcsr(0x1F80u); }
#elif OMBRASTEL_ARM64
inline void use_default_float_control() { __asm__ volatile("msr fpcr, %0" : : "r"(std::uint64_t{0})); }
#elif OMBRASTEL_WASM
inline void use_default_float_control() {}
#endif
