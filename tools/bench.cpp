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
workers' time from waking them to the last one's end is given too, and the
frame's budget beyond its pixels: waking the workers, their set-up of the
faces, their wait for each other and the hand-over to the calling thread,
each stage per strip and per row. --sizes measures several sizes in turn
and ends with a table of them. A progress line, a few times a second, runs
on standard error; the last line of standard output is one JSON object with
all the figures (with --sizes, one for each size in a list).)";

constexpr const char* footer = "Exit status: 0 done; 2 bad arguments (one line on standard error).";

struct Options {
    std::vector<FrameSize> sizes = {default_frame_size};
    std::int64_t frames = zoom_period_frames;
    std::int64_t warmup = default_warmup_frames;
    EngineChoice engine;
};

struct Given {
    std::optional<std::string> size, sizes, frames, warmup;
    GivenEngineOptions engine;
};

void declare_options(CommandLine& line, Given& given) {
    line.option("--size", "WxH", "frame size: even width and height from 2 to 32766\n(default 1910x1070)", &given.size);
    line.option("--sizes", "WxH,...",
                "several frame sizes, measured one after the other, such as\n320x240,640x480,1910x1070,3830x2150",
                &given.sizes);
    line.option("--frames", "N", "frames measured (default 1824, one zoom period)", &given.frames);
    line.option("--warmup", "N", "frames rendered first and not measured (default 60)", &given.warmup);
    declare_engine_options(line, given.engine);
}

