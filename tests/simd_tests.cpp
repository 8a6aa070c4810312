// The four-lane intrinsics the core is written with give x86's results on
// every processor: natively on x86, through SIMDe elsewhere (on WebAssembly
// with scene/simd.h's own min, max and conversions, which its span kernel
// uses too). Each case is one that the other processors' own instructions
// answer differently: min and max of a NaN or of two zeros, conversions of
// NaNs and of values out of range (also against a model of x86's rule worked
// out from the floats' bits, which shares no conversion with them), ties,
// saturation, subnormals; and the floating-point control each drawing thread
// sets.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "raster/shading.h"
#include "scene/float_control.h"
#include "scene/processor.h"
#include "scene/simd.h"

namespace {

using Floats = std::array<float, 4>;
using Words = std::array<std::uint32_t, 4>;
using Ints = std::array<std::int32_t, 4>;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr std::int32_t indefinite = std::numeric_limits<std::int32_t>::min();  // 0x80000000

// Through memory that the compiler cannot see into, so that every operation
// runs on the processor under the thread's floating-point control: an empty
// statement that may have written it stands between. (Volatile lanes do not
// do on every compiler: clang 14 for WebAssembly loads a vector's first lane
// again, not volatile, past later stores to the same place.)
void hidden_from_the_compiler(void* memory) { __asm__ volatile("" : : "r"(memory) : "memory"); }

__m128 load(const Floats& lanes) {
    alignas(16) float held[4] = {lanes[0], lanes[1], lanes[2], lanes[3]};
    hidden_from_the_compiler(held);
    return _mm_load_ps(held);
}

__m128i load_ints(const Ints& lanes) {
    alignas(16) std::int32_t held[4] = {lanes[0], lanes[1], lanes[2], lanes[3]};
    hidden_from_the_compiler(held);
    return _mm_load_si128(reinterpret_cast<const __m128i*>(held));
}

Words bits_of(__m128 v) {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, v);
    return {std::bit_cast<std::uint32_t>(lanes[0]), std::bit_cast<std::uint32_t>(lanes[1]),
            std::bit_cast<std::uint32_t>(lanes[2]), std::bit_cast<std::uint32_t>(lanes[3])};
}

Words bits_of(const Floats& lanes) {
    return {std::bit_cast<std::uint32_t>(lanes[0]), std::bit_cast<std::uint32_t>(lanes[1]),
            std::bit_cast<std::uint32_t>(lanes[2]), std::bit_cast<std::uint32_t>(lanes[3])};
}

Ints ints_of(__m128i v) {
    alignas(16) std::int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return {lanes[0], lanes[1], lanes[2], lanes[3]};
}

TEST(FourLanes, MinAndMaxGiveTheSecondOperandForANaNOrTwoZeros) {
    const Floats a = {nan, 1.0f, +0.0f, -0.0f};
    const Floats b = {1.0f, nan, -0.0f, +0.0f};
    EXPECT_EQ(bits_of(_mm_min_ps(load(a), load(b))), bits_of(b));
    EXPECT_EQ(bits_of(_mm_max_ps(load(a), load(b))), bits_of(b));
    // And otherwise the smaller and the larger, infinities and subnormals
    // included.
    const Floats c = {-infinity, 2.0f, 1e-45f, -3.0f};
    const Floats d = {infinity, -2.0f, 0.0f, -1e-45f};
    EXPECT_EQ(bits_of(_mm_min_ps(load(c), load(d))), bits_of(Floats{-infinity, -2.0f, 0.0f, -3.0f}));
    EXPECT_EQ(bits_of(_mm_max_ps(load(c), load(d))), bits_of(Floats{infinity, 2.0f, 1e-45f, -1e-45f}));
}

TEST(FourLanes, ConversionsOfNaNsAndOfValuesOutOfRangeGive0x80000000) {
    const Floats out_of_range = {nan, infinity, 2147483648.0f, -2147483904.0f};
    EXPECT_EQ(ints_of(_mm_cvtps_epi32(load(out_of_range))), (Ints{indefinite, indefinite, indefinite, indefinite}));
    EXPECT_EQ(ints_of(_mm_cvttps_epi32(load(out_of_range))), (Ints{indefinite, indefinite, indefinite, indefinite}));
    const Floats huge = {-infinity, 3e9f, -3e9f, -nan};
    EXPECT_EQ(ints_of(_mm_cvtps_epi32(load(huge))), (Ints{indefinite, indefinite, indefinite, indefinite}));
    EXPECT_EQ(ints_of(_mm_cvttps_epi32(load(huge))), (Ints{indefinite, indefinite, indefinite, indefinite}));
    // The ends of the range convert.
    const Floats ends = {2147483520.0f, -2147483648.0f, -2147483520.0f, 0.0f};
    EXPECT_EQ(ints_of(_mm_cvtps_epi32(load(ends))), (Ints{2147483520, indefinite, -2147483520, 0}));
    EXPECT_EQ(ints_of(_mm_cvttps_epi32(load(ends))), (Ints{2147483520, indefinite, -2147483520, 0}));
}

