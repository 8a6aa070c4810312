// Frame preparation: the stages of a frame up to the rasterizing passes, and
// the records both passes take their work in. Main thread only, after start-up.
#pragma once

#include <cstdint>

#include "scene/scene_data.h"

// Stage 1 of a frame: the frame buffer to black, the depth buffer to the far
// depth, both whole.
void clear_buffers();

// Stages 2 and 3: the frame's rotation of positions and normals, the zoom
// step and the projection onto the screen.
void transform_and_project();

// After a frame: the next frame number, kept to 0..511.
void advance_frame_counter();

// Stores `value` into `count` 32-bit elements from `destination` on.
// count is a multiple of 4 and destination is 16-byte aligned; nothing past
// the count is touched.
void fill_dwords(std::uint32_t value, std::uint32_t count, std::uint32_t* destination);

// Fills rotation_coeffs for the frame number: the base angle a and 2a in
// double precision, their cosines and sines rounded to floats.
void compute_rotation_coeffs(std::int32_t frame_number);

// The frame's two-angle transform (a rotation by 2a in the y-z plane, then a
// rotation with a mirror by a in the x-z plane) of `count` points.
// rotation_coeffs must hold this frame's values.
void rotate_points(int count, const Vec3* source, Vec3* destination);

// One step of the zoom: grows or shrinks scale and moves zoom_counter.
void zoom_step();

// Scales screen_vertices by scale and moves x and y to the frame centre.
void project_vertices();

// A screen position as both passes see it: x and y rounded to the nearest
// integer, ties to even, saturated to -32768..32767; x in the high half.
ScreenPoint make_screen_point(float x, float y);
inline std::int16_t screen_point_x(ScreenPoint p) { return static_cast<std::int16_t>(p >> 16); }
inline std::int16_t screen_point_y(ScreenPoint p) { return static_cast<std::int16_t>(p & 0xFFFFu); }

// --- What the passes work on ----------------------------------------------

// One face corner as the passes receive it: the rounded screen position, the
// unrounded depth, the rotated normal and the corner's texture coordinates.
struct ShadeCorner {
    ScreenPoint position;
    float depth;
    Vec4 normal;      // lane 3 is 0
    std::uint16_t u;  // texture column
    std::uint16_t v;  // texture row
};

// A face's three corners, in the corner order of its FaceIndices.
struct FrameFace {
    ShadeCorner corner[3];
};

// Texture coordinates of a face's three corners, u in the low half and v in
// the high half: every face maps onto the same triangle of the texture.
extern const std::uint32_t corner_texcoords[3];

// The corners of face `face` of the current frame, from screen_vertices,
// rotated_normals and corner_texcoords. Call after transform_and_project().
void gather_face_corners(int face, ShadeCorner corners[3]);

// Every face of the current frame; returns face_count.
int gather_frame_faces(FrameFace faces[working_array_room]);

// The rectangle of the frame that one pass or worker may write: rows from
// first_row and columns from first_column, up to the end values, which are
// excluded. All four lie within the signed 16-bit range.
struct ClipBand {
    std::int32_t first_row;
    std::int32_t end_row;
    std::int32_t first_column;
    std::int32_t end_column;
};

// A rectangle of the frame: columns from `left` and rows from `top`, up to
// `right` and `bottom`, which are excluded; empty when either end is not past
// its start.
struct PixelRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;

    bool empty() const { return right <= left || bottom <= top; }
};

// The smallest rectangle holding both.
inline PixelRect bounding_rect(const PixelRect& a, const PixelRect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return {a.left < b.left ? a.left : b.left, a.top < b.top ? a.top : b.top, a.right > b.right ? a.right : b.right,
            a.bottom > b.bottom ? a.bottom : b.bottom};
}

// A frame's size and its two pixel buffers, rows from the top down with
// `width` pixels to a row.
struct FrameTarget {
    std::uint16_t width;
    std::uint16_t height;
    std::uint32_t* frame;
    float* depth;
};

// The whole frame as a band.
inline ClipBand whole_frame_band(const FrameTarget& target) { return {0, target.height, 0, target.width}; }

// The frame the global data block describes: frame_width x frame_height,
// frame_buffer and depth_buffer.
FrameTarget global_frame_target();
