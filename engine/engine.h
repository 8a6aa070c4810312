// The frame's orchestration: which engine draws the frames, and render_frame,
// which the window programs, the tools and the tests call once per frame.
//
//   reference  the system's own design: both buffers cleared whole, the depth
//              pre-pass on the calling thread, then two render workers
//              created for the frame, one per half of the rows, one pixel at
//              a time with four-lane arithmetic.
//   fast       the same pictures, bit for bit, from a pool of workers that
//              share every stage but the transform, several pixels per
//              instruction (engine/fast_engine.h).
//
// Threads: main thread only, and never from a signal handler: these calls
// wait for workers, take locks and allocate.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pipeline/frame.h"
#include "raster/span_kernels.h"
#include "scene/estimates.h"

enum class EngineKind { fast, reference };

struct EngineChoice {
    EngineKind kind = EngineKind::fast;
    int workers = 0;  // 0: the engine's default
    // The fast engine's kernels; none (auto): the widest set whose kernels
    // give the four-lane bits here (best_instruction_set).
    std::optional<InstructionSet> instruction_set = std::nullopt;
    // The arithmetic of every reciprocal (scene/estimates.h), model
    // preparation included.
    Estimates estimates = default_estimates;
};

// The fast engine takes 1 to most_fast_workers workers, one per processor
// the process may run on unless told otherwise; the reference engine 1 (both
// halves on the calling thread) or 2 (its two render workers, the default).
inline constexpr int most_fast_workers = 64;
int default_fast_workers();

const char* engine_name(EngineKind kind);
bool engine_named(std::string_view name, EngineKind* kind);
// "auto" for none, else instruction_set_name.
const char* instruction_set_choice_name(std::optional<InstructionSet> set);
// Names only this build's instruction sets (built_instruction_sets) and auto.
bool instruction_set_choice_named(std::string_view name, std::optional<InstructionSet>* set);

// What of a choice cannot run here, and one line saying why: a worker count
// the engine does not take, an instruction set for the reference engine or
// one this processor lacks or cannot use with the arithmetic, estimates the
// processor lacks.
enum class ChoicePart { workers, instruction_set, estimates };
struct ChoiceFault {
    ChoicePart part;
    std::string reason;
};
std::optional<ChoiceFault> check_engine_choice(const EngineChoice& choice);

// Starts the chosen engine for the frame start_system set up, ending the
// engine before it; a model prepared with another arithmetic is prepared
// again with the chosen one (and start_system keeps it from then on). Returns
// "" when it runs, otherwise check_engine_choice's reason, and then no engine
// runs until the next start.
std::string start_engine(const EngineChoice& choice);
// Ends the running engine and its workers.
void stop_engine();

struct RunningEngine {
    EngineKind kind;
    int workers;                     // workers that draw (started ones)
    InstructionSet instruction_set;  // the reference engine's is the baseline: sse3, neon or simd128
    Estimates estimates;
};
// The running engine; the default engine is started if none runs.
RunningEngine running_engine();

// Renders the frame of the current frame_counter into frame_buffer with the
// running engine (the default engine if none was started): when it returns
// the picture is complete and no worker is drawing. The depth buffer is the
// reference engine's whole; the fast engine's only where faces reach.
void render_frame();

// render_frame in two steps, for a caller that shows the frame before while
// this one is drawn: begin_frame takes the frame through the transform and
// sets the engine drawing into frame_buffer; finish_frame waits until the
// picture is complete. In between, the caller may read any other buffer but
// must not touch frame_buffer, depth_buffer or the scene. The reference
// engine draws the whole frame in begin_frame. A begin_frame, or a change of
// timing, while a frame is drawn first waits for it to end. begin_frame
// leaves the calling thread with the default floating-point control
// (use_default_float_control), whatever it had before.
void begin_frame();
void finish_frame();
// True from begin_frame to finish_frame: a frame is being drawn, or lies
// drawn and not yet taken by finish_frame.
bool frame_in_progress();

// The rectangle of the frame last finished outside which every pixel is 0
// (black): where its faces reached. The reference engine, which clears and
// draws the whole frame, says the whole frame; so does any engine before
// its first frame.
PixelRect last_frame_extent();

// Mean time per frame of each stage, over the frames rendered while timing
// was on. The fast engine's clearing, depth pre-pass and shading overlap
// across its workers: for it they are the workers' time per frame divided by
// the number of workers the frame woke, and `workers` is the pool's time
// from waking the workers to the last one's end.
struct StageTimes {
    double clearing_ms = 0;
    double transform_ms = 0;
    double depth_ms = 0;
    double shading_ms = 0;
    double workers_ms = 0;  // fast engine only
    long frames = 0;

    // The fast engine only: what a frame costs beyond its pixels and what it
    // is made of, means per frame. The workers' parts are means over the
    // workers the frame woke, as the stages are.
    struct Budget {
        double begin_ms = 0;     // the calling thread waking the workers
        double woken_ms = 0;     // from then to a worker's start of the frame
        double faces_ms = 0;     // a worker's set-up of every face's walk
        double walking_ms = 0;   // of depth_ms: the faces' edges and runs, strip by strip
        double waiting_ms = 0;   // from a worker's end of the frame to the last one's
        double handover_ms = 0;  // from the last worker's end to the frame's end on the calling thread
        double helping_ms = 0;   // the calling thread drawing strips while sleeping workers woke
        double helped_strips = 0;
        double workers = 0;                                       // woken
        double strips = 0, drawn_strips = 0, runs = 0, rows = 0;  // rows: rows with runs
    } budget;
};
void time_stages(bool on);
StageTimes take_stage_times();