// x86's conversion of a float to a 32-bit integer, worked out from the
// float's bits with integer arithmetic alone, so that it shares nothing
// with any processor's conversion: a NaN, an infinity or a value whose
// integer is out of range gives 0x80000000; otherwise the integer nearest
// (ties to even) or toward zero.
std::int32_t x86_conversion(std::uint32_t bits, bool rounding) {
    const bool negative = (bits >> 31) != 0;
    const int exponent = static_cast<int>((bits >> 23) & 0xFF);
    const std::uint64_t mantissa = bits & 0x7FFFFFu;
    if (exponent == 0xFF) return indefinite;  // a NaN or an infinity
    // The value is significand * 2^shift, the significand with its leading 1
    // unless subnormal.
    const std::uint64_t significand = exponent == 0 ? mantissa : (mantissa | 0x800000u);
    const int shift = (exponent == 0 ? 1 : exponent) - 150;
    std::uint64_t magnitude = 0;
    if (shift >= 0) {
        if (shift > 40) return indefinite;  // far above 2^31
        magnitude = significand << shift;
    } else if (shift > -32) {
        magnitude = significand >> -shift;
        const std::uint64_t rest = significand - (magnitude << -shift);
        const std::uint64_t half = std::uint64_t{1} << (-shift - 1);
        if (rounding && (rest > half || (rest == half && (magnitude & 1) != 0))) ++magnitude;
    }  // and below 2^-8 (a significand below 2^24 shifted 32 places down) it is 0 either way
    if (magnitude > (negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1)) return indefinite;
    return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                    : static_cast<std::int32_t>(magnitude);
}

// Both conversions that the kernels and the per-pixel shading use, against
// that model: floats spread over every sign and exponent, NaNs of every
// kind among them, and the values around each power of two and each tie
// where a conversion is likeliest to go wrong.
TEST(FourLanes, ConversionsGiveWhatTheFloatsBitsSay) {
    std::vector<std::uint32_t> patterns;
    // Every 65521st pattern (a prime step: every exponent, sign and many
    // mantissas, quiet and signalling NaNs of both signs among them).
    for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 65521)
        patterns.push_back(static_cast<std::uint32_t>(bits));
    for (std::uint32_t sign : {0u, 0x80000000u}) {
        for (std::uint32_t nan_bits : {0x7FC00000u, 0x7F800001u, 0x7FFFFFFFu, 0x7FA00000u})
            patterns.push_back(sign | nan_bits);
        for (std::uint32_t exponent = 0; exponent < 0xFF; ++exponent)
            for (std::uint32_t mantissa : {0u, 1u, 0x3FFFFFu, 0x400000u, 0x400001u, 0x7FFFFFu})
                patterns.push_back(sign | exponent << 23 | mantissa);
    }
    for (float tie = -40.5f; tie <= 40.5f; tie += 1.0f) patterns.push_back(std::bit_cast<std::uint32_t>(tie));
    while (patterns.size() % 4 != 0) patterns.push_back(0);

    int nans = 0, wrong = 0;
    for (std::size_t i = 0; i < patterns.size(); i += 4) {
        const Floats lanes = {std::bit_cast<float>(patterns[i]), std::bit_cast<float>(patterns[i + 1]),
                              std::bit_cast<float>(patterns[i + 2]), std::bit_cast<float>(patterns[i + 3])};
        const Ints rounded = ints_of(_mm_cvtps_epi32(load(lanes)));
        const Ints truncated = ints_of(_mm_cvttps_epi32(load(lanes)));
        for (int lane = 0; lane < 4; ++lane) {
            const std::uint32_t bits = patterns[i + static_cast<std::size_t>(lane)];
            nans += std::isnan(lanes[static_cast<std::size_t>(lane)]) ? 1 : 0;
            const std::int32_t want_rounded = x86_conversion(bits, true);
            const std::int32_t want_truncated = x86_conversion(bits, false);
            if (rounded[static_cast<std::size_t>(lane)] != want_rounded ||
                truncated[static_cast<std::size_t>(lane)] != want_truncated) {
                if (++wrong <= 10)
                    ADD_FAILURE() << std::hex << "float bits 0x" << bits << ": rounded 0x"
                                  << rounded[static_cast<std::size_t>(lane)] << ", wanted 0x" << want_rounded
                                  << "; truncated 0x" << truncated[static_cast<std::size_t>(lane)] << ", wanted 0x"
                                  << want_truncated;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "of " << patterns.size() << " floats";
    EXPECT_GT(nans, 200) << "NaNs among the floats";
}

TEST(FourLanes, RoundingConversionTakesTiesToEvenAndTruncationCutsTowardZero) {
    const Floats ties = {2.5f, 3.5f, -2.5f, -0.5f};
    EXPECT_EQ(ints_of(_mm_cvtps_epi32(load(ties))), (Ints{2, 4, -2, 0}));
    EXPECT_EQ(ints_of(_mm_cvttps_epi32(load(ties))), (Ints{2, 3, -2, 0}));
    const Floats near = {2.4999998f, -2.9f, 1e-45f, 123.99999f};
    EXPECT_EQ(ints_of(_mm_cvtps_epi32(load(near))), (Ints{2, -3, 0, 124}));
    EXPECT_EQ(ints_of(_mm_cvttps_epi32(load(near))), (Ints{2, -2, 0, 123}));
}

TEST(FourLanes, PacksAndByteAdditionSaturate) {
    const __m128i words = _mm_packs_epi32(load_ints({70000, -70000, 255, -1}), load_ints({300, 0, 32767, -32768}));
    const __m128i bytes = _mm_packus_epi16(words, words);
    // 32767, -32768, 255, -1, 300, 0, 32767, -32768 as unsigned bytes.
    EXPECT_EQ(static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes)), 0x00FF00FFu);
    EXPECT_EQ(static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 4))), 0x00FF00FFu);
    const __m128i sum = _mm_adds_epu8(load_ints({0x00C08040, 0, 0, 0}), load_ints({0x00808080, 0, 0, 0}));
    EXPECT_EQ(static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum)), 0x00FFFFC0u);
}

