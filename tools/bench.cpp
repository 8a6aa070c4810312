// ombrastel-bench: renders the animation without a window and measures it,
// stage by stage, over a whole zoom period.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "app/startup.h"
#include "cli/engine_options.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"
#include "tools/pixel_shades.h"
#include "tools/progress.h"
#include "tools/tool_args.h"

namespace {

constexpr const char* program_name = "ombrastel-bench";

// From the initial zoom position the zoom grows 562 frames, shrinks 912 and
// grows 912 again: one period is 1824 frames, every zoom level twice.
constexpr std::int64_t zoom_period_frames = 1824;
constexpr std::int64_t default_warmup_frames = 60;
// Each measured frame keeps five timings; this keeps them within memory.
constexpr std::int64_t most_measured_frames = 10'000'000;

constexpr const char* description = R"(Renders the Ombrastel animation without a window and measures it. After a
warm-up it renders a whole zoom period (1824 frames) and prints frames per
second, milliseconds per frame (median, 95th percentile, maximum), the mean
time per frame of each stage (clearing, transform and projection, depth
pre-pass, shading pass), pixels shaded per second (every pixel of every face
counted, overlaps included) and the peak resident memory. The reference
engine's stages run one after the other; the fast engine's workers run them
strip by strip, so for it each stage is a worker's mean time in it, and the
workers' time from waking them to the last one's end is given too. A
progress line, a few times a second, runs on standard error; the last line
of standard output is one JSON object with all the figures.)";

constexpr const char* footer = "Exit status: 0 done; 2 bad arguments (one line on standard error).";

struct Options {
    FrameSize size = default_frame_size;
    std::int64_t frames = zoom_period_frames;
    std::int64_t warmup = default_warmup_frames;
    EngineChoice engine;
};

struct Given {
    std::optional<std::string> size, frames, warmup;
    GivenEngineOptions engine;
};

void declare_options(CommandLine& line, Given& given) {
    line.option("--size", "WxH", "frame size: even width and height from 2 to 32766\n(default 1910x1070)", &given.size);
    line.option("--frames", "N", "frames measured (default 1824, one zoom period)", &given.frames);
    line.option("--warmup", "N", "frames rendered first and not measured (default 60)", &given.warmup);
    declare_engine_options(line, given.engine);
}

Options options_from(const Given& given) {
    Options options;
    if (given.size) options.size = parse_frame_size(*given.size, "--size");
    if (given.frames) options.frames = parse_count(*given.frames, "--frames", 1, most_measured_frames);
    if (given.warmup) options.warmup = parse_count(*given.warmup, "--warmup", 0, largest_frame_number);
    options.engine = engine_choice_from(given.engine);
    return options;
}

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration span) { return std::chrono::duration<double, std::milli>(span).count(); }

enum Stage { clearing, transform, depth, shading, stage_count };
constexpr const char* stage_names[stage_count] = {"clearing", "transform & projection", "depth pre-pass",
                                                  "shading pass"};
constexpr const char* stage_keys[stage_count] = {"clearing", "transform_and_projection", "depth_pre_pass",
                                                 "shading_pass"};

struct Measurements {
    std::vector<double> frame_ms;
    double stage_ms[stage_count] = {};  // summed over the measured frames
    std::uint64_t pixel_shades = 0;
    double workers_ms = 0;
    long peak_resident_kib = 0;
};

// One frame, whole; the engine times its stages.
void timed_frame(double* frame_ms) {
    const Clock::time_point start = Clock::now();
    render_frame();
    *frame_ms = milliseconds(Clock::now() - start);
}

// The most memory the process has held in RAM at once, in KiB; 0 where the
// system does not say.
long peak_resident_kib() {
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return usage.ru_maxrss;  // KiB on Linux
}

std::string progress_text(const char* phase, std::int64_t done, std::int64_t total) {
    return std::string(phase) + " frame " + std::to_string(done) + " of " + std::to_string(total) + " (" +
           std::to_string(static_cast<int>(100 * done / std::max<std::int64_t>(total, 1))) + "%)";
}

Measurements measure(const Options& options) {
    Measurements result;
    result.frame_ms.resize(static_cast<std::size_t>(options.frames));
    ProgressLine progress(program_name, ProgressLine::Clock::duration::zero());
    double ignored_frame = 0;
    for (std::int64_t i = 0; i < options.warmup; ++i) {
        if (progress.due()) progress.show(progress_text("warming up,", i, options.warmup));
        timed_frame(&ignored_frame);
        advance_frame_counter();
    }
    time_stages(true);
    take_stage_times();
    for (std::int64_t i = 0; i < options.frames; ++i) {
        if (progress.due()) progress.show(progress_text("measuring,", i, options.frames));
        timed_frame(&result.frame_ms[static_cast<std::size_t>(i)]);
        // Counted outside the timed stages, from the geometry they left.
        result.pixel_shades += count_pixel_shades();
        advance_frame_counter();
    }
    const StageTimes stages = take_stage_times();
    time_stages(false);
    result.stage_ms[clearing] = stages.clearing_ms * static_cast<double>(options.frames);
    result.stage_ms[transform] = stages.transform_ms * static_cast<double>(options.frames);
    result.stage_ms[depth] = stages.depth_ms * static_cast<double>(options.frames);
    result.stage_ms[shading] = stages.shading_ms * static_cast<double>(options.frames);
    result.workers_ms = stages.workers_ms;
    result.peak_resident_kib = peak_resident_kib();
    progress.finish(progress_text("measuring,", options.frames, options.frames), true);
    return result;
}

