// Fuzz target for the span kernels: runs decoded from the input go through
// the walk's own per-pixel steps and through every kernel this processor can
// run, and the frame and depth buffers they leave must be the same to the
// bit.
//
// Each run is set up from two row ends and a band by the walk's own span
// set-up, so clipped runs come with the values the left clip gives them; or,
// for a kind byte that asks for it, taken as raw bits, so that the kernels
// also see steps and values no set-up would make. Lane values lean towards
// the hard cases: signed zeros, subnormals, infinities, NaNs, huge steps and
// texture coordinates at and beyond the clamp. Runs reach up to the whole
// buffer's width, so groups cut short at a run's end are covered.
//
// It stops the run (abort) on the first difference. Running it:
// scripts/fuzz.sh fuzzes it with fuzz_passes and fuzz_png, as many at a time
// as there are processors, for the same time.
//
// Input layout (missing bytes read as 0):
//   byte 0        number of runs, 1 to 4
//   per run       a kind byte, the left and right columns (2 bytes each), a
//                 band (first and end column, a byte each), then 16 lanes of
//                 the two ends (normal and attributes of each), each a kind
//                 byte and 4 bytes
//   then          a kind byte for the stored depths, 4 bytes of seed
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "app/startup.h"
#include "pipeline/face_walk.h"
#include "raster/shading.h"
#include "raster/span_kernels.h"
#include "scene/scene_data.h"

