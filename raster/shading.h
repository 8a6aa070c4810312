// The shading pass: two render workers, one per half of the rows, walk every
// face and add each covered pixel's lit, textured colour into the frame
// buffer. Only pixels whose depth matches the depth pre-pass's nearest depth
// (within depth_tolerance) get the lights' specular colours.
//
// Threads: shading_pass runs on the main thread and returns after both workers
// have ended. Everything below it runs on a worker, with the worker's state on
// its own stack; the workers write disjoint rows of frame_buffer and read the
// scene, screen_vertices, rotated_normals and depth_buffer, which nobody
// writes while they run.
#pragma once

#include <cstdint>

#include "scene/scene_data.h"

// One face corner as the shading pass receives it.
struct ShadeCorner {
    ScreenPoint position;
    float depth;
    Vec4 normal;  // lane 3 is 0
    std::uint16_t u;  // texture column
    std::uint16_t v;  // texture row
};

// The rectangle of the frame one worker may write; end values exclusive.
struct ClipBand {
    std::int32_t first_row;
    std::int32_t end_row;
    std::int32_t first_column;
    std::int32_t end_column;
};

// Where a worker draws: its band, the row pitch of both pixel buffers in
// pixels, and the buffers themselves.
struct ShadeTarget {
    ClipBand band;
    std::uint32_t row_pitch;
    std::uint32_t* frame;
    const float* depth;
    const std::uint32_t* texels;
};

// One end of a row's run: a whole column, the interpolated normal and the
// interpolated attribute vector (u, v, depth, spare).
struct SpanEnd {
    std::int32_t column;
    Vec4 normal;
    Vec4 attributes;
};

// Texture coordinates of a face's three corners, u in the low half and v in
// the high half: every face maps onto the same triangle of the texture.
extern const std::uint32_t corner_texcoords[3];

// How the two bands are shaded. two_workers is the system's own way;
// calling_thread shades both bands one after the other on the main thread
// (the tools' one-worker mode).
enum class ShadingMode { two_workers, calling_thread };
extern ShadingMode shading_mode;

// Stage 5 of render_frame: shades the frame and returns once it is complete.
void shading_pass();

// The band of worker 0 (upper half of the rows) or 1 (lower half).
ClipBand worker_band(int worker_index);

// A worker's face loop: builds each face's ShadeCorners and shades the face
// within the worker's band.
void render_faces(int worker_index);

// Sorts the corners, walks the rows from the top corner's row to the row
// above the bottom corner and hands each row to shade_span.
void shade_triangle(const ShadeCorner corners[3], const ShadeTarget& target);

// Shades the run between two ends (either order) on one row, clipped to the
// band: columns from the left end up to, not including, the right end.
void shade_span(std::int32_t row, const SpanEnd& end_a, const SpanEnd& end_b,
                const ShadeTarget& target);
