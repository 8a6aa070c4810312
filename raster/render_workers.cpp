#include "pipeline/frame.h"
#include "raster/shading.h"
#include "raster/worker_threads.h"
#include "scene/float_control.h"

ShadingMode shading_mode = ShadingMode::two_workers;
Estimates shading_estimates = default_estimates;
const WorkerThreadServices* worker_threads = &platform_worker_threads;

ClipBand worker_band(int worker_index) {
    const std::int32_t half = frame_height >> 1;
    const std::int32_t first_row = half * worker_index;
    return {first_row, first_row + half, 0, frame_width};
}

void render_faces(int worker_index) {
    use_default_float_control();
    const ShadeTarget target{worker_band(worker_index), frame_height, frame_width, frame_buffer, depth_buffer, texture,
                             shading_estimates};
    for (int f = 0; f < face_count; ++f) {
        ShadeCorner corners[3];
        gather_face_corners(f, corners);
        shade_triangle(corners, target);
    }
}

void shading_pass() {
    if (shading_mode == ShadingMode::calling_thread) {
        render_faces(0);
        render_faces(1);
        return;
    }
    const WorkerThreadServices& threads = *worker_threads;
    WorkerHandle worker_handles[2];
    for (int i = 0; i < 2; ++i) {
        worker_handles[i] = threads.create_suspended(i);
        if (worker_handles[i]) threads.raise_priority(worker_handles[i]);
    }
    for (int i = 0; i < 2; ++i)
        if (worker_handles[i]) threads.pin_to_processor(worker_handles[i], i);

    WorkerHandle running[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i)
        if (worker_handles[i] && threads.resume(worker_handles[i])) running[i] = worker_handles[i];
    // A band whose worker could not be had is shaded here, while the other
    // worker runs: the frame is complete either way, and the stage never
    // returns while a worker still runs.
    for (int i = 0; i < 2; ++i)
        if (!running[i]) render_faces(i);
    threads.wait_for_all(running, 2);

    for (int i = 0; i < 2; ++i)
        if (worker_handles[i]) threads.close(worker_handles[i]);
}