// The value at rank ceil(p * n) of the sorted values (nearest rank).
double percentile(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void report(const Options& options, const Measurements& m) {
    std::vector<double> sorted = m.frame_ms;
    std::sort(sorted.begin(), sorted.end());
    const double frames = static_cast<double>(options.frames);
    const double total_ms = std::accumulate(sorted.begin(), sorted.end(), 0.0);
    const double fps = frames * 1000.0 / total_ms;
    const double median = sorted.size() % 2 == 1 ? sorted[sorted.size() / 2]
                                                 : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
    const double p95 = percentile(sorted, 0.95);
    const double worst = sorted.back();
    double stage_mean[stage_count];
    for (int s = 0; s < stage_count; ++s) stage_mean[s] = m.stage_ms[s] / frames;
    const double shades = static_cast<double>(m.pixel_shades);
    // Both rates: over the shading pass alone (the rasterizer's fill rate) and
    // over whole frames (what the program delivers).
    const double shades_per_second = m.stage_ms[shading] > 0 ? shades * 1000.0 / m.stage_ms[shading] : 0;
    const double shades_per_frame_second = shades * 1000.0 / total_ms;

    const RunningEngine engine = running_engine();
    std::printf(
        "%s: %dx%d frame, %s engine, %d worker%s, %s, %s estimates, %lld warm-up frames, %lld frames "
        "measured\n",
        program_name, options.size.width, options.size.height, engine_name(engine.kind), engine.workers,
        engine.workers == 1 ? "" : "s", instruction_set_name(engine.instruction_set), estimates_name(engine.estimates),
        static_cast<long long>(options.warmup), static_cast<long long>(options.frames));
    std::printf("frames per second        %.1f\n", fps);
    std::printf("ms per frame             median %.3f   95th percentile %.3f   max %.3f\n", median, p95, worst);
    std::printf("ms per frame by stage    ");
    for (int s = 0; s < stage_count; ++s) std::printf("%s%s %.3f", s ? "   " : "", stage_names[s], stage_mean[s]);
    std::printf("   (means)\n");
    if (engine.kind == EngineKind::fast)
        std::printf(
            "workers' time per frame  %.3f ms from waking them to the last one's end; the stages above\n"
            "                         are each worker's mean time in them\n",
            m.workers_ms);
    std::printf(
        "pixels shaded per second %.4g over the shading pass, %.4g over whole frames "
        "(%.0f pixel shades per frame)\n",
        shades_per_second, shades_per_frame_second, shades / frames);
    std::printf("peak resident memory     %ld KiB\n", m.peak_resident_kib);

    std::printf(
        "{\"width\":%d,\"height\":%d,\"engine\":\"%s\",\"workers\":%d,\"isa\":\"%s\","
        "\"estimates\":\"%s\",\"warmup_frames\":%lld,\"frames\":%lld,"
        "\"fps\":%.3f,\"ms_per_frame_median\":%.4f,\"ms_per_frame_p95\":%.4f,"
        "\"ms_per_frame_max\":%.4f",
        options.size.width, options.size.height, engine_name(engine.kind), engine.workers,
        instruction_set_name(engine.instruction_set), estimates_name(engine.estimates),
        static_cast<long long>(options.warmup), static_cast<long long>(options.frames), fps, median, p95, worst);
    for (int s = 0; s < stage_count; ++s) std::printf(",\"%s_ms_per_frame\":%.4f", stage_keys[s], stage_mean[s]);
    if (engine.kind == EngineKind::fast) std::printf(",\"workers_ms_per_frame\":%.4f", m.workers_ms);
    std::printf(
        ",\"pixel_shades_per_frame\":%.1f,\"pixels_shaded_per_second\":%.0f,"
        "\"pixels_shaded_per_second_whole_frames\":%.0f,\"peak_resident_kib\":%ld}\n",
        shades / frames, shades_per_second, shades_per_frame_second, m.peak_resident_kib);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        CommandLine line(program_name, description, footer);
        Given given;
        declare_options(line, given);
        switch (line.parse(argc, argv)) {
            case CommandLine::Outcome::show_help: std::fputs(line.help_text().c_str(), stdout); return 0;
            case CommandLine::Outcome::show_version: std::fputs(line.version_line().c_str(), stdout); return 0;
            case CommandLine::Outcome::run: break;
        }
        const Options options = options_from(given);
        if (!start_system(options.size))
            throw ArgumentError("cannot obtain the pixel buffers of a " + std::to_string(options.size.width) + "x" +
                                std::to_string(options.size.height) + " frame");
        start_chosen_engine(options.engine);
        report(options, measure(options));
        return 0;
    } catch (const ArgumentError& error) {
        std::fprintf(stderr, "%s: %s\n", program_name, one_line(error.what()).c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program_name);
    }
    return bad_arguments_exit;
}
