#include "scene/extended.h"

#include <bit>
#include <utility>

namespace {

using Wide = unsigned __int128;
using Kind = Extended::Kind;

constexpr std::uint64_t leading_bit = std::uint64_t{1} << 63;
constexpr std::uint64_t quiet_bit = std::uint64_t{1} << 62;

Extended make(Kind kind, bool negative, int exponent = 0, std::uint64_t significand = 0) {
    Extended x;
    x.kind = kind;
    x.negative = negative;
    x.exponent = exponent;
    x.significand = significand;
    return x;
}

Extended invalid() { return make(Kind::not_a_number, true, 0, leading_bit | quiet_bit); }

Extended larger_not_a_number(const Extended& a, const Extended& b) {
    if (a.kind != Kind::not_a_number) return b;
    if (b.kind != Kind::not_a_number) return a;
    if (a.significand != b.significand) return a.significand > b.significand ? a : b;
    return a.negative ? b : a;
}

int bit_width(Wide v) {
    const auto high = static_cast<std::uint64_t>(v >> 64);
    return high ? 64 + std::bit_width(high) : std::bit_width(static_cast<std::uint64_t>(v));
}

// v / 2^shift rounded to nearest, ties to even.
Wide shift_rounded(Wide v, int shift) {
    if (shift <= 0) return v;
    if (shift > 127) return 0;  // v < 2^128 <= half of 2^shift
    const Wide kept = v >> shift;
    const Wide dropped = v - (kept << shift);
    const Wide half = Wide{1} << (shift - 1);
    return dropped > half || (dropped == half && (kept & 1)) ? kept + 1 : kept;
}

// The finite value magnitude * 2^scale (magnitude > 0) rounded to a 64-bit
// significand. A magnitude whose bits below the kept 64 are not exact must
// carry a sticky 1 in a bit below the rounding bit.
Extended rounded(bool negative, Wide magnitude, int scale) {
    const int width = bit_width(magnitude);
    Wide kept = width > 64 ? shift_rounded(magnitude, width - 64) : magnitude << (64 - width);
    int exponent = scale + width - 1;
    if (kept >> 64) {  // rounded up to 2^64
        kept >>= 1;
        ++exponent;
    }
    return make(Kind::finite, negative, exponent, static_cast<std::uint64_t>(kept));
}

// The exact sum of two finite values of the given signs, rounded.
Extended add_finite(Extended a, Extended b) {
    if (a.exponent < b.exponent || (a.exponent == b.exponent && a.significand < b.significand)) std::swap(a, b);
    // Both significands sit 63 bits up, a's the larger: b's bits shifted out
    // beyond that room leave a sticky 1.
    const int distance = a.exponent - b.exponent;
    const Wide big = Wide{a.significand} << 63;
    const Wide b_up = Wide{b.significand} << 63;
    const int shift = distance < 127 ? distance : 127;
    Wide small = b_up >> shift;
    if ((small << shift) != b_up) small |= 1;
    if (a.negative == b.negative) return rounded(a.negative, big + small, a.exponent - 126);
    const Wide difference = big - small;
    if (difference == 0) return make(Kind::zero, false);  // x - x is +0 when rounding to nearest
    return rounded(a.negative, difference, a.exponent - 126);
}

}  // namespace

Extended::Extended(float f) {
    const auto b = std::bit_cast<std::uint32_t>(f);
    negative = b >> 31;
    const int field = (b >> 23) & 0xFF;
    const std::uint64_t mantissa = b & 0x7FFFFF;
    if (field == 0xFF) {
        kind = mantissa ? Kind::not_a_number : Kind::infinite;
        significand = mantissa ? leading_bit | quiet_bit | mantissa << 40 : leading_bit;
    } else if (field != 0) {
        kind = Kind::finite;
        exponent = field - 127;
        significand = leading_bit | mantissa << 40;
    } else if (mantissa != 0) {  // subnormal: mantissa * 2^-149
        kind = Kind::finite;
        const int width = std::bit_width(mantissa);
        exponent = width - 1 - 149;
        significand = mantissa << (64 - width);
    }
}

Extended::Extended(int n) {
    if (n == 0) return;
    negative = n < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    const int width = std::bit_width(magnitude);
    kind = Kind::finite;
    exponent = width - 1;
    significand = magnitude << (64 - width);
}

