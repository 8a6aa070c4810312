#include "scene/scene_data.h"

#include <algorithm>
#include <bit>
#include <iterator>

namespace {

constexpr float float_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// The model before preparation: a solid of four vertices and four faces.
constexpr Vec3 initial_vertices[4] = {
    {-1.0f, -1.0f, 1.0f},
    {1.0f, -1.0f, 1.0f},
    {0.0f, 1.0f, 0.0f},
    {0.0f, -1.0f, -1.0f},
};

constexpr FaceIndices initial_faces[4] = {
    {{0, 2, 1}},
    {{3, 2, 0}},
    {{1, 2, 3}},
    {{0, 1, 3}},
};

// direction (x, y, z, 0); colours (blue, green, red, 0)
constexpr LightRecord initial_lights[light_count] = {
    {{{0.0f, 0.0f, -1.0f, 0.0f}},
     {{50.0f, 49.0f, 44.0f, 0.0f}},
     {{30.0f, 41.0f, 30.0f, 0.0f}},
     {{255.0f, 255.0f, 5.0f, 0.0f}}},
    {{{-0.5f, -0.5f, -1.0f, 0.0f}},
     {{32.0f, 27.0f, 17.0f, 0.0f}},
     {{1.0f, 1.0f, 1.0f, 0.0f}},
     {{255.0f, 255.0f, 255.0f, 0.0f}}},
    {{{0.5f, 0.5f, -1.0f, 0.0f}},
     {{13.0f, 1.0f, 80.0f, 0.0f}},
     {{7.0f, 3.0f, 17.0f, 0.0f}},
     {{25.0f, 255.0f, 255.0f, 0.0f}}},
};

constexpr std::int16_t initial_zoom_counter = 350;
constexpr float initial_scale = 200.0f;

}  // namespace

std::uint16_t vertex_count = 4;
std::uint16_t face_count = 4;
Vec3 model_vertices[working_array_room] = {initial_vertices[0], initial_vertices[1], initial_vertices[2],
                                           initial_vertices[3]};
FaceIndices model_faces[working_array_room] = {initial_faces[0], initial_faces[1], initial_faces[2], initial_faces[3]};

LightRecord lights[light_count] = {initial_lights[0], initial_lights[1], initial_lights[2]};

const std::uint8_t palette[palette_entries * 3] = {
    0x41, 0x44, 0x47,  // 0
    0x9F, 0xA2, 0xA2,  // 1
    0x75, 0x74, 0x76,  // 2
    0xCE, 0xD2, 0xD2,  // 3
    0x8C, 0x8D, 0x8F,  // 4
    0xBC, 0xBF, 0xBF,  // 5
    0x60, 0x5E, 0x61,  // 6
    0xE3, 0xE9, 0xE8,  // 7
    0x6A, 0x67, 0x6D,  // 8
    0xAB, 0xAD, 0xAF,  // 9
    0x81, 0x80, 0x85,  // 10
    0x97, 0x98, 0x9C,  // 11
    0xC6, 0xC9, 0xCC,  // 12
    0xF4, 0xFA, 0xFC,  // 13
    0x52, 0x50, 0x55,  // 14
    0xDA, 0xDF, 0xDF,  // 15
};

alignas(16) std::uint32_t texture[texel_count];

std::uint32_t frame_counter = 0;
const float angle_step = float_bits(0x3C49081Cu);  // 0.01227
std::uint8_t full_speed = 1;
std::uint8_t zoom_shrinking = 0;
std::int16_t zoom_counter = initial_zoom_counter;
const float zoom_grow_factor = float_bits(0x3F8037B5u);    // 1.0017
const float zoom_shrink_factor = float_bits(0x3F7F90C7u);  // 0.99830288, nearest to 1 / 1.0017
float scale = initial_scale;
float zoom_restart_scale = 0.0f;
std::int16_t screen_centre[4] = {0, 0, 0, 0};
alignas(16) float rotation_coeffs[8];

const float depth_tolerance = float_bits(0x3F8CCCCDu);  // 1.1
const Vec4 texel_clamp = {{124.0f, 124.0f, 124.0f, 124.0f}};
const Vec4 colour_clamp = {{255.0f, 255.0f, 255.0f, 255.0f}};
const Vec4 zero_vector = {{0.0f, 0.0f, 0.0f, 0.0f}};
const Vec4 one_vector = {{1.0f, 1.0f, 1.0f, 1.0f}};
const Vec4 xyz_mask = {{float_bits(0xFFFFFFFFu), float_bits(0xFFFFFFFFu), float_bits(0xFFFFFFFFu), 0.0f}};

Vec3 screen_vertices[working_array_room];
Vec3 face_normals[working_array_room];
Vec3 vertex_normals[working_array_room];
Vec3 rotated_normals[working_array_room + 1];
Vec3 edge_scratch[2];

std::uint16_t frame_width = 0;
std::uint16_t frame_height = 0;
std::uint32_t* frame_buffer = nullptr;
float* depth_buffer = nullptr;

void restore_initial_model() {
    vertex_count = 4;
    face_count = 4;
    std::fill(std::begin(model_vertices), std::end(model_vertices), Vec3{});
    std::copy(std::begin(initial_vertices), std::end(initial_vertices), model_vertices);
    std::fill(std::begin(model_faces), std::end(model_faces), FaceIndices{});
    std::copy(std::begin(initial_faces), std::end(initial_faces), model_faces);
    std::copy(std::begin(initial_lights), std::end(initial_lights), lights);
}

void restore_initial_scene_data() {
    restore_initial_model();
    std::fill(std::begin(texture), std::end(texture), 0u);

    frame_counter = 0;
    full_speed = 1;
    zoom_shrinking = 0;
    zoom_counter = initial_zoom_counter;
    scale = initial_scale;
    zoom_restart_scale = 0.0f;
    std::fill(std::begin(screen_centre), std::end(screen_centre), std::int16_t{0});
    std::fill(std::begin(rotation_coeffs), std::end(rotation_coeffs), 0.0f);

    for (Vec3* array : {screen_vertices, face_normals, vertex_normals})
        std::fill(array, array + working_array_room, Vec3{});
    std::fill(std::begin(rotated_normals), std::end(rotated_normals), Vec3{});
    std::fill(std::begin(edge_scratch), std::end(edge_scratch), Vec3{});
}
