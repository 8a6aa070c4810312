#include "engine/fast_engine.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <chrono>
#include <optional>

#include "pipeline/depth_pass.h"
#include "pipeline/face_walk.h"
#include "raster/shading.h"
#include "scene/float_control.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

ShadeRun to_run(const Span<ShadeValue>& span, std::uint32_t row_pitch) {
    ShadeRun run;
    _mm_store_ps(run.normal.lane, span.at_left.normal);
    _mm_store_ps(run.normal_step.lane, span.step.normal);
    _mm_store_ps(run.attributes.lane, span.at_left.attributes);
    _mm_store_ps(run.attribute_step.lane, span.step.attributes);
    run.first = static_cast<std::uint32_t>(span.row) * row_pitch + static_cast<std::uint32_t>(span.left);
    run.count = span.count;
    return run;
}

}  // namespace

FastEngine::FastEngine(int workers, InstructionSet set, Estimates estimates, const PoolThreadServices& threads)
    : set_(set),
      estimates_(estimates),
      kernels_(span_kernels(set, estimates)),
      pool_(calling_thread_draws_its_share ? workers - 1 : workers, threads) {
    // One slot for each worker and one for the calling thread.
    times_.resize(static_cast<std::size_t>(pool_.started() + 1));
    extents_.resize(times_.size());
}

// The workers use the members until the frame ends, and members die before
// the pool that would otherwise wait for it.
FastEngine::~FastEngine() { finish_draw(); }

FastEngine::DrawnRows& FastEngine::drawn_rows_for(const FrameTarget& target) {
    DrawnRows* slot = nullptr;
    for (DrawnRows& s : drawn_slots_)
        if (s.frame == target.frame) slot = &s;
    if (slot && slot->width == target.width && slot->height == target.height) return *slot;
    // A buffer this engine has not drawn into, or has drawn into at another
    // size, whose rows lay elsewhere: its first frame clears every row whole,
    // whatever it holds. Its one record is the one of its latest size.
    if (!slot) {
        slot = &drawn_slots_[next_slot_];
        next_slot_ = (next_slot_ + 1) % remembered_buffers;
    }
    slot->frame = target.frame;
    slot->width = target.width;
    slot->height = target.height;
    slot->rows.assign(target.height, RowReach{0, target.width});
    return *slot;
}

void FastEngine::draw(const FrameFace* faces, int face_count, const FrameTarget& target) {
    begin_draw(faces, face_count, target);
    finish_draw();
}

void FastEngine::begin_draw(const FrameFace* faces, int face_count, const FrameTarget& target) {
    finish_draw();
    if (!texture_looked_at_) {
        texture_looked_at_ = true;
        if (number_texture(texture, &numbered_texture_)) numbered_ = &numbered_texture_;
    }
    face_count_ = std::min(face_count, working_array_room);
    std::copy(faces, faces + face_count_, faces_);
    target_ = target;
    drawn_ = &drawn_rows_for(target);
    strip_count_ = (target.height + strip_rows - 1) / strip_rows;
    frame_timed_ = timing_;
    frame_pending_ = true;
    next_strip_.store(0, std::memory_order_relaxed);
    workers_started_.store(0, std::memory_order_relaxed);
    if (frame_timed_) frame_begun_ = Clock::now();
    // A worker for every strip at most: the others stay asleep. The count is
    // set before the workers start, which read it.
    woken_ = pool_.started() > 0 ? std::clamp(strip_count_, 1, pool_.started()) : 1;
    [[maybe_unused]] const int woken = pool_.begin(work, this, strip_count_);
    assert(woken == woken_);
    if (frame_timed_) frames_times_.begin_ms += milliseconds_since(frame_begun_);
}

