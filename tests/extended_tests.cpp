// The model preparation's extended-precision arithmetic against the x87's own
// 80-bit long double, bit for bit: every operation and both conversions, on
// random values, values built to land on ties, the float range's edges,
// zeros, infinities and not-a-numbers. Only where long double is the x87's
// format; elsewhere the pinned bits of prepared_model_bits.cpp stand in.
#include <cfloat>

#include "scene/processor.h"

#if LDBL_MANT_DIG == 64 && OMBRASTEL_X86

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "scene/extended.h"

namespace {

using Kind = Extended::Kind;

// The 80 bits of an x87 value: the significand with its explicit leading
// bit, then sign and 15-bit biased exponent.
struct X87Bits {
    std::uint64_t significand;
    std::uint16_t sign_exponent;
    bool operator==(const X87Bits&) const = default;
};

X87Bits x87_bits(long double x) {
    X87Bits b;
    std::memcpy(&b.significand, &x, 8);
    std::memcpy(&b.sign_exponent, reinterpret_cast<const char*>(&x) + 8, 2);
    return b;
}

long double from_x87_bits(const X87Bits& b) {
    long double x = 0;
    std::memcpy(&x, &b.significand, 8);
    std::memcpy(reinterpret_cast<char*>(&x) + 8, &b.sign_exponent, 2);
    return x;
}

X87Bits x87_bits(const Extended& x) {
    const auto sign = static_cast<std::uint16_t>(x.negative ? 0x8000 : 0);
    switch (x.kind) {
        case Kind::zero: return {0, sign};
        case Kind::infinite: return {std::uint64_t{1} << 63, static_cast<std::uint16_t>(sign | 0x7FFF)};
        case Kind::not_a_number: return {x.significand, static_cast<std::uint16_t>(sign | 0x7FFF)};
        case Kind::finite: break;
    }
    EXPECT_GT(x.exponent, -16383) << "below the 80-bit range";
    EXPECT_LT(x.exponent, 16384) << "above the 80-bit range";
    return {x.significand, static_cast<std::uint16_t>(sign | (x.exponent + 16383))};
}

std::string shown(const X87Bits& b) {
    char text[40];
    std::snprintf(text, sizeof text, "%04X:%016llX", b.sign_exponent, static_cast<unsigned long long>(b.significand));
    return text;
}

std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

float random_float(std::uint64_t& state) {
    const std::uint64_t r = next_random(state);
    const auto b = static_cast<std::uint32_t>(r);
    switch (r >> 60) {
        case 0: return std::bit_cast<float>(b & 0x807FFFFF);  // subnormal or zero
        case 1: return std::bit_cast<float>((b & 0x80000000) | 0x7F800000 | (r >> 40 & 1 ? b & 0x7FFFFF : 0));
        case 2: return std::bit_cast<float>(b | 0x7E000000);  // huge, or not-a-number
        case 3: return std::bit_cast<float>(b & 0xFF800000);  // powers of two
        case 4:
        case 5:
            return std::bit_cast<float>((b & 0x80000000) | static_cast<std::uint32_t>(124 + r % 7) << 23 |
                                        (b & 0x7F0000));  // few bits, near 1
        default: return std::bit_cast<float>(b);
    }
}

// A significand with few bits set, where sums, products and quotients land
// exactly on ties, or one with all of them random.
std::uint64_t random_significand(std::uint64_t& state) {
    const std::uint64_t r = next_random(state);
    if (r & 1) return r | std::uint64_t{1} << 63;
    std::uint64_t s = std::uint64_t{1} << 63;
    for (int n = static_cast<int>(r >> 1 & 3); n >= 0; --n) s |= std::uint64_t{1} << (next_random(state) % 64);
    return s;
}

Extended random_extended(std::uint64_t& state, int exponent_low, int exponent_high) {
    const std::uint64_t r = next_random(state);
    if (r % 64 == 0) return Extended{random_float(state)};
    Extended x;
    x.kind = Kind::finite;
    x.negative = r >> 63;
    x.exponent = exponent_low + static_cast<int>(r >> 8 & 0xFFFF) % (exponent_high - exponent_low + 1);
    x.significand = random_significand(state);
    return x;
}

// Runs one operation both ways and compares the 80 bits; returns the result.
template <typename Software, typename Hardware> Extended check(const char* name, const Extended& a, const Extended& b,
                                                               Software software, Hardware hardware, int& failures) {
    const Extended got = software(a, b);
    const long double expected = hardware(from_x87_bits(x87_bits(a)), from_x87_bits(x87_bits(b)));
    if (!(x87_bits(got) == x87_bits(expected)) && ++failures <= 10)
        ADD_FAILURE() << name << " of " << shown(x87_bits(a)) << " and " << shown(x87_bits(b)) << ": got "
                      << shown(x87_bits(got)) << ", the x87 gives " << shown(x87_bits(expected));
    return got;
}

void check_float(const Extended& x, int& failures) {
    const float got = static_cast<float>(x);
    const float expected = static_cast<float>(from_x87_bits(x87_bits(x)));
    if (std::bit_cast<std::uint32_t>(got) != std::bit_cast<std::uint32_t>(expected) && ++failures <= 10)
        ADD_FAILURE() << "to float of " << shown(x87_bits(x)) << ": got " << std::hex
                      << std::bit_cast<std::uint32_t>(got) << ", the x87 gives "
                      << std::bit_cast<std::uint32_t>(expected);
}

// Every operation on the pair, and every result back to float.
void check_all(const Extended& a, const Extended& b, int& failures) {
    const Extended results[] = {
        check(
            "sum", a, b, [](auto x, auto y) { return x + y; }, [](auto x, auto y) { return x + y; }, failures),
        check(
            "difference", a, b, [](auto x, auto y) { return x - y; }, [](auto x, auto y) { return x - y; }, failures),
        check(
            "product", a, b, [](auto x, auto y) { return x * y; }, [](auto x, auto y) { return x * y; }, failures),
        check(
            "quotient", a, b, [](auto x, auto y) { return x / y; }, [](auto x, auto y) { return x / y; }, failures),
        check(
            "root", a, b, [](const Extended& x, const Extended&) { return sqrt(x); },
            [](long double x, long double) { return std::sqrt(x); }, failures),
    };
    for (const Extended& r : results) check_float(r, failures);
}

TEST(ExtendedArithmetic, FloatsComeInExactly) {
    std::uint64_t state = 1;
    int failures = 0;
    for (int i = 0; i < 200000; ++i) {
        const float f = random_float(state);
        if (!(x87_bits(Extended{f}) == x87_bits(static_cast<long double>(f))) && ++failures <= 10)
            ADD_FAILURE() << "float " << std::hex << std::bit_cast<std::uint32_t>(f);
        check_float(Extended{f}, failures);
    }
    for (const int n : {0, 1, 2, 3, 5, 6, 7, 65535, -1, -3, 2147483647, -2147483647 - 1})
        EXPECT_EQ(x87_bits(Extended{n}), x87_bits(static_cast<long double>(n))) << n;
    EXPECT_EQ(failures, 0);
}

TEST(ExtendedArithmetic, OperationsOnFloats) {
    std::uint64_t state = 2;
    int failures = 0;
    for (int i = 0; i < 200000; ++i) check_all(Extended{random_float(state)}, Extended{random_float(state)}, failures);
    EXPECT_EQ(failures, 0);
}

TEST(ExtendedArithmetic, OperationsNearTies) {
    std::uint64_t state = 3;
    int failures = 0;
    for (int i = 0; i < 200000; ++i) {
        // Exponents a few dozen apart: the smaller operand's bits fall just
        // below the larger's last one.
        const Extended a = random_extended(state, -300, 300);
        Extended b = random_extended(state, -300, 300);
        if (a.kind == Kind::finite && b.kind == Kind::finite)
            b.exponent = a.exponent - static_cast<int>(next_random(state) % 140) + 70;
        check_all(a, b, failures);
    }
    EXPECT_EQ(failures, 0);
}

TEST(ExtendedArithmetic, RoundingToFloatAtTheEdgesOfItsRange) {
    std::uint64_t state = 4;
    int failures = 0;
    for (int i = 0; i < 200000; ++i) {
        Extended x = random_extended(state, -175, 130);
        // Every other time, the bits below the float's last one make a tie,
        // or miss it by the last of the 64 bits.
        if (x.kind == Kind::finite && i % 2) {
            const int shift = 40 + (x.exponent < -126 ? std::min(-126 - x.exponent, 23) : 0);
            const std::uint64_t r = next_random(state);
            const std::uint64_t kept_mask = ~std::uint64_t{0} << shift;
            x.significand = (x.significand & kept_mask) | std::uint64_t{1} << (shift - 1);
            if (r & 1) x.significand += r & 2 ? 1 : -1;
            x.significand |= std::uint64_t{1} << 63;
        }
        check_float(x, failures);
    }
    for (std::uint64_t significand :
         {~std::uint64_t{0}, std::uint64_t{0xFFFFFF7FFFFFFFFF}, std::uint64_t{0xFFFFFF8000000000}})
        for (int exponent : {127, -126, -127, -149, -150, -151}) {
            Extended x;
            x.kind = Kind::finite;
            x.exponent = exponent;
            x.significand = significand;
            check_float(x, failures);
        }
    EXPECT_EQ(failures, 0);
}

// Every distance between the exponents of two operands, with significands
// whose last bits decide a tie once they are shifted below the larger one's
// last bit.
TEST(ExtendedArithmetic, EveryExponentDistance) {
    const std::uint64_t top = std::uint64_t{1} << 63;
    const std::uint64_t significands[] = {top,           top | 1,           top | 2,       top | 3,
                                          top | 1 << 20, ~std::uint64_t{0}, top | top >> 1};
    int failures = 0;
    for (int distance = 0; distance <= 140; ++distance)
        for (const std::uint64_t a_significand : significands)
            for (const std::uint64_t b_significand : significands)
                for (const bool b_negative : {false, true}) {
                    Extended a, b;
                    a.kind = b.kind = Kind::finite;
                    a.significand = a_significand;
                    b.significand = b_significand;
                    b.exponent = -distance;
                    b.negative = b_negative;
                    check_all(a, b, failures);
                    check_all(b, a, failures);
                }
    EXPECT_EQ(failures, 0);
}

// Chains of operations, as the normals compute them: each result is an
// operand of later ones.
TEST(ExtendedArithmetic, ChainsOfOperations) {
    std::uint64_t state = 5;
    int failures = 0;
    Extended pool[16];
    for (Extended& x : pool) x = Extended{random_float(state)};
    for (int i = 0; i < 200000; ++i) {
        const Extended& a = pool[next_random(state) % 16];
        const Extended& b = pool[next_random(state) % 16];
        const Extended results[] = {
            check(
                "sum", a, b, [](auto x, auto y) { return x + y; }, [](auto x, auto y) { return x + y; }, failures),
            check(
                "difference", a, b, [](auto x, auto y) { return x - y; }, [](auto x, auto y) { return x - y; },
                failures),
            check(
                "product", a, b, [](auto x, auto y) { return x * y; }, [](auto x, auto y) { return x * y; }, failures),
            check(
                "quotient", a, b, [](auto x, auto y) { return x / y; }, [](auto x, auto y) { return x / y; }, failures),
            check(
                "root", a, b, [](const Extended& x, const Extended&) { return sqrt(x); },
                [](long double x, long double) { return std::sqrt(x); }, failures),
        };
        const std::uint64_t r = next_random(state);
        Extended next = results[r % 5];
        check_float(next, failures);
        // Keep the pool inside the 80-bit range, and fresh.
        if ((next.kind == Kind::finite && (next.exponent > 4000 || next.exponent < -4000)) || r % 8 == 0)
            next = Extended{random_float(state)};
        pool[(r >> 8) % 16] = next;
    }
    EXPECT_EQ(failures, 0);
}

TEST(ExtendedArithmetic, SpecialOperands) {
    const float specials[] = {0.0f,
                              -0.0f,
                              1.0f,
                              -1.0f,
                              std::bit_cast<float>(0x00000001u),
                              std::bit_cast<float>(0x807FFFFFu),
                              std::bit_cast<float>(0x7F7FFFFFu),
                              std::bit_cast<float>(0x7F800000u),
                              std::bit_cast<float>(0xFF800000u),
                              std::bit_cast<float>(0x7FC00000u),
                              std::bit_cast<float>(0xFFC00000u),
                              std::bit_cast<float>(0x7F800001u),  // signalling, quieted on the way in
                              std::bit_cast<float>(0xFFC00001u),
                              std::bit_cast<float>(0x7FC00001u)};
    int failures = 0;
    for (const float a : specials)
        for (const float b : specials) check_all(Extended{a}, Extended{b}, failures);
    EXPECT_EQ(failures, 0);
}

}  // namespace

#endif
