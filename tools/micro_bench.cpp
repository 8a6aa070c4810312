// Micro benchmarks of the renderer's inner routines, on a 1910 x 1070 frame:
//   build/tools/ombrastel-micro-bench [--benchmark_filter=REGEX]
// Each routine works on data shaped like a real frame's: a lit, textured run
// whose depths are the front-most ones, a face as large as the model's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/startup.h"
#include "engine/fast_engine.h"
#include "pipeline/depth_pass.h"
#include "pipeline/face_walk.h"
#include "pipeline/frame.h"
#include "raster/shade_pixel.h"
#include "raster/shading.h"
#include "raster/span_kernels.h"
#include "scene/scene_data.h"

namespace {

constexpr FrameSize bench_frame{1910, 1070};
constexpr std::int32_t run_row = 500;
constexpr std::int32_t run_left = 455;
constexpr std::int32_t run_pixels = 1000;

ShadeTarget whole_frame_target() {
    return {{0, frame_height, 0, frame_width}, frame_height, frame_width, frame_buffer, depth_buffer, texture};
}

SpanEnd run_end(std::int32_t column, Vec4 normal, float u, float v, float depth) {
    return {column, normal, {{u, v, depth, 0.0f}}};
}

const SpanEnd run_left_end = run_end(run_left, {{0.0f, 0.0f, -1.0f, 0.0f}}, 20.0f, 30.0f, -150.0f);
const SpanEnd run_right_end = run_end(run_left + run_pixels, {{0.5f, 0.3f, -0.8f, 0.0f}}, 110.0f, 120.0f, 90.0f);

// The depth pre-pass on one row's run between two ends, as the walk hands it
// over.
void store_run_depths(std::int32_t row, std::int32_t x_a, float z_a, std::int32_t x_b, float z_b) {
    const EdgeState<DepthValue> a{x_a * (1 << edge_fraction_bits), {z_a}};
    const EdgeState<DepthValue> b{x_b * (1 << edge_fraction_bits), {z_b}};
    const FrameTarget target = global_frame_target();
    Span<DepthValue> span;
    if (set_up_span(row, a, b, whole_frame_band(target), &span)) store_nearer_depths(span, target.depth, target.width);
}

// The run's own depths in the depth buffer, so that every pixel is front-most
// and takes the specular path, the dearer one.
void prepare_front_most_run() {
    clear_buffers();
    store_run_depths(run_row, run_left_end.column, run_left_end.attributes.lane[2], run_right_end.column,
                     run_right_end.attributes.lane[2]);
}

void shade_pixel_bench(benchmark::State& state) {
    prepare_front_most_run();
    const std::size_t index = static_cast<std::size_t>(run_row) * frame_width + run_left;
    const __m128 normal = _mm_setr_ps(0.2f, 0.1f, -0.9f, 0.0f);
    __m128 attributes = _mm_setr_ps(40.25f, 60.5f, run_left_end.attributes.lane[2], 0.0f);
    for (auto _ : state) {
        benchmark::DoNotOptimize(attributes);
        shade_pixel(normal, attributes, depth_buffer[index], &frame_buffer[index], texture);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(shade_pixel_bench)->Name("shade_pixel");

void shade_span_bench(benchmark::State& state) {
    prepare_front_most_run();
    const ShadeTarget target = whole_frame_target();
    for (auto _ : state) {
        shade_span(run_row, run_left_end, run_right_end, target);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * run_pixels);
    state.SetLabel("1000-pixel run, items are pixels");
}
BENCHMARK(shade_span_bench)->Name("shade_span");

void depth_span_bench(benchmark::State& state) {
    clear_buffers();
    // Each pass comes a little nearer, so that every pixel is stored as on a
    // fresh buffer rather than only compared.
    float nearer = 0.0f;
    for (auto _ : state) {
        store_run_depths(run_row, run_left, 100.0f + nearer, run_left + run_pixels, -100.0f + nearer);
        nearer -= 0.5f;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * run_pixels);
    state.SetLabel("1000-pixel run, items are pixels");
}
BENCHMARK(depth_span_bench)->Name("depth_span");

// The same 1000-pixel run as one ShadeRun, as the fast engine hands it to
// its kernels.
ShadeRun kernel_run() {
    ShadeRun run;
    const float width = static_cast<float>(run_pixels);
    for (int i = 0; i < 4; ++i) {
        run.normal.lane[i] = run_left_end.normal.lane[i];
        run.normal_step.lane[i] = (run_right_end.normal.lane[i] - run_left_end.normal.lane[i]) / width;
        run.attributes.lane[i] = run_left_end.attributes.lane[i];
        run.attribute_step.lane[i] = (run_right_end.attributes.lane[i] - run_left_end.attributes.lane[i]) / width;
    }
    run.first = static_cast<std::uint32_t>(run_row) * frame_width + static_cast<std::uint32_t>(run_left);
    run.count = run_pixels;
    return run;
}

void kernel_shade_bench(benchmark::State& state, const SpanKernels* kernels) {
    prepare_front_most_run();
    const ShadeRun run = kernel_run();
    const RunBuffers buffers{frame_buffer, depth_buffer, texture};
    for (auto _ : state) {
        kernels->shade(&run, 1, buffers);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * run_pixels);
    state.SetLabel("1000-pixel run, items are pixels");
}

void kernel_depth_bench(benchmark::State& state, const SpanKernels* kernels) {
    clear_buffers();
    // A strip's runs of one face: eight neighbouring rows. Each pass comes a
    // little nearer, so that every pixel is stored.
    ShadeRun runs[8];
    for (int r = 0; r < 8; ++r) {
        runs[r] = kernel_run();
        runs[r].first += static_cast<std::uint32_t>(r) * frame_width;
    }
    for (auto _ : state) {
        kernels->store_depths(runs, 8, depth_buffer);
        for (ShadeRun& run : runs) run.attributes.lane[2] -= 0.5f;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 8 * run_pixels);
    state.SetLabel("eight 1000-pixel runs on neighbouring rows, items are pixels");
}

// The runs of a real frame as the fast engine hands them to its kernels: a
// strip of rows at a time, every face's runs on the strip's rows, face by
// face. Frame 200 of the animation: the model large, front and back faces
// overlapping.
std::vector<std::vector<ShadeRun>> frame_strips() {
    for (int k = 0; k < 200; ++k) {
        transform_and_project();
        advance_frame_counter();
    }
    transform_and_project();
    FrameFace faces[working_array_room];
    const int count = gather_frame_faces(faces);
    const FrameTarget target = global_frame_target();
    const ClipBand band = whole_frame_band(target);
    std::vector<std::vector<ShadeRun>> strips;
    for (std::int32_t first_row = 0; first_row < target.height; first_row += strip_rows) {
        std::vector<ShadeRun> runs;
        for (int f = 0; f < count; ++f) {
            FaceWalk<ShadeValue> walk(faces[f].corner);
            if (walk.misses(band)) continue;
            walk.skip_to(first_row);
            walk.walk_rows(first_row + strip_rows, [&](std::int32_t row, const EdgeState<ShadeValue>& a,
                                                       const EdgeState<ShadeValue>& b) {
                Span<ShadeValue> span;
                if (!set_up_span(row, a, b, band, &span)) return;
                ShadeRun run;
                _mm_store_ps(run.normal.lane, span.at_left.normal);
                _mm_store_ps(run.normal_step.lane, span.step.normal);
                _mm_store_ps(run.attributes.lane, span.at_left.attributes);
                _mm_store_ps(run.attribute_step.lane, span.step.attributes);
                run.first = static_cast<std::uint32_t>(span.row) * target.width + static_cast<std::uint32_t>(span.left);
                run.count = span.count;
                runs.push_back(run);
            });
        }
        if (!runs.empty()) strips.push_back(runs);
    }
    return strips;
}

std::int64_t strip_pixels(const std::vector<std::vector<ShadeRun>>& strips) {
    std::int64_t pixels = 0;
    for (const auto& runs : strips)
        for (const ShadeRun& run : runs) pixels += run.count;
    return pixels;
}

void frame_depth_bench(benchmark::State& state, const SpanKernels* kernels) {
    auto strips = frame_strips();
    clear_buffers();
    // Each pass comes a little nearer, so that every pixel is stored.
    for (auto _ : state) {
        for (auto& runs : strips) {
            kernels->store_depths(runs.data(), static_cast<int>(runs.size()), depth_buffer);
            for (ShadeRun& run : runs) run.attributes.lane[2] -= 0.5f;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * strip_pixels(strips));
    state.SetLabel("a frame's strips, items are pixels");
}

void frame_shade_bench(benchmark::State& state, const SpanKernels* kernels) {
    const auto strips = frame_strips();
    clear_buffers();
    for (const auto& runs : strips) kernels->store_depths(runs.data(), static_cast<int>(runs.size()), depth_buffer);
    const RunBuffers buffers{frame_buffer, depth_buffer, texture};
    for (auto _ : state) {
        for (const auto& runs : strips) kernels->shade(runs.data(), static_cast<int>(runs.size()), buffers);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * strip_pixels(strips));
    state.SetLabel("a frame's strips, items are pixels");
}

void register_kernel_benchmarks() {
    std::vector<const SpanKernels*> sets = {&per_pixel_span_kernels};
    for (InstructionSet set : built_instruction_sets())
        if (instruction_set_usable(set)) sets.push_back(&span_kernels(set));
    for (const SpanKernels* kernels : sets) {
        benchmark::RegisterBenchmark((std::string("shade_kernel/") + kernels->name).c_str(), kernel_shade_bench,
                                     kernels);
        benchmark::RegisterBenchmark((std::string("depth_kernel/") + kernels->name).c_str(), kernel_depth_bench,
                                     kernels);
        benchmark::RegisterBenchmark((std::string("frame_shade_kernel/") + kernels->name).c_str(), frame_shade_bench,
                                     kernels);
        benchmark::RegisterBenchmark((std::string("frame_depth_kernel/") + kernels->name).c_str(), frame_depth_bench,
                                     kernels);
    }
    // The ieee arithmetic changes the shading alone: a square root and a
    // division per pixel instead of the estimate. (Where ieee is the default,
    // the kernels above have it.)
    if (default_estimates == Estimates::ieee) return;
    for (InstructionSet set : built_instruction_sets()) {
        if (!instruction_set_usable(set, Estimates::ieee)) continue;
        const SpanKernels& kernels = span_kernels(set, Estimates::ieee);
        benchmark::RegisterBenchmark((std::string("shade_kernel/") + kernels.name).c_str(), kernel_shade_bench,
                                     &kernels);
    }
}

ShadeCorner corner(std::int16_t x, std::int16_t y, float depth, Vec4 normal, std::uint32_t texcoord) {
    const ScreenPoint position =
        (static_cast<std::uint32_t>(static_cast<std::uint16_t>(x)) << 16) | static_cast<std::uint16_t>(y);
    return {position, depth, normal, static_cast<std::uint16_t>(texcoord & 0xFFFFu),
            static_cast<std::uint16_t>(texcoord >> 16)};
}

void shade_triangle_bench(benchmark::State& state) {
    // A face about as large as one of the model's near the top of the zoom:
    // some 400 000 pixels over 800 rows.
    const ShadeCorner corners[3] = {corner(955, 100, -300.0f, {{0.0f, -0.6f, -0.8f, 0.0f}}, corner_texcoords[0]),
                                    corner(455, 900, 200.0f, {{-0.7f, 0.5f, -0.5f, 0.0f}}, corner_texcoords[1]),
                                    corner(1455, 900, 100.0f, {{0.7f, 0.5f, -0.5f, 0.0f}}, corner_texcoords[2])};
    clear_buffers();
    const FrameFace face{{corners[0], corners[1], corners[2]}};
    depth_pass(&face, 1, global_frame_target(), whole_frame_band(global_frame_target()));
    const ShadeTarget target = whole_frame_target();
    for (auto _ : state) {
        shade_triangle(corners, target);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("a 400 000-pixel face, items are faces");
}
BENCHMARK(shade_triangle_bench)->Name("shade_triangle")->Unit(benchmark::kMicrosecond);

void fill_dwords_bench(benchmark::State& state) {
    const auto count = static_cast<std::uint32_t>(state.range(0));
    for (auto _ : state) {
        fill_dwords(far_depth_bits, count, reinterpret_cast<std::uint32_t*>(depth_buffer));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{count} * 4);
}
// A 64 KiB block that stays in cache, and the whole 1910 x 1070 depth buffer.
BENCHMARK(fill_dwords_bench)
    ->Name("fill_dwords")
    ->Arg(16 * 1024)
    ->Arg(std::int64_t{bench_frame.width} * bench_frame.height)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!start_system(bench_frame)) {
        std::fprintf(stderr, "ombrastel-micro-bench: cannot obtain the pixel buffers\n");
        return 1;
    }
    register_kernel_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