void FastEngine::finish_draw() {
    // Workers that were asleep take tens of microseconds to wake: the
    // calling thread, which would only wait, draws strips until they have
    // all started, on a processor they have not yet taken (or, drawing its
    // share, until none is left).
    if (frame_pending_ && pool_.started() > 0 && (calling_thread_draws_its_share || pool_.woke_sleeping_workers()))
        draw_strips(pool_.started());
    pool_.finish();
    if (!frame_pending_) return;
    frame_pending_ = false;
    // What this frame drew, row by row, is now the buffer's record: outside
    // the rectangle of those columns every pixel is 0.
    PixelRect extent{};
    for (StripExtent& drawn : extents_) {
        extent = bounding_rect(extent, drawn.rect);
        drawn.rect = {};
    }
    last_extent_ = extent;
    if (!frame_timed_) return;
    frame_timed_ = false;
    const Clock::time_point seen = Clock::now();
    // The workers' mean, over those the frame woke: the others did nothing.
    const double woken = woken_;
    Clock::time_point last_end = times_.front().ended;
    for (int w = 0; w < woken_; ++w) last_end = std::max(last_end, times_[static_cast<std::size_t>(w)].ended);
    for (int w = 0; w < woken_; ++w) {
        WorkerTimes& t = times_[static_cast<std::size_t>(w)];
        frames_times_.clearing_ms += t.clearing_ms / woken;
        frames_times_.walking_ms += t.walking_ms / woken;
        frames_times_.depth_ms += t.depth_ms / woken;
        frames_times_.shading_ms += t.shading_ms / woken;
        frames_times_.woken_ms += t.woken_ms / woken;
        frames_times_.faces_ms += t.faces_ms / woken;
        frames_times_.waiting_ms += std::chrono::duration<double, std::milli>(last_end - t.ended).count() / woken;
        frames_times_.strips += t.strips;
        frames_times_.drawn_strips += t.drawn_strips;
        frames_times_.runs += t.runs;
        frames_times_.rows += t.rows;
        t = {};
    }
    WorkerTimes& caller = times_.back();
    frames_times_.helping_ms += caller.clearing_ms + caller.walking_ms + caller.depth_ms + caller.shading_ms;
    frames_times_.helped_strips += caller.strips;
    frames_times_.strips += caller.strips;
    frames_times_.drawn_strips += caller.drawn_strips;
    frames_times_.runs += caller.runs;
    frames_times_.rows += caller.rows;
    caller = {};
    frames_times_.workers += woken_;
    frames_times_.handover_ms += std::chrono::duration<double, std::milli>(seen - last_end).count();
}

void FastEngine::time_stages(bool on) {
    finish_draw();
    timing_ = on;
}

FastStageTimes FastEngine::take_stage_times() {
    finish_draw();
    const FastStageTimes sum = frames_times_;
    frames_times_ = {};
    return sum;
}

void FastEngine::work(void* engine, int worker) { static_cast<FastEngine*>(engine)->draw_strips(worker); }

