// The shading pass of the reference engine: two render workers, one per half
// of the rows, walk every face and add each covered pixel's lit, textured
// colour into the frame buffer. Only pixels whose depth matches the depth
// pre-pass's nearest depth (within depth_tolerance) get the lights' specular
// colours.
//
// Threads: shading_pass runs on the main thread and returns after both workers
// have ended. Everything below it runs on a worker, with the worker's state on
// its own stack; the workers write disjoint rows of frame_buffer and read the
// scene, screen_vertices, rotated_normals and depth_buffer, which nobody
// writes while they run.
#pragma once

#include <cstdint>

#include "pipeline/face_walk.h"
#include "pipeline/frame.h"
#include "scene/estimates.h"
#include "scene/scene_data.h"
#include "scene/simd.h"

// What the shading walk carries along the edges and across a run: the
// interpolated normal (x, y, z, 0), not of unit length, and the attribute
// vector (u, v, depth, a spare lane that is never read). The depth lane goes
// through exactly the operations of DepthValue.
struct ShadeValue {
    __m128 normal;
    __m128 attributes;

    static ShadeValue at_corner(const ShadeCorner& c) {
        return {_mm_load_ps(c.normal.lane),
                _mm_setr_ps(static_cast<float>(c.u), static_cast<float>(c.v), c.depth, 0.0f)};
    }
    static ShadeValue zero() { return {_mm_setzero_ps(), _mm_setzero_ps()}; }
    static ShadeValue change(const ShadeValue& from, const ShadeValue& to, float steps) {
        const __m128 divisor = _mm_set1_ps(steps);
        return {_mm_div_ps(_mm_sub_ps(to.normal, from.normal), divisor),
                _mm_div_ps(_mm_sub_ps(to.attributes, from.attributes), divisor)};
    }
    void add(const ShadeValue& step) {
        normal = _mm_add_ps(normal, step.normal);
        attributes = _mm_add_ps(attributes, step.attributes);
    }
    void skip(const ShadeValue& step, float steps) {
        const __m128 count = _mm_set1_ps(steps);
        normal = _mm_add_ps(normal, _mm_mul_ps(count, step.normal));
        attributes = _mm_add_ps(attributes, _mm_mul_ps(count, step.attributes));
    }
};

// Where a shading walk draws: its band, the frame's row count, the row pitch
// of both pixel buffers in pixels, the buffers themselves, and the arithmetic
// of the normal's reciprocal square root.
struct ShadeTarget {
    ClipBand band;
    std::int32_t frame_rows;
    std::uint32_t row_pitch;
    std::uint32_t* frame;
    const float* depth;
    const std::uint32_t* texels;
    Estimates estimates = default_estimates;
};

// One end of a row's run: a whole column, the interpolated normal and the
// interpolated attribute vector (u, v, depth, spare).
struct SpanEnd {
    std::int32_t column;
    Vec4 normal;
    Vec4 attributes;
};

// How the two bands are shaded. two_workers is the system's own way;
// calling_thread shades both bands one after the other on the main thread
// (the tools' one-worker mode).
enum class ShadingMode { two_workers, calling_thread };
extern ShadingMode shading_mode;
// The reference engine's arithmetic, set when the engine starts.
extern Estimates shading_estimates;

// The last stage of a reference frame: shades the frame with the two render
// workers and returns once it is complete.
void shading_pass();

// The band of worker 0 (upper half of the rows) or 1 (lower half).
ClipBand worker_band(int worker_index);

// A worker's face loop: builds each face's ShadeCorners and shades the face
// within the worker's band. Sets the thread's floating-point control first.
void render_faces(int worker_index);

// Sorts the corners, walks the rows from the top corner's row to the row
// above the bottom corner and shades each row's run inside the band.
void shade_triangle(const ShadeCorner corners[3], const ShadeTarget& target);

// Shades the run between two ends (either order) on one row, clipped to the
// band: columns from the left end up to, not including, the right end.
void shade_span(std::int32_t row, const SpanEnd& end_a, const SpanEnd& end_b, const ShadeTarget& target);
