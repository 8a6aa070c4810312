#include "raster/span_kernels.h"

#include <bit>
#include <vector>

#include "pipeline/depth_pass.h"
#include "raster/shade_pixel.h"
#include "raster/shading.h"
#include "raster/span_kernel_tables.h"
#include "raster/x86_features.h"
#include "scene/processor.h"
#include "scene/simd.h"

namespace {

ShadeValue run_values(const ShadeRun& run) { return {_mm_load_ps(run.normal.lane), _mm_load_ps(run.attributes.lane)}; }
ShadeValue run_steps(const ShadeRun& run) {
    return {_mm_load_ps(run.normal_step.lane), _mm_load_ps(run.attribute_step.lane)};
}

void per_pixel_store_depths(const ShadeRun* runs, int count, float* depth) {
    for (const ShadeRun* run = runs; run != runs + count; ++run) {
        float* element = depth + run->first;
        const Span<DepthValue> span{0, 0, run->count, {run->attributes.lane[2]}, {run->attribute_step.lane[2]}};
        walk_span(span, [&](std::int32_t k, const DepthValue& value) {
            if (value.z < element[k]) element[k] = value.z;
        });
    }
}

template <Estimates E> void per_pixel_shade(const ShadeRun* runs, int count, const RunBuffers& buffers) {
    for (const ShadeRun* run = runs; run != runs + count; ++run) {
        std::uint32_t* pixels = buffers.frame + run->first;
        const float* stored = buffers.depth + run->first;
        const Span<ShadeValue> span{0, 0, run->count, run_values(*run), run_steps(*run)};
        walk_span(span, [&](std::int32_t k, const ShadeValue& value) {
            shade_pixel<E>(value.normal, value.attributes, stored[k], pixels + k, buffers.texels);
        });
    }
}

#if OMBRASTEL_X86
constexpr InstructionSet built_sets[] = {InstructionSet::sse3, InstructionSet::avx2, InstructionSet::avx512};
#elif OMBRASTEL_ARM64
constexpr InstructionSet built_sets[] = {InstructionSet::neon};
#elif OMBRASTEL_WASM
constexpr InstructionSet built_sets[] = {InstructionSet::simd128};
#endif

#if OMBRASTEL_X86
const SpanKernels per_pixel_x86_span_kernels = {"per-pixel", per_pixel_store_depths, per_pixel_shade<Estimates::x86>};
#endif
const SpanKernels per_pixel_ieee_span_kernels = {"per-pixel-ieee", per_pixel_store_depths,
                                                 per_pixel_shade<Estimates::ieee>};

}  // namespace

bool number_texture(const std::uint32_t* texels, NumberedTexture* numbered) {
    std::uint32_t colours[palette_entries];
    int colour_count = 0;
    auto number_of = [&](std::uint32_t colour) {
        for (int n = 0; n < colour_count; ++n)
            if (colours[n] == colour) return n;
        if (colour_count == palette_entries) return -1;
        colours[colour_count] = colour;
        return colour_count++;
    };
    // Each texel's own number first, in the low 4 bits of its footprint, then
    // its neighbours' from theirs.
    for (int k = 0; k < texel_count; ++k) {
        const int number = number_of(texels[k]);
        if (number < 0) return false;
        numbered->footprint[k] = static_cast<std::uint16_t>(number);
    }
    for (int k = 0; k < texel_count; ++k) {
        auto own = [&](int at) { return at < texel_count ? numbered->footprint[at] & 0xFu : 0u; };
        numbered->footprint[k] = static_cast<std::uint16_t>(own(k) | own(k + 1) << 4 | own(k + texture_size) << 8 |
                                                            own(k + texture_size + 1) << 12);
    }
    numbered->footprint[texel_count] = 0;
    for (int n = 0; n < palette_entries; ++n)
        for (int c = 0; c < 3; ++c)
            numbered->channel[c][n] = n < colour_count ? static_cast<float>(colours[n] >> 8 * c & 0xFFu) : 0.0f;
    return true;
}

const SpanKernels per_pixel_span_kernels = {"per-pixel", per_pixel_store_depths, per_pixel_shade<default_estimates>};

const SpanKernels& per_pixel_span_kernels_of([[maybe_unused]] Estimates estimates) {
#if OMBRASTEL_X86
    if (estimates == Estimates::x86) return per_pixel_x86_span_kernels;
#endif
    return per_pixel_ieee_span_kernels;
}

const char* instruction_set_name(InstructionSet set) {
    switch (set) {
        case InstructionSet::avx2: return "avx2";
        case InstructionSet::avx512: return "avx512";
        case InstructionSet::neon: return "neon";
        case InstructionSet::simd128: return "simd128";
        default: return "sse3";
    }
}

std::span<const InstructionSet> built_instruction_sets() { return built_sets; }

#if OMBRASTEL_X86

