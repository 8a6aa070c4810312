// The fast engine's span kernels: the depth pre-pass and the pixel shading
// of whole runs, several pixels per instruction. For every pixel they give
// exactly the bits of the walk's own per-pixel steps (DepthValue and
// shade_pixel): the same single-precision operations in the same order,
// signed zeros, infinities and NaNs included, the same conversions and
// saturations. One kernel per instruction set, each in its own file with its
// own compile flags; which one runs is chosen once, at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "scene/estimates.h"
#include "scene/scene_data.h"

// One run of one face on one row, after clipping: `count` pixels from the
// pixel at index `first` of both buffers. Pixel k's normal is `normal` with
// `normal_step` added k times, each sum rounded; its attribute vector (u, v,
// depth, spare) likewise.
struct ShadeRun {
    Vec4 normal;
    Vec4 normal_step;
    Vec4 attributes;
    Vec4 attribute_step;
    std::uint32_t first;
    std::int32_t count;  // at least 1
};

// A texture of at most 16 colours, numbered, for kernels that look a
// texel's channels up by its colour's number rather than take its bytes
// apart: each colour's channels as floats, and for each texel at (i, j) the
// numbers of its footprint's four colours, 4 bits each from the lowest:
// (i, j), (i + 1, j), (i, j + 1), (i + 1, j + 1). A neighbour past the
// texture's last texel has the number 0; no footprint reaches one.
struct NumberedTexture {
    alignas(64) float channel[3][palette_entries];  // blue, green, red
    // One spare entry, so that a 32-bit read at the last texel's stays
    // within the array.
    alignas(64) std::uint16_t footprint[texel_count + 1];
};

// Numbers the colours of 128 x 128 texels in their order of appearance;
// false, leaving `numbered` in an unspecified state, where they have more
// than 16 colours.
bool number_texture(const std::uint32_t* texels, NumberedTexture* numbered);

struct RunBuffers {
    std::uint32_t* frame;
    float* depth;
    const std::uint32_t* texels;  // 128 x 128
    // The same texels numbered, where they have at most 16 colours; kernels
    // that can look colours up read these instead.
    const NumberedTexture* numbered = nullptr;
};

struct SpanKernels {
    const char* name;
    // The depth pre-pass over the runs, in order: each pixel's depth is
    // stored where it is strictly nearer than the stored one.
    void (*store_depths)(const ShadeRun* runs, int count, float* depth);
    // Adds the lit, textured colour of every pixel of the runs into the frame
    // buffer; reads the depth buffer and the texture, writes nothing else.
    void (*shade)(const ShadeRun* runs, int count, const RunBuffers& buffers);
};

enum class InstructionSet { sse3, avx2, avx512, neon, simd128 };

const char* instruction_set_name(InstructionSet set);

// The instruction sets this build has kernels for, the architecture's
// baseline first: sse3, avx2 and avx512 on x86-64, neon on ARM64, simd128 on
// WebAssembly.
std::span<const InstructionSet> built_instruction_sets();

// The kernels of an instruction set with an arithmetic; the processor must
// offer the set.
const SpanKernels& span_kernels(InstructionSet set, Estimates estimates = default_estimates);

// The shading walk's own per-pixel steps over runs: the yardstick the
// kernels are checked against. per_pixel_span_kernels has the default
// arithmetic.
extern const SpanKernels per_pixel_span_kernels;
const SpanKernels& per_pixel_span_kernels_of(Estimates estimates);

// Whether the processor and the operating system offer the instruction set's
// instructions and saved register state. Says nothing about the estimates.
bool processor_offers(InstructionSet set);

// x86 only, where the estimates are the processor's own:
// fills out[i] with the processor's reciprocal square root estimate of in[i].
using EstimateFunction = void (*)(const float* in, float* out, std::size_t count);
void four_lane_rsqrt_estimates(const float* in, float* out, std::size_t count);
// needs AVX2; AVX-512's kernel takes this estimate too, on each half
void eight_lane_rsqrt_estimates(const float* in, float* out, std::size_t count);

// Whether two estimate functions agree, to the bit, on one input of every
// class the estimate's table tells apart (every mantissa with both exponent
// parities, 2^24 values) and on zeros, infinities, NaNs and subnormals.
bool estimates_agree(EstimateFunction wide, EstimateFunction narrow);

// Whether the kernel of the set may be used here with the arithmetic: built
// for this architecture, offered by the processor, and for AVX2 and AVX-512
// with the x86 estimates, the eight-lane estimate equals the four-lane one.
// Checked once; the answer is kept.
bool instruction_set_usable(InstructionSet set, Estimates estimates = default_estimates);

// The widest set whose kernel gives the four-lane bits: the widest the
// processor offers (AVX-512 offered implies AVX2) when its eight-lane
// estimate agrees with the four-lane one, SSE3 otherwise. (x86 only.)
InstructionSet choose_instruction_set(InstructionSet widest_offered, EstimateFunction wide, EstimateFunction narrow);

// The widest set whose kernel gives the four-lane bits here with the
// arithmetic: with ieee, the widest the processor offers; with x86,
// choose_instruction_set for this processor, checked once. On ARM64 neon, on
// WebAssembly simd128.
InstructionSet best_instruction_set(Estimates estimates = default_estimates);
