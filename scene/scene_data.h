// The global data block: the constant scene, the animation and shading
// constants, the working arrays of the frame pipeline and the two pixel
// buffers. Every subsystem reads and writes these items directly.
//
// Threads: everything here but the pixel buffers is written on the main
// thread only, during start-up or in a frame before its workers start.
// The reference engine's render workers read the scene, screen_vertices,
// rotated_normals and depth_buffer, and write nothing but frame_buffer pixels
// of their own half of the rows; the main thread has cleared both buffers and
// drawn depth_buffer before they start. The fast engine's workers read the
// texture and the frame's faces, which the main thread copies for them
// (engine/fast_engine.h), and write frame_buffer and depth_buffer, each
// worker only in the rows of the strips it takes.
#pragma once

#include <cstddef>
#include <cstdint>

// Three floats with a 12-byte stride: positions, normals, edge vectors.
struct Vec3 {
    float x, y, z;
};
static_assert(sizeof(Vec3) == 12, "Vec3 arrays are walked with a 12-byte stride");

// Four floats, 16-byte aligned. Colour vectors hold blue, green, red and a
// fourth lane, the byte order of a frame-buffer pixel, in units of 0 to 255.
struct alignas(16) Vec4 {
    float lane[4];
};
static_assert(sizeof(Vec4) == 16 && alignof(Vec4) == 16);

// The three vertex indices of a face, in the order that fixes its normal's
// direction and its corners' texture coordinates.
struct FaceIndices {
    std::uint16_t corner[3];
};
static_assert(sizeof(FaceIndices) == 6);

// x (signed 16 bits) in the high half, y (signed 16 bits) in the low half.
using ScreenPoint = std::uint32_t;

struct alignas(16) LightRecord {
    Vec4 direction;
    Vec4 diffuse;
    Vec4 ambient;
    Vec4 specular;
};
static_assert(sizeof(LightRecord) == 64, "the light table is walked in 64-byte records");

// Room in every per-vertex and per-face working array.
inline constexpr int working_array_room = 6;
inline constexpr int light_count = 3;
inline constexpr int texture_size = 128;
inline constexpr int texel_count = texture_size * texture_size;
inline constexpr int packed_texture_bytes = texel_count / 2;
inline constexpr int palette_entries = 16;

// --- Model ------------------------------------------------------------------
extern std::uint16_t vertex_count;
extern std::uint16_t face_count;
extern Vec3 model_vertices[working_array_room];
extern FaceIndices model_faces[working_array_room];

// --- Lights, palette, texture ----------------------------------------------
extern LightRecord lights[light_count];
extern const std::uint8_t palette[palette_entries * 3];          // blue, green, red per entry
extern const std::uint8_t packed_texture[packed_texture_bytes];  // 4 bits per texel, turned 180 degrees
extern std::uint32_t texture[texel_count];                       // 0x00RRGGBB, rows of 128

// --- Animation state and constants -------------------------------------------
extern std::uint32_t frame_counter;  // 0..511, advanced after each frame
extern const float angle_step;       // radians per frame
extern std::uint8_t full_speed;      // 1: flat out; 0: sleep 1 ms per frame
extern std::uint8_t zoom_shrinking;  // 0 growing, 1 shrinking
extern std::int16_t zoom_counter;    // runs between 0 and 912
extern const float zoom_grow_factor;
extern const float zoom_shrink_factor;
extern float scale;  // pixels per model unit
// The scale seen at the first turn from shrinking to growing; every later
// turn starts again from it, so the zoom repeats exactly instead of creeping.
// 0 until that first turn.
extern float zoom_restart_scale;
extern std::int16_t screen_centre[4];  // frame_width / 2, frame_height / 2, 0, 0
// cos a, sin a, -cos a, -sin a, cos 2a, sin 2a, -cos 2a, -sin 2a
extern float rotation_coeffs[8];  // 16-byte aligned

// --- Shading constants -------------------------------------------------------
extern const float depth_tolerance;
extern const Vec4 texel_clamp;
extern const Vec4 colour_clamp;
extern const Vec4 zero_vector;
extern const Vec4 one_vector;
extern const Vec4 xyz_mask;  // all bits set in lanes 0 to 2, zero in lane 3

// --- Working arrays -------------------------------------------------------------
extern Vec3 screen_vertices[working_array_room];
extern Vec3 face_normals[working_array_room];
extern Vec3 vertex_normals[working_array_room];
// One element more than the room: the shading pass loads each normal as four
// lanes, 16 bytes, and the last one's load must stay inside the array.
extern Vec3 rotated_normals[working_array_room + 1];
extern Vec3 edge_scratch[2];

// --- Frame and its buffers ---------------------------------------------------
extern std::uint16_t frame_width;
extern std::uint16_t frame_height;
// frame_width x frame_height pixels 0x00RRGGBB, rows from the top, no gaps.
extern std::uint32_t* frame_buffer;
// frame_width x frame_height depths, same layout; smaller is nearer.
extern float* depth_buffer;

// The far depth every clear writes: 60000.1015625.
inline constexpr std::uint32_t far_depth_bits = 0x476A601Au;

// Puts every item that the program changes back to its initial value (the
// buffers and frame size excepted), as at process start.
void restore_initial_scene_data();

// Puts the model (counts, vertices, faces) and the lights back to their
// initial values, before preparation.
void restore_initial_model();
