#include "engine/engine.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "engine/fast_engine.h"
#include "pipeline/depth_pass.h"
#include "pipeline/frame.h"
#include "raster/shading.h"
#include "scene/float_control.h"
#include "scene/preparation.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration span) { return std::chrono::duration<double, std::milli>(span).count(); }

// What an engine says of a frame it has not drawn: it may be anywhere.
constexpr PixelRect unknown_extent{0, 0, 32767, 32767};

struct Engine {
    bool running = false;
    EngineKind kind = EngineKind::fast;
    std::unique_ptr<FastEngine> fast;
    bool timing = false;
    StageTimes times;
    bool drawing = false;
    Clock::time_point projected;
    PixelRect extent = unknown_extent;  // of the frame last finished
};
Engine engine;

void render_reference_frame() {
    const Clock::time_point start = Clock::now();
    clear_buffers();
    const Clock::time_point cleared = Clock::now();
    transform_and_project();
    FrameFace faces[working_array_room];
    const int count = gather_frame_faces(faces);
    const Clock::time_point projected = Clock::now();
    const FrameTarget target = global_frame_target();
    depth_pass(faces, count, target, whole_frame_band(target));
    const Clock::time_point depth_done = Clock::now();
    shading_pass();
    engine.extent = {0, 0, frame_width, frame_height};
    if (engine.timing) {
        engine.times.clearing_ms += milliseconds(cleared - start);
        engine.times.transform_ms += milliseconds(projected - cleared);
        engine.times.depth_ms += milliseconds(depth_done - projected);
        engine.times.shading_ms += milliseconds(Clock::now() - depth_done);
        ++engine.times.frames;
    }
}

void begin_fast_frame() {
    const Clock::time_point start = Clock::now();
    transform_and_project();
    FrameFace faces[working_array_room];
    const int count = gather_frame_faces(faces);
    engine.projected = Clock::now();
    engine.fast->begin_draw(faces, count, global_frame_target());
    if (engine.timing) engine.times.transform_ms += milliseconds(engine.projected - start);
}

void finish_fast_frame() {
    engine.fast->finish_draw();
    engine.extent = engine.fast->last_extent();
    if (engine.timing) {
        engine.times.workers_ms += milliseconds(Clock::now() - engine.projected);
        const FastStageTimes worked = engine.fast->take_stage_times();
        engine.times.clearing_ms += worked.clearing_ms;
        engine.times.depth_ms += worked.walking_ms + worked.depth_ms;
        engine.times.shading_ms += worked.shading_ms;
        StageTimes::Budget& budget = engine.times.budget;
        budget.begin_ms += worked.begin_ms;
        budget.woken_ms += worked.woken_ms;
        budget.faces_ms += worked.faces_ms;
        budget.walking_ms += worked.walking_ms;
        budget.waiting_ms += worked.waiting_ms;
        budget.handover_ms += worked.handover_ms;
        budget.helping_ms += worked.helping_ms;
        budget.helped_strips += static_cast<double>(worked.helped_strips);
        budget.workers += static_cast<double>(worked.workers);
        budget.strips += static_cast<double>(worked.strips);
        budget.drawn_strips += static_cast<double>(worked.drawn_strips);
        budget.runs += static_cast<double>(worked.runs);
        budget.rows += static_cast<double>(worked.rows);
        ++engine.times.frames;
    }
}

}  // namespace

int default_fast_workers() {
    int ignored[1];
    return std::clamp(platform_pool_threads.usable_processors(ignored, 0), 1, most_fast_workers);
}

const char* engine_name(EngineKind kind) { return kind == EngineKind::fast ? "fast" : "reference"; }

const char* instruction_set_choice_name(std::optional<InstructionSet> set) {
    return set ? instruction_set_name(*set) : "auto";
}

bool engine_named(std::string_view name, EngineKind* kind) {
    for (EngineKind k : {EngineKind::fast, EngineKind::reference}) {
        if (name == engine_name(k)) {
            *kind = k;
            return true;
        }
    }
    return false;
}

bool instruction_set_choice_named(std::string_view name, std::optional<InstructionSet>* set) {
    if (name == instruction_set_choice_name(std::nullopt)) {
        *set = std::nullopt;
        return true;
    }
    for (InstructionSet built : built_instruction_sets()) {
        if (name == instruction_set_name(built)) {
            *set = built;
            return true;
        }
    }
    return false;
}

