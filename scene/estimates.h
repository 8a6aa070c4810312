// The arithmetic of the three reciprocals the pictures depend on: the light
// directions' and the per-pixel normal's reciprocal square roots, and the
// model scale's reciprocal.
//
//   x86   the processor's estimates (rsqrtps, rsqrtss, rcpss), about 12 bits.
//         Their tables differ between processor makers, so the pictures are
//         the same, bit for bit, only on one maker's processors.
//   ieee  1 / sqrt(x) and 1 / x, each a square root and a division rounded
//         to single precision as IEEE 754 prescribes, standing where the
//         estimate stood: the same pictures on every processor.
//
// The model preparation, the reference engine, the span kernels and the
// tests' scalar version all take it.
#pragma once

#include <string_view>

#include "scene/processor.h"

enum class Estimates { x86, ieee };

// Whether the processor has the x86 estimates at all; elsewhere ieee is the
// only arithmetic.
inline constexpr bool x86_estimates_available = OMBRASTEL_X86;
inline constexpr Estimates default_estimates = x86_estimates_available ? Estimates::x86 : Estimates::ieee;

inline const char* estimates_name(Estimates estimates) { return estimates == Estimates::ieee ? "ieee" : "x86"; }

inline bool estimates_named(std::string_view name, Estimates* estimates) {
    for (Estimates e : {Estimates::x86, Estimates::ieee}) {
        if (name == estimates_name(e)) {
            *estimates = e;
            return true;
        }
    }
    return false;
}