Extended::operator float() const {
    const std::uint32_t sign = std::uint32_t{negative} << 31;
    switch (kind) {
        case Kind::zero: return std::bit_cast<float>(sign);
        case Kind::infinite: return std::bit_cast<float>(sign | 0x7F800000u);
        case Kind::not_a_number:
            return std::bit_cast<float>(sign | 0x7F800000u | static_cast<std::uint32_t>(significand >> 40 & 0x7FFFFF));
        case Kind::finite: break;
    }
    // A normal float keeps 24 bits; below 2^-126 the bits end at 2^-149.
    // Rounding may carry into the exponent field: to the smallest normal
    // float from below, to infinity from the largest finite one.
    if (exponent > 127) return std::bit_cast<float>(sign | 0x7F800000u);
    const int below_normal = exponent < -126 ? -126 - exponent : 0;
    const auto kept = static_cast<std::uint32_t>(shift_rounded(significand, 40 + below_normal));
    const std::uint32_t field = below_normal ? 0 : static_cast<std::uint32_t>(exponent + 126);
    const std::uint32_t magnitude = (field << 23) + kept;
    return std::bit_cast<float>(sign | (magnitude >= 0x7F800000u ? 0x7F800000u : magnitude));
}

Extended operator+(const Extended& a, const Extended& b) {
    if (a.kind == Kind::not_a_number || b.kind == Kind::not_a_number) return larger_not_a_number(a, b);
    if (a.kind == Kind::infinite || b.kind == Kind::infinite) {
        if (a.kind == b.kind && a.negative != b.negative) return invalid();
        return a.kind == Kind::infinite ? a : b;
    }
    if (a.kind == Kind::zero) return b.kind == Kind::zero ? make(Kind::zero, a.negative && b.negative) : b;
    if (b.kind == Kind::zero) return a;
    return add_finite(a, b);
}

Extended operator-(const Extended& a, const Extended& b) {
    if (b.kind == Kind::not_a_number) return larger_not_a_number(a, b);
    Extended negated = b;
    negated.negative = !b.negative;
    return a + negated;
}

Extended operator*(const Extended& a, const Extended& b) {
    if (a.kind == Kind::not_a_number || b.kind == Kind::not_a_number) return larger_not_a_number(a, b);
    const bool negative = a.negative != b.negative;
    if (a.kind == Kind::infinite || b.kind == Kind::infinite) {
        if (a.kind == Kind::zero || b.kind == Kind::zero) return invalid();
        return make(Kind::infinite, negative, 0, leading_bit);
    }
    if (a.kind == Kind::zero || b.kind == Kind::zero) return make(Kind::zero, negative);
    return rounded(negative, Wide{a.significand} * b.significand, a.exponent + b.exponent - 126);
}

Extended operator/(const Extended& a, const Extended& b) {
    if (a.kind == Kind::not_a_number || b.kind == Kind::not_a_number) return larger_not_a_number(a, b);
    const bool negative = a.negative != b.negative;
    if (a.kind == b.kind && (a.kind == Kind::infinite || a.kind == Kind::zero)) return invalid();
    if (a.kind == Kind::infinite || b.kind == Kind::zero) return make(Kind::infinite, negative, 0, leading_bit);
    if (a.kind == Kind::zero || b.kind == Kind::infinite) return make(Kind::zero, negative);
    // a.significand * 2^64 / b.significand has 64 or 65 bits; two more from
    // the remainder, and below them a sticky 1 for what is left, keep the
    // rounding exact.
    const Wide numerator = Wide{a.significand} << 64;
    const Wide quotient = numerator / b.significand;
    const Wide remainder = (numerator - quotient * b.significand) << 2;
    const Wide more = remainder / b.significand;
    const bool inexact = remainder != more * b.significand;
    return rounded(negative, (quotient << 2 | more) << 1 | Wide{inexact}, a.exponent - b.exponent - 67);
}

Extended sqrt(const Extended& a) {
    switch (a.kind) {
        case Kind::not_a_number:
        case Kind::zero: return a;
        case Kind::infinite: return a.negative ? invalid() : a;
        case Kind::finite:
            if (a.negative) return invalid();
            break;
    }
    // The significand shifted up by 63 or 64 bits, so that what remains of
    // the scale is even: its root has exactly 64 bits.
    const int scale = a.exponent - 63;
    const int up = (scale - 63) % 2 == 0 ? 63 : 64;
    Wide remainder = Wide{a.significand} << up;
    Wide root = 0;
    for (Wide bit = Wide{1} << 126; bit != 0; bit >>= 2) {
        if (remainder >= root + bit) {
            remainder -= root + bit;
            root = (root >> 1) + bit;
        } else {
            root >>= 1;
        }
    }
    // The exact root is never half-way between two 64-bit values; it lies
    // above root + 1/2 exactly when the remainder exceeds root. Rounding up
    // never reaches 2^64: that would need 2^128 - 2^64 + 1 under the root.
    if (remainder > root) ++root;
    return make(Kind::finite, false, (scale - up) / 2 + 63, static_cast<std::uint64_t>(root));
}