TEST(FourLanes, HorizontalAdditionPairsNeighbours) {
    const Floats a = {1.0f, 1e-8f, -0.0f, -0.0f};
    const Floats b = {1e30f, -1e30f, 3.0f, nan};
    const Words sums = bits_of(_mm_hadd_ps(load(a), load(b)));
    EXPECT_EQ(sums[0], std::bit_cast<std::uint32_t>(1.0f));  // 1 + 1e-8 rounds to 1
    EXPECT_EQ(sums[1], std::bit_cast<std::uint32_t>(-0.0f));
    EXPECT_EQ(sums[2], std::bit_cast<std::uint32_t>(0.0f));
    EXPECT_EQ(sums[3] & 0x7F800000u, 0x7F800000u);  // a NaN: the largest exponent ...
    EXPECT_NE(sums[3] & 0x007FFFFFu, 0u);           // ... and a mantissa
}

TEST(FourLanes, DivisionAndSquareRootAreCorrectlyRounded) {
    const Words quotients = bits_of(_mm_div_ps(load({1.0f, 1.0f, 2.0f, 1.0f}), load({3.0f, 0.0f, 7.0f, -0.0f})));
    EXPECT_EQ(quotients, bits_of(Floats{1.0f / 3.0f, infinity, 2.0f / 7.0f, -infinity}));
    const Words roots = bits_of(_mm_sqrt_ps(load({2.0f, 0.0f, -0.0f, 1e-45f})));
    EXPECT_EQ(roots[0], 0x3FB504F3u);  // sqrt(2), rounded to nearest
    EXPECT_EQ(roots[1], 0x00000000u);
    EXPECT_EQ(roots[2], 0x80000000u);
    EXPECT_EQ(roots[3], std::bit_cast<std::uint32_t>(std::sqrt(1e-45f)));  // of a subnormal
}

// WebAssembly has no floating-point control: nothing can make it flush
// subnormals, and use_default_float_control has nothing to set there.
#if !OMBRASTEL_WASM
// Sets a control that flushes subnormal results and inputs to zero, as a
// library on the thread might have left it.
void flush_subnormals() {
#if OMBRASTEL_X86
    _mm_setcsr(0x9FC0u);  // FTZ and DAZ, all exceptions masked
#elif OMBRASTEL_ARM64
    __asm__ volatile("msr fpcr, %0" : : "r"(std::uint64_t{1} << 24));  // FZ
#endif
}

TEST(FloatControl, TheDrawingThreadsControlKeepsSubnormals) {
    const Floats tiny = {0x1p-100f, 0x1p-130f, -0x1p-100f, 1.0f};
    const Floats scale = {0x1p-30f, 1.0f, 0x1p-30f, 0x1p-149f};
    flush_subnormals();
    const Words flushed = bits_of(_mm_mul_ps(load(tiny), load(scale)));
    use_default_float_control();
    const Words kept = bits_of(_mm_mul_ps(load(tiny), load(scale)));
    // Under the flushing control every one of these products is a zero ...
    EXPECT_EQ(flushed, (Words{0x00000000u, 0x00000000u, 0x80000000u, 0x00000000u}));
    // ... and under the default one the subnormal it is.
    EXPECT_EQ(kept, bits_of(Floats{0x1p-130f, 0x1p-130f, -0x1p-130f, 0x1p-149f}));
}
#endif

}  // namespace