void FastEngine::draw_strips(int slot) {
    // Every frame, on whichever thread draws it: the pool's threads set it
    // when they start, but the calling thread draws when no worker could be
    // had or while they wake, and its control is whatever its caller left.
    use_default_float_control();
    const bool calling_thread = slot == pool_.started() && pool_.started() > 0;
    // The calling thread drawing only while the workers wake.
    const bool helping = calling_thread && !calling_thread_draws_its_share;
    if (!calling_thread)
        workers_started_.fetch_add(1, std::memory_order_relaxed);
    else if (helping && workers_started_.load(std::memory_order_relaxed) >= woken_)
        return;
    WorkerTimes& times = times_[static_cast<std::size_t>(slot)];
    const Clock::time_point woken = frame_timed_ ? Clock::now() : Clock::time_point{};
    if (frame_timed_ && !calling_thread)
        times.woken_ms = std::chrono::duration<double, std::milli>(woken - frame_begun_).count();
    const FrameTarget& target = target_;
    const ClipBand frame_band = whole_frame_band(target);
    // Each worker walks every face from its top row, stepping past the rows
    // of other workers' strips: a row's values never depend on who draws it.
    std::optional<FaceWalk<ShadeValue>> walks[working_array_room];
    for (int f = 0; f < face_count_; ++f) {
        walks[f].emplace(faces_[f].corner);
        if (walks[f]->misses(frame_band)) walks[f].reset();
    }
    const RunBuffers buffers{target.frame, target.depth, texture, numbered_};
    const float far = std::bit_cast<float>(far_depth_bits);
    if (frame_timed_ && !calling_thread) times.faces_ms = milliseconds_since(woken);

    ShadeRun runs[working_array_room * strip_rows * most_strips_taken];
    RowReach reach[strip_rows * most_strips_taken];
    PixelRect& extent = extents_[static_cast<std::size_t>(slot)].rect;
    for (;;) {
        if (helping && workers_started_.load(std::memory_order_relaxed) >= woken_) break;
        // Two strips at a time while there are plenty for every worker, so
        // that fewer of the kernels' lanes stand idle at the end of a take;
        // then one, so that the workers end close together.
        const int take =
            next_strip_.load(std::memory_order_relaxed) + 4 * woken_ <= strip_count_ ? most_strips_taken : 1;
        const int strip = next_strip_.fetch_add(take, std::memory_order_relaxed);
        if (strip >= strip_count_) break;
        const std::int32_t first_row = strip * strip_rows;
        const std::int32_t end_row = std::min(first_row + take * strip_rows, std::int32_t{target.height});
        if (frame_timed_) times.strips += (end_row - first_row + strip_rows - 1) / strip_rows;
        const Clock::time_point start = frame_timed_ ? Clock::now() : Clock::time_point{};

        // Every face's runs on the strip's rows, face by face.
        int run_count = 0;
        for (RowReach& r : reach) r = {target.width, 0};
        for (auto& walk : walks) {
            if (!walk) continue;
            walk->skip_to(first_row);
            walk->walk_rows(end_row,
                            [&](std::int32_t row, const EdgeState<ShadeValue>& a, const EdgeState<ShadeValue>& b) {
                                Span<ShadeValue> span;
                                if (!set_up_span(row, a, b, frame_band, &span)) return;
                                runs[run_count++] = to_run(span, target.width);
                                RowReach& r = reach[row - first_row];
                                r.first = std::min(r.first, span.left);
                                r.end = std::max(r.end, span.left + span.count);
                            });
        }
        const Clock::time_point walked = frame_timed_ ? Clock::now() : Clock::time_point{};

        // The frame buffer where the previous frame drew (the rest is still
        // 0), the depth buffer where this frame's runs reach.
        for (std::int32_t row = first_row; row < end_row; ++row) {
            RowReach& before = drawn_->rows[static_cast<std::size_t>(row)];
            const RowReach& now = reach[row - first_row];
            const std::size_t row_start = static_cast<std::size_t>(row) * target.width;
            if (before.first < before.end)
                std::fill(target.frame + row_start + before.first, target.frame + row_start + before.end, 0u);
            if (now.first < now.end) {
                std::fill(target.depth + row_start + now.first, target.depth + row_start + now.end, far);
                extent = bounding_rect(extent, {now.first, row, now.end, row + 1});
            }
            before = now;
        }
        const Clock::time_point cleared = frame_timed_ ? Clock::now() : Clock::time_point{};

        kernels_.store_depths(runs, run_count, target.depth);
        const Clock::time_point depth_done = frame_timed_ ? Clock::now() : Clock::time_point{};
        kernels_.shade(runs, run_count, buffers);
        if (frame_timed_) {
            for (std::int32_t first = 0; first < end_row - first_row; first += strip_rows) {
                bool drawn = false;
                for (std::int32_t k = first; k < std::min(first + strip_rows, end_row - first_row); ++k)
                    drawn |= reach[k].first < reach[k].end;
                times.drawn_strips += drawn;
            }
            times.runs += run_count;
            for (const RowReach& r : reach) times.rows += r.first < r.end;
            times.walking_ms += std::chrono::duration<double, std::milli>(walked - start).count();
            times.clearing_ms += std::chrono::duration<double, std::milli>(cleared - walked).count();
            times.depth_ms += std::chrono::duration<double, std::milli>(depth_done - cleared).count();
            times.shading_ms += milliseconds_since(depth_done);
        }
    }
    if (frame_timed_ && !calling_thread) times.ended = Clock::now();
}