Options options_from(const Given& given) {
    Options options;
    if (given.size && given.sizes) throw ArgumentError("--size and --sizes cannot both be given");
    if (given.size) options.sizes = {parse_frame_size(*given.size, "--size")};
    if (given.sizes) options.sizes = parse_frame_sizes(*given.sizes, "--sizes");
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
    FrameSize size{};
    std::vector<double> frame_ms;
    double stage_ms[stage_count] = {};  // summed over the measured frames
    std::uint64_t pixel_shades = 0;
    double workers_ms = 0;
    StageTimes::Budget budget;  // means per frame
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

// What the animation's next frame depends on: saved before the measured
// frames, so that their geometry can be made again afterwards.
struct AnimationState {
    std::uint32_t frame = frame_counter;
    std::uint8_t shrinking = zoom_shrinking;
    std::int16_t counter = zoom_counter;
    float zoom_scale = scale;
    float restart_scale = zoom_restart_scale;

    void restore() const {
        frame_counter = frame;
        zoom_shrinking = shrinking;
        zoom_counter = counter;
        scale = zoom_scale;
        zoom_restart_scale = restart_scale;
    }
};

// The pixel shades of the next `frames` frames, from their geometry alone;
// the animation is then where those frames left it. Counted apart from the
// measured frames: a count between two of them, longer at large sizes than
// the workers' spin for the next frame, would send them to sleep, and each
// frame would pay their wake-up.
std::uint64_t pixel_shades_of_frames(std::int64_t frames) {
    std::uint64_t shades = 0;
    for (std::int64_t i = 0; i < frames; ++i) {
        transform_and_project();
        shades += count_pixel_shades();
        advance_frame_counter();
    }
    return shades;
}

Measurements measure(const Options& options, FrameSize size) {
    Measurements result;
    result.size = size;
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
    const AnimationState measured_from;
    for (std::int64_t i = 0; i < options.frames; ++i) {
        if (progress.due()) progress.show(progress_text("measuring,", i, options.frames));
        timed_frame(&result.frame_ms[static_cast<std::size_t>(i)]);
        advance_frame_counter();
    }
    const StageTimes stages = take_stage_times();
    time_stages(false);
    measured_from.restore();
    result.pixel_shades = pixel_shades_of_frames(options.frames);
    result.stage_ms[clearing] = stages.clearing_ms * static_cast<double>(options.frames);
    result.stage_ms[transform] = stages.transform_ms * static_cast<double>(options.frames);
    result.stage_ms[depth] = stages.depth_ms * static_cast<double>(options.frames);
    result.stage_ms[shading] = stages.shading_ms * static_cast<double>(options.frames);
    result.workers_ms = stages.workers_ms;
    result.budget = stages.budget;
    result.peak_resident_kib = peak_resident_kib();
    progress.finish(progress_text("measuring,", options.frames, options.frames), true);
    return result;
}

// The value at rank ceil(p * n) of the sorted values (nearest rank).
double percentile(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

// What one size's run comes to.
struct Figures {
    FrameSize size{};
    double fps = 0, mean_ms = 0, median_ms = 0, p95_ms = 0, worst_ms = 0;
    double stage_mean[stage_count] = {};
    double shades_per_frame = 0, shades_per_second = 0, shades_per_frame_second = 0;
    double workers_ms = 0;
    StageTimes::Budget budget;
    long peak_resident_kib = 0;
};

Figures figures_of(const Options& options, const Measurements& m) {
    std::vector<double> sorted = m.frame_ms;
    std::sort(sorted.begin(), sorted.end());
    const double frames = static_cast<double>(options.frames);
    const double total_ms = std::accumulate(sorted.begin(), sorted.end(), 0.0);
    Figures f;
    f.size = m.size;
    f.fps = frames * 1000.0 / total_ms;
    f.mean_ms = total_ms / frames;
    f.median_ms = sorted.size() % 2 == 1 ? sorted[sorted.size() / 2]
                                         : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
    f.p95_ms = percentile(sorted, 0.95);
    f.worst_ms = sorted.back();
    for (int s = 0; s < stage_count; ++s) f.stage_mean[s] = m.stage_ms[s] / frames;
    const double shades = static_cast<double>(m.pixel_shades);
    f.shades_per_frame = shades / frames;
    // Both rates: over the shading pass alone (the rasterizer's fill rate) and
    // over whole frames (what the program delivers).
    f.shades_per_second = m.stage_ms[shading] > 0 ? shades * 1000.0 / m.stage_ms[shading] : 0;
    f.shades_per_frame_second = shades * 1000.0 / total_ms;
    f.workers_ms = m.workers_ms;
    f.budget = m.budget;
    f.peak_resident_kib = m.peak_resident_kib;
    return f;
}

constexpr double us_per_ms = 1000.0;

// A stage that the workers go through strip by strip: its mean per worker
// and frame, and what one strip and one row with runs cost of it (all the
// workers' time in it, shared out).
void print_strip_stage(const char* name, double stage_ms, const StageTimes::Budget& b) {
    const double all_workers_us = stage_ms * us_per_ms * b.workers;
    std::printf("  %-34s %9.2f %10.3f %9.4f\n", name, stage_ms * us_per_ms,
                b.strips > 0 ? all_workers_us / b.strips : 0.0, b.rows > 0 ? all_workers_us / b.rows : 0.0);
}

void print_budget(const Figures& f) {
    const StageTimes::Budget& b = f.budget;
    std::printf("frame budget, fast engine (µs; a worker's figures are means over the workers a frame woke)\n");
    std::printf("  %-34s %9s %10s %9s\n", "", "per frame", "per strip", "per row");
    std::printf("  %-34s %9.2f\n", "transform (calling thread)", f.stage_mean[transform] * us_per_ms);
    std::printf("  %-34s %9.2f\n", "waking the workers (calling thread)", b.begin_ms * us_per_ms);
    std::printf("  %-34s %9.2f\n", "a worker's start after the wake-up", b.woken_ms * us_per_ms);
    std::printf("  %-34s %9.2f\n", "a worker's set-up of the faces", b.faces_ms * us_per_ms);
    print_strip_stage("walking edges and setting up runs", b.walking_ms, b);
    print_strip_stage("clearing", f.stage_mean[clearing], b);
    print_strip_stage("depth pre-pass over the runs", f.stage_mean[depth] - b.walking_ms, b);
    print_strip_stage("shading", f.stage_mean[shading], b);
    std::printf("  %-34s %9.2f  (%.2f strips)\n", "the calling thread drawing meanwhile", b.helping_ms * us_per_ms,
                b.helped_strips);
    std::printf("  %-34s %9.2f\n", "a worker's wait for the last one", b.waiting_ms * us_per_ms);
    std::printf("  %-34s %9.2f\n", "the last end to the calling thread", b.handover_ms * us_per_ms);
    std::printf("  %-34s %9.2f\n", "the whole frame (mean)", f.mean_ms * us_per_ms);
    std::printf("  per frame: %.1f workers woken, %.1f strips taken, %.1f with runs, %.1f runs, %.1f rows with runs\n",
                b.workers, b.strips, b.drawn_strips, b.runs, b.rows);
}

void report(const Options& options, const Figures& f) {
    const RunningEngine engine = running_engine();
    std::printf(
        "%s: %dx%d frame, %s engine, %d worker%s, %s, %s estimates, %lld warm-up frames, %lld frames "
        "measured\n",
        program_name, f.size.width, f.size.height, engine_name(engine.kind), engine.workers,
        engine.workers == 1 ? "" : "s", instruction_set_name(engine.instruction_set), estimates_name(engine.estimates),
        static_cast<long long>(options.warmup), static_cast<long long>(options.frames));
    std::printf("frames per second        %.1f\n", f.fps);
    std::printf("ms per frame             median %.3f   95th percentile %.3f   max %.3f\n", f.median_ms, f.p95_ms,
                f.worst_ms);
    std::printf("ms per frame by stage    ");
    for (int s = 0; s < stage_count; ++s) std::printf("%s%s %.3f", s ? "   " : "", stage_names[s], f.stage_mean[s]);
    std::printf("   (means)\n");
    if (engine.kind == EngineKind::fast)
        std::printf(
            "workers' time per frame  %.3f ms from waking them to the last one's end; the stages above\n"
            "                         are each worker's mean time in them\n",
            f.workers_ms);
    std::printf(
        "pixels shaded per second %.4g over the shading pass, %.4g over whole frames "
        "(%.0f pixel shades per frame)\n",
        f.shades_per_second, f.shades_per_frame_second, f.shades_per_frame);
    std::printf("peak resident memory     %ld KiB\n", f.peak_resident_kib);
    if (engine.kind == EngineKind::fast) print_budget(f);
}

// The size sweep's table: one line a size.
void report_sweep(const Options& options, const std::vector<Figures>& all) {
    const RunningEngine engine = running_engine();
    std::printf("%s: %s engine, %d worker%s, %s, %s estimates, %lld warm-up frames and %lld frames measured a size\n",
                program_name, engine_name(engine.kind), engine.workers, engine.workers == 1 ? "" : "s",
                instruction_set_name(engine.instruction_set), estimates_name(engine.estimates),
                static_cast<long long>(options.warmup), static_cast<long long>(options.frames));
    std::printf("%-11s %11s %12s %12s %16s %18s\n", "frame", "frames/s", "µs/frame", "µs median", "pixel shades",
                "ns a pixel shade");
    for (const Figures& f : all)
        std::printf("%-11s %11.1f %12.1f %12.1f %16.0f %18.3f\n",
                    (std::to_string(f.size.width) + "x" + std::to_string(f.size.height)).c_str(), f.fps,
                    f.mean_ms * us_per_ms, f.median_ms * us_per_ms, f.shades_per_frame,
                    f.shades_per_frame > 0 ? f.mean_ms * 1e6 / f.shades_per_frame : 0.0);
    if (engine.kind != EngineKind::fast) return;
    std::printf("%-11s %9s %9s %9s %9s %9s %9s %9s %9s (µs a frame; workers' means)\n", "frame", "transform", "waking",
                "started", "walking", "clearing", "depth", "shading", "waiting");
    for (const Figures& f : all) {
        const StageTimes::Budget& b = f.budget;
        std::printf("%-11s %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f\n",
                    (std::to_string(f.size.width) + "x" + std::to_string(f.size.height)).c_str(),
                    f.stage_mean[transform] * us_per_ms, b.begin_ms * us_per_ms, b.woken_ms * us_per_ms,
                    (b.faces_ms + b.walking_ms) * us_per_ms, f.stage_mean[clearing] * us_per_ms,
                    (f.stage_mean[depth] - b.walking_ms) * us_per_ms, f.stage_mean[shading] * us_per_ms,
                    (b.waiting_ms + b.handover_ms) * us_per_ms);
    }
}

// One size's figures as a JSON object.
std::string json_object(const Options& options, const Figures& f) {
    const RunningEngine engine = running_engine();
    char text[4096];
    int n =
        std::snprintf(text, sizeof text,
                      "{\"width\":%d,\"height\":%d,\"engine\":\"%s\",\"workers\":%d,\"isa\":\"%s\","
                      "\"estimates\":\"%s\",\"warmup_frames\":%lld,\"frames\":%lld,"
                      "\"fps\":%.3f,\"ms_per_frame_mean\":%.4f,\"ms_per_frame_median\":%.4f,\"ms_per_frame_p95\":%.4f,"
                      "\"ms_per_frame_max\":%.4f",
                      f.size.width, f.size.height, engine_name(engine.kind), engine.workers,
                      instruction_set_name(engine.instruction_set), estimates_name(engine.estimates),
                      static_cast<long long>(options.warmup), static_cast<long long>(options.frames), f.fps, f.mean_ms,
                      f.median_ms, f.p95_ms, f.worst_ms);
    std::string json(text, static_cast<std::size_t>(n));
    for (int s = 0; s < stage_count; ++s) {
        n = std::snprintf(text, sizeof text, ",\"%s_ms_per_frame\":%.4f", stage_keys[s], f.stage_mean[s]);
        json.append(text, static_cast<std::size_t>(n));
    }
    if (engine.kind == EngineKind::fast) {
        const StageTimes::Budget& b = f.budget;
        n = std::snprintf(text, sizeof text,
                          ",\"workers_ms_per_frame\":%.4f,\"frame_budget_us\":{\"waking\":%.3f,\"started\":%.3f,"
                          "\"faces\":%.3f,\"walking\":%.3f,\"waiting\":%.3f,\"handover\":%.3f,"
                          "\"calling_thread_drawing\":%.3f,\"calling_thread_strips\":%.2f,"
                          "\"workers\":%.2f,\"strips\":%.2f,\"drawn_strips\":%.2f,\"runs\":%.2f,\"rows\":%.2f}",
                          f.workers_ms, b.begin_ms * us_per_ms, b.woken_ms * us_per_ms, b.faces_ms * us_per_ms,
                          b.walking_ms * us_per_ms, b.waiting_ms * us_per_ms, b.handover_ms * us_per_ms,
                          b.helping_ms * us_per_ms, b.helped_strips, b.workers, b.strips, b.drawn_strips, b.runs,
                          b.rows);
        json.append(text, static_cast<std::size_t>(n));
    }
    n = std::snprintf(text, sizeof text,
                      ",\"pixel_shades_per_frame\":%.1f,\"pixels_shaded_per_second\":%.0f,"
                      "\"pixels_shaded_per_second_whole_frames\":%.0f,\"peak_resident_kib\":%ld}",
                      f.shades_per_frame, f.shades_per_second, f.shades_per_frame_second, f.peak_resident_kib);
    json.append(text, static_cast<std::size_t>(n));
    return json;
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
        std::vector<Figures> all;
        for (const FrameSize& size : options.sizes) {
            // Each size from the system's start: the animation's first frames
            // at that size, with an engine of its own.
            if (!start_system(size))
                throw ArgumentError("cannot obtain the pixel buffers of a " + std::to_string(size.width) + "x" +
                                    std::to_string(size.height) + " frame");
            start_chosen_engine(options.engine);
            all.push_back(figures_of(options, measure(options, size)));
            if (options.sizes.size() == 1) {
                report(options, all.back());
                std::printf("%s\n", json_object(options, all.back()).c_str());
            } else {
                std::fprintf(stderr, "%s: %dx%d: %.1f frames per second\n", program_name, size.width, size.height,
                             all.back().fps);
            }
        }
        if (options.sizes.size() > 1) {
            report_sweep(options, all);
            std::string list = "{\"sizes\":[";
            for (std::size_t i = 0; i < all.size(); ++i) {
                if (i) list += ',';
                list += json_object(options, all[i]);
            }
            std::printf("%s]}\n", list.c_str());
        }
        return 0;
    } catch (const ArgumentError& error) {
        std::fprintf(stderr, "%s: %s\n", program_name, one_line(error.what()).c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program_name);
    }
    return bad_arguments_exit;
}