const SpanKernels& span_kernels(InstructionSet set, Estimates estimates) {
    const bool ieee = estimates == Estimates::ieee;
    switch (set) {
        case InstructionSet::avx2: return ieee ? avx2_ieee_span_kernel_table : avx2_span_kernel_table;
        case InstructionSet::avx512: return ieee ? avx512_ieee_span_kernel_table : avx512_span_kernel_table;
        default: return ieee ? sse3_ieee_span_kernel_table : sse3_span_kernel_table;
    }
}

bool processor_offers(InstructionSet set) {
    static const X86Features features = read_x86_features();
    static const bool avx2 = avx2_usable(features), avx512 = avx512_usable(features);
    switch (set) {
        case InstructionSet::avx2: return avx2;
        case InstructionSet::avx512: return avx512;
        case InstructionSet::sse3: return true;  // the build's baseline
        default: return false;
    }
}

bool estimates_agree(EstimateFunction wide, EstimateFunction narrow) {
    // The estimate is read from a table indexed by the exponent's lowest bit
    // and the leading mantissa bits: every mantissa with an even and an odd
    // exponent covers every entry, and then some.
    constexpr std::size_t chunk = 1 << 16;
    std::vector<float> inputs(chunk), wide_out(chunk), narrow_out(chunk);
    for (const std::uint32_t exponent : {126u, 127u}) {
        for (std::uint32_t first = 0; first < (1u << 23); first += chunk) {
            for (std::size_t i = 0; i < chunk; ++i)
                inputs[i] = std::bit_cast<float>(exponent << 23 | (first + static_cast<std::uint32_t>(i)));
            wide(inputs.data(), wide_out.data(), chunk);
            narrow(inputs.data(), narrow_out.data(), chunk);
            for (std::size_t i = 0; i < chunk; ++i)
                if (std::bit_cast<std::uint32_t>(wide_out[i]) != std::bit_cast<std::uint32_t>(narrow_out[i]))
                    return false;
        }
    }
    const std::uint32_t special[] = {0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u,
                                     0x00000001u, 0x007FFFFFu, 0x00800000u, 0x7F7FFFFFu, 0xBF800000u, 0x3F800000u,
                                     0x01000000u, 0x7E800000u, 0x00400000u, 0x80000001u};
    constexpr std::size_t special_count = sizeof special / sizeof special[0];
    for (std::size_t i = 0; i < special_count; ++i) inputs[i] = std::bit_cast<float>(special[i]);
    wide(inputs.data(), wide_out.data(), special_count);
    narrow(inputs.data(), narrow_out.data(), special_count);
    for (std::size_t i = 0; i < special_count; ++i)
        if (std::bit_cast<std::uint32_t>(wide_out[i]) != std::bit_cast<std::uint32_t>(narrow_out[i])) return false;
    return true;
}

InstructionSet choose_instruction_set(InstructionSet widest_offered, EstimateFunction wide, EstimateFunction narrow) {
    return widest_offered != InstructionSet::sse3 && estimates_agree(wide, narrow) ? widest_offered
                                                                                   : InstructionSet::sse3;
}

InstructionSet best_instruction_set(Estimates estimates) {
    // A square root and a division give the same bits at every width.
    static const InstructionSet widest_offered = processor_offers(InstructionSet::avx512) ? InstructionSet::avx512
                                                 : processor_offers(InstructionSet::avx2) ? InstructionSet::avx2
                                                                                          : InstructionSet::sse3;
    if (estimates == Estimates::ieee) return widest_offered;
    static const InstructionSet best =
        choose_instruction_set(widest_offered, eight_lane_rsqrt_estimates, four_lane_rsqrt_estimates);
    return best;
}

bool instruction_set_usable(InstructionSet set, Estimates estimates) {
    if (set == InstructionSet::sse3) return true;
    // A square root and a division give the same bits at every width; the
    // wide kernels' x86 estimate stands or falls with the one eight-lane
    // estimate.
    if (estimates == Estimates::ieee) return processor_offers(set);
    return processor_offers(set) && best_instruction_set(Estimates::x86) != InstructionSet::sse3;
}

#else

// ARM64 and WebAssembly: one four-lane set, part of the build's baseline
// (Advanced SIMD; SIMD128, without which the module does not load), and
// ieee the only arithmetic.
namespace {
#if OMBRASTEL_ARM64
constexpr InstructionSet only_set = InstructionSet::neon;
const SpanKernels& only_table() { return neon_span_kernel_table; }
#else
constexpr InstructionSet only_set = InstructionSet::simd128;
const SpanKernels& only_table() { return simd128_span_kernel_table; }
#endif
}  // namespace

const SpanKernels& span_kernels(InstructionSet, Estimates) { return only_table(); }
bool processor_offers(InstructionSet set) { return set == only_set; }
bool instruction_set_usable(InstructionSet set, Estimates estimates) {
    return set == only_set && estimates == Estimates::ieee;
}
InstructionSet best_instruction_set(Estimates) { return only_set; }

#endif
