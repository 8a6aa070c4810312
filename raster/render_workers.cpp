#include <xmmintrin.h>

#include "pipeline/frame.h"
#include "raster/shading.h"
#include "raster/worker_threads.h"

// u in the low half, v in the high half.
const std::uint32_t corner_texcoords[3] = {
    64u | 0u << 16,     // apex, middle of the top row
    0u | 127u << 16,    // bottom left
    127u | 127u << 16,  // bottom right
};

ShadingMode shading_mode = ShadingMode::two_workers;
const WorkerThreadServices* worker_threads = &platform_worker_threads;

ClipBand worker_band(int worker_index) {
    const std::int32_t half = frame_height >> 1;
    const std::int32_t first_row = half * worker_index;
    return {first_row, first_row + half, 0, frame_width};
}

void render_faces(int worker_index) {
    const ShadeTarget target{worker_band(worker_index), frame_width, frame_buffer, depth_buffer, texture};
    const __m128 lanes_xyz = _mm_load_ps(xyz_mask.lane);
    for (int f = 0; f < face_count; ++f) {
        ShadeCorner corners[3];
        for (int n = 0; n < 3; ++n) {
            const int i = model_faces[f].corner[n];
            const Vec3& position = screen_vertices[i];
            corners[n].position = make_screen_point(position.x, position.y);
            corners[n].depth = position.z;
            // A four-lane load of a Vec3 takes in the next one's x: cleared.
            const __m128 normal = _mm_loadu_ps(&rotated_normals[i].x);
            _mm_store_ps(corners[n].normal.lane, _mm_and_ps(normal, lanes_xyz));
            corners[n].u = static_cast<std::uint16_t>(corner_texcoords[n] & 0xFFFFu);
            corners[n].v = static_cast<std::uint16_t>(corner_texcoords[n] >> 16);
        }
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