std::optional<ChoiceFault> check_engine_choice(const EngineChoice& choice) {
    if (choice.estimates == Estimates::x86 && !x86_estimates_available)
        return ChoiceFault{ChoicePart::estimates, "this processor has no x86 estimates; its arithmetic is ieee"};
    if (choice.kind == EngineKind::reference) {
        if (choice.workers < 0 || choice.workers > 2)
            return ChoiceFault{ChoicePart::workers,
                               "the reference engine takes 1 or 2 workers, not " + std::to_string(choice.workers)};
        if (choice.instruction_set)
            return ChoiceFault{ChoicePart::instruction_set,
                               "the reference engine has no choice of instruction set (it is the four-lane design)"};
        return std::nullopt;
    }
    if (choice.workers < 0 || choice.workers > most_fast_workers)
        return ChoiceFault{ChoicePart::workers, "the fast engine takes 1 to " + std::to_string(most_fast_workers) +
                                                    " workers, not " + std::to_string(choice.workers)};
    if (!choice.instruction_set) return std::nullopt;
    const InstructionSet set = *choice.instruction_set;
    const std::string name = instruction_set_name(set);
    if (!processor_offers(set))
        return ChoiceFault{ChoicePart::instruction_set, "this processor does not offer " + name};
    if (!instruction_set_usable(set, choice.estimates))
        return ChoiceFault{ChoicePart::instruction_set,
                           name +
                               " cannot be used here with the x86 estimates: its eight-lane reciprocal square "
                               "root estimate differs from the four-lane one on this processor (--estimates ieee "
                               "can use it)"};
    return std::nullopt;
}

std::string start_engine(const EngineChoice& choice) {
    stop_engine();
    if (const std::optional<ChoiceFault> fault = check_engine_choice(choice)) return fault->reason;
    if (choice.kind == EngineKind::reference) {
        shading_mode = choice.workers == 1 ? ShadingMode::calling_thread : ShadingMode::two_workers;
        shading_estimates = choice.estimates;
    } else {
        const InstructionSet set = choice.instruction_set.value_or(best_instruction_set(choice.estimates));
        engine.fast = std::make_unique<FastEngine>(choice.workers ? choice.workers : default_fast_workers(), set,
                                                   choice.estimates);
        engine.fast->time_stages(engine.timing);
    }
    if (model_estimates() != choice.estimates) prepare_model(choice.estimates);
    engine.kind = choice.kind;
    engine.running = true;
    return "";
}

void stop_engine() {
    finish_frame();
    engine.extent = unknown_extent;
    engine.fast.reset();
    engine.running = false;
    shading_mode = ShadingMode::two_workers;
}

RunningEngine running_engine() {
    if (!engine.running) start_engine({});
    if (engine.kind == EngineKind::reference)
        return {EngineKind::reference, shading_mode == ShadingMode::calling_thread ? 1 : 2,
                built_instruction_sets().front(), shading_estimates};
    return {EngineKind::fast, engine.fast->workers(), engine.fast->instruction_set(), engine.fast->estimates()};
}

void render_frame() {
    begin_frame();
    finish_frame();
}

void begin_frame() {
    finish_frame();
    if (!engine.running) start_engine({});
    // The frame's arithmetic on this thread (the transform, the reference
    // engine's clearing and depth pre-pass) must not depend on what the
    // caller set: a library that flushes tiny values to zero, say.
    use_default_float_control();
    engine.drawing = true;
    if (engine.kind == EngineKind::reference)
        render_reference_frame();
    else
        begin_fast_frame();
}

void finish_frame() {
    if (!engine.drawing) return;
    engine.drawing = false;
    if (engine.kind == EngineKind::fast) finish_fast_frame();
}

bool frame_in_progress() { return engine.drawing; }

PixelRect last_frame_extent() {
    PixelRect extent = engine.extent;
    extent.right = std::min<std::int32_t>(extent.right, frame_width);
    extent.bottom = std::min<std::int32_t>(extent.bottom, frame_height);
    return extent;
}

void time_stages(bool on) {
    finish_frame();
    engine.timing = on;
    if (engine.fast) engine.fast->time_stages(on);
}

StageTimes take_stage_times() {
    StageTimes sum = engine.times;
    engine.times = {};
    if (sum.frames > 0) {
        StageTimes::Budget& b = sum.budget;
        for (double* t : {&sum.clearing_ms, &sum.transform_ms, &sum.depth_ms, &sum.shading_ms, &sum.workers_ms,
                          &b.begin_ms, &b.woken_ms, &b.faces_ms, &b.walking_ms, &b.waiting_ms, &b.handover_ms,
                          &b.helping_ms, &b.helped_strips, &b.workers, &b.strips, &b.drawn_strips, &b.runs, &b.rows})
            *t /= static_cast<double>(sum.frames);
    }
    return sum;
}