namespace {

constexpr int buffer_pixels = 700;

class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint16_t half() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::uint32_t word() { return std::uint32_t{half()} | std::uint32_t{half()} << 16; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

float lane(Reader& in, const float* earlier, int n) {
    const std::uint8_t kind = in.byte();
    const std::uint32_t raw = in.word();
    switch (kind % 6) {
        case 0: return std::bit_cast<float>(raw);
        case 1: {
            const float special[] = {0.0f,
                                     -0.0f,
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(),
                                     -std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::denorm_min(),
                                     -std::numeric_limits<float>::denorm_min(),
                                     std::numeric_limits<float>::min(),
                                     std::numeric_limits<float>::max(),
                                     -std::numeric_limits<float>::max(),
                                     124.0f,
                                     124.5f,
                                     127.0f,
                                     128.0f,
                                     -0.5f,
                                     -0.99999994f,
                                     -1.0f,
                                     1e-20f,
                                     1e20f,
                                     16777216.0f,
                                     2147483648.0f};
            return special[raw % std::size(special)];
        }
        case 2:
            if (n > 0) return earlier[raw % static_cast<std::uint32_t>(n)];
            [[fallthrough]];
        case 3:  // a normal component
            return static_cast<float>(static_cast<std::int16_t>(raw)) / 32768.0f;
        default:  // a texture coordinate or a depth
            return static_cast<float>(static_cast<std::int16_t>(raw)) / 128.0f;
    }
}

Vec4 vector_of(Reader& in, float* earlier, int* n) {
    Vec4 v;
    for (float& l : v.lane) {
        l = lane(in, earlier, *n);
        earlier[(*n)++] = l;
    }
    return v;
}

bool decode_run(Reader& in, ShadeRun* run) {
    const std::uint8_t kind = in.byte();
    const std::int32_t column_a = static_cast<std::int16_t>(in.half()) % (2 * buffer_pixels);
    const std::int32_t column_b = static_cast<std::int16_t>(in.half()) % (2 * buffer_pixels);
    std::int32_t first = in.byte() * buffer_pixels / 256, end = in.byte() * buffer_pixels / 256 + 1;
    if (first > end) std::swap(first, end);
    float earlier[16];
    int n = 0;
    const Vec4 normal_a = vector_of(in, earlier, &n), attributes_a = vector_of(in, earlier, &n);
    const Vec4 normal_b = vector_of(in, earlier, &n), attributes_b = vector_of(in, earlier, &n);
    if (kind % 4 == 0) {  // raw: the b end's vectors are the steps
        run->normal = normal_a;
        run->attributes = attributes_a;
        run->normal_step = normal_b;
        run->attribute_step = attributes_b;
        run->first = static_cast<std::uint32_t>(std::min(std::abs(column_a), buffer_pixels - 1));
        run->count = 1 + std::abs(column_b) % (buffer_pixels - static_cast<std::int32_t>(run->first));
        return true;
    }
    const EdgeState<ShadeValue> a{column_a * (1 << edge_fraction_bits),
                                  {_mm_loadu_ps(normal_a.lane), _mm_loadu_ps(attributes_a.lane)}};
    const EdgeState<ShadeValue> b{column_b * (1 << edge_fraction_bits),
                                  {_mm_loadu_ps(normal_b.lane), _mm_loadu_ps(attributes_b.lane)}};
    Span<ShadeValue> span;
    if (!set_up_span(0, a, b, {0, 1, first, end}, &span)) return false;
    _mm_storeu_ps(run->normal.lane, span.at_left.normal);
    _mm_storeu_ps(run->normal_step.lane, span.step.normal);
    _mm_storeu_ps(run->attributes.lane, span.at_left.attributes);
    _mm_storeu_ps(run->attribute_step.lane, span.step.attributes);
    run->first = static_cast<std::uint32_t>(span.left);
    run->count = span.count;
    return true;
}

[[noreturn]] void fail(const char* kernel, const char* what, int pixel, std::uint32_t got, std::uint32_t wanted) {
    std::fprintf(stderr, "fuzz_kernels: the %s kernel's %s differs at pixel %d: %08x, per pixel %08x\n", kernel, what,
                 pixel, got, wanted);
    std::abort();
}

// Each arithmetic's per-pixel yardstick and the kernels checked against it.
struct Arithmetic {
    const SpanKernels* per_pixel;
    std::vector<const SpanKernels*> kernels;
};
std::vector<Arithmetic> arithmetics;
// The scene's texture numbered, as the fast engine numbers it: each kernel
// takes the texture's bytes and, where it can, its numbered colours.
NumberedTexture numbered_texture;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!start_system({64, 8})) std::abort();  // the prepared lights and the texture
    if (!number_texture(texture, &numbered_texture)) std::abort();
    for (Estimates e : {Estimates::x86, Estimates::ieee}) {
        if (e == Estimates::x86 && !x86_estimates_available) continue;
        Arithmetic a{&per_pixel_span_kernels_of(e), {&span_kernels(InstructionSet::sse3, e)}};
        for (InstructionSet wide : {InstructionSet::avx2, InstructionSet::avx512}) {
            if (instruction_set_usable(wide, e))
                a.kernels.push_back(&span_kernels(wide, e));
            else
                std::fprintf(stderr, "fuzz_kernels: not checked: this processor cannot use %s with %s\n",
                             instruction_set_name(wide), estimates_name(e));
        }
        arithmetics.push_back(a);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    ShadeRun runs[4];
    const int wanted = 1 + in.byte() % 4;
    int count = 0;
    for (int r = 0; r < wanted; ++r)
        if (decode_run(in, &runs[count])) ++count;
    if (count == 0) return 0;

    // Stored depths: some of the first run's own depths, so that both
    // outcomes of the front-most test come up, and raw values.
    const std::uint8_t depth_kind = in.byte();
    std::uint32_t seed = in.word() | 1u;
    std::vector<float> depth(buffer_pixels);
    std::vector<std::uint32_t> frame(buffer_pixels);
    float own = runs[0].attributes.lane[2];
    for (int p = 0; p < buffer_pixels; ++p) {
        seed = seed * 1664525u + 1013904223u;
        if (depth_kind % 2 == 0 && p >= static_cast<int>(runs[0].first)) {
            depth[p] = own + static_cast<float>(static_cast<int>(seed >> 29) - 4) * 0.5f;
            own = own + runs[0].attribute_step.lane[2];
        } else {
            depth[p] = std::bit_cast<float>(seed);
        }
        frame[p] = seed * 2654435761u;
    }

    for (const Arithmetic& arithmetic : arithmetics) {
        std::vector<float> expected_depth = depth;
        std::vector<std::uint32_t> expected_frame = frame;
        arithmetic.per_pixel->shade(runs, count, {expected_frame.data(), expected_depth.data(), texture});
        arithmetic.per_pixel->store_depths(runs, count, expected_depth.data());
        for (const SpanKernels* k : arithmetic.kernels) {
            std::vector<float> kernel_depth = depth;
            const NumberedTexture* const texture_ways[] = {nullptr, &numbered_texture};
            for (const NumberedTexture* colours : texture_ways) {
                std::vector<std::uint32_t> kernel_frame = frame;
                k->shade(runs, count, {kernel_frame.data(), kernel_depth.data(), texture, colours});
                for (int p = 0; p < buffer_pixels; ++p)
                    if (kernel_frame[p] != expected_frame[p])
                        fail(k->name, colours ? "picture (numbered colours)" : "picture", p, kernel_frame[p],
                             expected_frame[p]);
            }
            k->store_depths(runs, count, kernel_depth.data());
            for (int p = 0; p < buffer_pixels; ++p) {
                const std::uint32_t got = std::bit_cast<std::uint32_t>(kernel_depth[p]);
                const std::uint32_t wanted_bits = std::bit_cast<std::uint32_t>(expected_depth[p]);
                if (got != wanted_bits) fail(k->name, "depth", p, got, wanted_bits);
            }
        }
    }
    return 0;
}
