// The fast engine: the same pictures as the reference engine, bit for bit,
// drawn by a pool of workers that share every stage of the frame but the
// transform. The frame's rows are dealt out in strips; a worker takes the
// next strip, walks every face's edges to the strip's runs, clears the
// strip's pixels that the previous frame drew and its depths where the runs
// reach, draws the runs into the depth buffer and then shades them, with the
// kernels of one instruction set.
//
// The depth buffer is defined only where faces reach: elsewhere it holds
// whatever an earlier frame left there. The frame buffer is complete: it is
// cleared where the previous frame drew into it, and every other pixel is
// still 0 from before.
//
// Threads: one thread (the main thread) calls the members; the work runs on
// the pool's workers, and on WebAssembly on the calling thread too. Whatever the engine is asked while a frame is drawn
// waits for that frame to end first: a second begin_draw, a change of timing,
// taking the times, and the engine's end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/worker_pool.h"
#include "pipeline/frame.h"
#include "raster/span_kernels.h"

// Rows per strip: small enough that the strips of a model a few rows tall
// still spread over the workers, large enough that a strip's runs amortise
// their set-up, and as many as the widest kernel's lanes, so that one face's
// runs on a strip fill a block. A strip's depths stay in the processor's
// cache between its pre-pass and its shading.
inline constexpr int strip_rows = 16;
// Strips a worker takes at once while there are plenty left.
inline constexpr int most_strips_taken = 2;

// The frame buffers whose last frame the engine remembers, row by row, so
// that their next frame clears only what that one drew: as many as a
// presenter draws into in turn (a Wayland compositor may hold two while
// two more are drawn into and shown).
inline constexpr int remembered_buffers = 4;

// Time the workers spent in each stage: for each frame the mean over the
// workers it woke, summed over the frames. Then what a frame costs beyond
// its stages, and what it was made of, likewise summed over the frames.
struct FastStageTimes {
    double clearing_ms = 0;
    double walking_ms = 0;  // edges, runs and their set-up
    double depth_ms = 0;    // the depth pre-pass over the runs
    double shading_ms = 0;

    double begin_ms = 0;     // the calling thread waking the workers (begin_draw)
    double woken_ms = 0;     // from begin_draw's start to a worker's start of the frame
    double faces_ms = 0;     // a worker's set-up of the faces' walks for the frame
    double waiting_ms = 0;   // from a worker's end of the frame to the last one's
    double handover_ms = 0;  // from the last worker's end to finish_draw's return
    double helping_ms = 0;   // the calling thread drawing strips while the workers woke
    long helped_strips = 0;  // the strips it drew
    long workers = 0;        // workers woken
    long strips = 0;         // strips taken, by the workers and the calling thread
    long drawn_strips = 0;   // of them, strips with runs
    long runs = 0;
    long rows = 0;  // rows with runs
};

class FastEngine {
  public:
    FastEngine(int workers, InstructionSet set, Estimates estimates = default_estimates,
               const PoolThreadServices& threads = platform_pool_threads);
    ~FastEngine();
    FastEngine(const FastEngine&) = delete;
    FastEngine& operator=(const FastEngine&) = delete;

    // Where threads cannot yield (WebAssembly), a calling thread that only
    // waited for the workers would take a processor from them, spinning, or
    // sleep and be woken. There it is one of the frame's workers instead,
    // drawing strips in finish_draw until none is left, and the pool has one
    // thread fewer: a frame of n workers runs n threads on n processors, not
    // n + 1, whose spins take no processor another of them needs.
    static constexpr bool calling_thread_draws_its_share = !WorkerPool::threads_yield;

    // The threads that draw a frame: the pool's, and the calling thread
    // where it draws its share.
    int workers() const { return pool_.started() + (calling_thread_draws_its_share ? 1 : 0); }
    InstructionSet instruction_set() const { return set_; }
    Estimates estimates() const { return estimates_; }

    // Draws the faces into the target: the same picture as the reference
    // engine's depth pre-pass and shading pass. The target's frame buffer
    // must hold what this engine last drew into it, or be all 0; one that is
    // not among the last remembered_buffers it drew into, or that it drew into at another
    // size, may hold anything: its first frame clears it whole.
    void draw(const FrameFace* faces, int face_count, const FrameTarget& target);
    // The same in two steps: begin starts the workers and returns; finish
    // waits for them. Nothing may touch the target's buffers in between.
    void begin_draw(const FrameFace* faces, int face_count, const FrameTarget& target);
    void finish_draw();

    // The rectangle the last frame finished drew into: every pixel of its
    // target outside it is 0. Valid once finish_draw has returned.
    PixelRect last_extent() const { return last_extent_; }

    // Per-stage times of the frames begun while timing is on.
    void time_stages(bool on);
    FastStageTimes take_stage_times();

  private:
    // The columns a row's runs reached: [first, end), empty when first >= end.
    struct RowReach {
        std::int32_t first;
        std::int32_t end;
    };
    // What the last frame drew into one frame buffer, row by row.
    struct DrawnRows {
        const std::uint32_t* frame = nullptr;
        std::uint16_t width = 0, height = 0;
        std::vector<RowReach> rows;
    };

    static void work(void* engine, int worker);
    // Draws strips as they come, into the worker's slot of times_; the
    // calling thread's slot is the last one. The calling thread takes strips
    // while some worker of the frame has not yet started, or where it draws
    // its share, until none is left.
    void draw_strips(int slot);
    DrawnRows& drawn_rows_for(const FrameTarget& target);

    InstructionSet set_;
    Estimates estimates_;
    const SpanKernels& kernels_;
    WorkerPool pool_;

    // The scene's texture with its colours numbered, made at the first frame
    // (the texture is decoded at start, and every start decodes the same
    // one); unused where it has more than 16 colours.
    bool texture_looked_at_ = false;
    const NumberedTexture* numbered_ = nullptr;
    NumberedTexture numbered_texture_;

    // The frame in progress, written before the workers start.
    FrameFace faces_[working_array_room];
    int face_count_ = 0;
    FrameTarget target_{};
    DrawnRows* drawn_ = nullptr;
    int strip_count_ = 0;
    bool frame_pending_ = false;  // begun, and not yet seen finished
    PixelRect last_extent_{};
    bool frame_timed_ = false;
    int woken_ = 0;  // the workers the frame woke
    // Counted up by each worker as it starts on the frame.
    alignas(cache_line_bytes) std::atomic<int> workers_started_{0};
    // Taken by every worker for every strip: a line of its own.
    alignas(cache_line_bytes) std::atomic<int> next_strip_{0};

    alignas(cache_line_bytes) DrawnRows drawn_slots_[remembered_buffers];
    int next_slot_ = 0;

    bool timing_ = false;  // for the frames begun from now on
    std::chrono::steady_clock::time_point frame_begun_{};
    struct alignas(cache_line_bytes) WorkerTimes {
        double clearing_ms = 0, walking_ms = 0, depth_ms = 0, shading_ms = 0, woken_ms = 0, faces_ms = 0;
        std::chrono::steady_clock::time_point ended{};
        long strips = 0, drawn_strips = 0, runs = 0, rows = 0;
    };
    std::vector<WorkerTimes> times_;  // of the frame in progress, one per worker
    // The rectangle each worker's runs reached in the frame in progress.
    struct alignas(cache_line_bytes) StripExtent {
        PixelRect rect;
    };
    std::vector<StripExtent> extents_;
    FastStageTimes frames_times_;  // of the frames finished
};
