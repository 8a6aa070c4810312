// The four-lane intrinsics the core is written with give x86's results on
// every processor: natively on x86, through SIMDe elsewhere. Each case is one
// that the other processors' own instructions answer differently: min and max
// of a NaN or of two zeros, conversions of NaNs and of values out of range,
// ties, saturation, subnormals; and the floating-point control each drawing
// thread sets.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

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
