#include "pipeline/frame.h"

#include <cmath>

#include "scene/simd.h"

// u in the low half, v in the high half.
const std::uint32_t corner_texcoords[3] = {
    64u | 0u << 16,     // apex, middle of the top row
    0u | 127u << 16,    // bottom left
    127u | 127u << 16,  // bottom right
};

void clear_buffers() {
    const std::uint32_t count = std::uint32_t{frame_width} * frame_height;
    fill_dwords(0u, count, frame_buffer);
    fill_dwords(far_depth_bits, count, reinterpret_cast<std::uint32_t*>(depth_buffer));
}

void transform_and_project() {
    compute_rotation_coeffs(static_cast<std::int32_t>(frame_counter));
    rotate_points(vertex_count, model_vertices, screen_vertices);
    rotate_points(vertex_count, vertex_normals, rotated_normals);
    // The zoom advances before the projection: the very first frame is
    // already drawn at the advanced scale.
    zoom_step();
    project_vertices();
}

void advance_frame_counter() { frame_counter = (frame_counter + 1) & 511u; }

void fill_dwords(std::uint32_t value, std::uint32_t count, std::uint32_t* destination) {
    // The odd elements first, singly, so that the blocks of 16 that follow
    // end exactly at the count.
    const std::uint32_t singles = count % 16;
    for (std::uint32_t i = 0; i < singles; ++i) destination[i] = value;
    const __m128i pattern = _mm_set1_epi32(static_cast<int>(value));
    auto* block = reinterpret_cast<__m128i*>(destination + singles);
    for (std::uint32_t b = 0; b < count / 16; ++b, block += 4) {
        _mm_store_si128(block + 0, pattern);
        _mm_store_si128(block + 1, pattern);
        _mm_store_si128(block + 2, pattern);
        _mm_store_si128(block + 3, pattern);
    }
}

void compute_rotation_coeffs(std::int32_t frame_number) {
    // Exact in double: a 24-bit significand times an integer below 512.
    const double a = frame_number * static_cast<double>(angle_step);
    const double a2 = 2.0 * a;
    const float cos_a = static_cast<float>(std::cos(a));
    const float sin_a = static_cast<float>(std::sin(a));
    const float cos_2a = static_cast<float>(std::cos(a2));
    const float sin_2a = static_cast<float>(std::sin(a2));
    // The negated copies let both rotation steps pick their coefficients
    // with shuffles alone.
    const float coeffs[8] = {cos_a, sin_a, -cos_a, -sin_a, cos_2a, sin_2a, -cos_2a, -sin_2a};
    for (int i = 0; i < 8; ++i) rotation_coeffs[i] = coeffs[i];
}

void rotate_points(int count, const Vec3* source, Vec3* destination) {
    const __m128 turn_a = _mm_load_ps(rotation_coeffs);       // cos a, sin a, -cos a, -sin a
    const __m128 turn_2a = _mm_load_ps(rotation_coeffs + 4);  // cos 2a, sin 2a, -cos 2a, -sin 2a
    // (cos 2a, sin 2a, cos 2a, -sin 2a) against (y, z, z, y):
    // y' = y cos 2a + z sin 2a, z' = z cos 2a - y sin 2a.
    const __m128 yz_coeffs = _mm_shuffle_ps(turn_2a, turn_2a, _MM_SHUFFLE(3, 0, 1, 0));
    // (sin a, cos a, cos a, -sin a) against (x, z', x, z'):
    // x'' = x sin a + z' cos a, z'' = x cos a - z' sin a.
    const __m128 xz_coeffs = _mm_shuffle_ps(turn_a, turn_a, _MM_SHUFFLE(3, 0, 0, 1));
    for (int i = 0; i < count; ++i) {
        const __m128 point = _mm_setr_ps(source[i].x, source[i].y, source[i].z, 0.0f);
        const __m128 yzzy = _mm_shuffle_ps(point, point, _MM_SHUFFLE(1, 2, 2, 1));
        const __m128 products_2a = _mm_mul_ps(yzzy, yz_coeffs);
        const __m128 yz_turned = _mm_hadd_ps(products_2a, products_2a);  // y', z', y', z'
        const __m128 xxzz = _mm_shuffle_ps(point, yz_turned, _MM_SHUFFLE(1, 1, 0, 0));
        const __m128 xzxz = _mm_shuffle_ps(xxzz, xxzz, _MM_SHUFFLE(3, 1, 2, 0));
        const __m128 products_a = _mm_mul_ps(xzxz, xz_coeffs);
        const __m128 xz_turned = _mm_hadd_ps(products_a, products_a);  // x'', z'', x'', z''
        destination[i].x = _mm_cvtss_f32(xz_turned);
        destination[i].y = _mm_cvtss_f32(yz_turned);
        destination[i].z = _mm_cvtss_f32(_mm_shuffle_ps(xz_turned, xz_turned, _MM_SHUFFLE(1, 1, 1, 1)));
    }
}

void zoom_step() {
    if (zoom_counter == 912) zoom_shrinking = 1;
    if (zoom_counter == 0) {
        zoom_shrinking = 0;
        // Every turn from shrinking to growing starts from the scale of the
        // first such turn. The two factors multiply to slightly more than 1,
        // so without this the extremes would creep outwards period by period
        // until the model overflowed the screen.
        if (zoom_restart_scale == 0.0f)
            zoom_restart_scale = scale;
        else
            scale = zoom_restart_scale;
    }
    if (zoom_shrinking == 0) {
        scale = scale * zoom_grow_factor;
        ++zoom_counter;
    } else {
        scale = scale * zoom_shrink_factor;
        --zoom_counter;
    }
}

void project_vertices() {
    const float centre_x = static_cast<float>(screen_centre[0]);
    const float centre_y = static_cast<float>(screen_centre[1]);
    for (int i = 0; i < vertex_count; ++i) {
        Vec3& v = screen_vertices[i];
        v.x = v.x * scale + centre_x;
        v.y = v.y * scale + centre_y;
        v.z = v.z * scale;
    }
}

ScreenPoint make_screen_point(float x, float y) {
    // Saturate before converting: the conversion alone would turn anything
    // beyond 2^31 into the most negative integer. A NaN passes the upper
    // limit (the maximum takes its second operand) and ends at -32768, as the
    // conversion alone would leave it.
    const __m128 position = _mm_setr_ps(x, y, 0.0f, 0.0f);
    const __m128 limited = _mm_min_ps(_mm_max_ps(position, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
    const __m128i rounded = _mm_cvtps_epi32(limited);  // to nearest, ties to even
    const auto column = static_cast<std::uint16_t>(_mm_cvtsi128_si32(rounded));
    const auto row = static_cast<std::uint16_t>(_mm_cvtsi128_si32(_mm_srli_si128(rounded, 4)));
    return std::uint32_t{column} << 16 | row;
}

void gather_face_corners(int face, ShadeCorner corners[3]) {
    const __m128 lanes_xyz = _mm_load_ps(xyz_mask.lane);
    for (int n = 0; n < 3; ++n) {
        const int i = model_faces[face].corner[n];
        const Vec3& position = screen_vertices[i];
        corners[n].position = make_screen_point(position.x, position.y);
        corners[n].depth = position.z;
        // A four-lane load of a Vec3 takes in the next one's x: cleared.
        const __m128 normal = _mm_loadu_ps(&rotated_normals[i].x);
        _mm_store_ps(corners[n].normal.lane, _mm_and_ps(normal, lanes_xyz));
        corners[n].u = static_cast<std::uint16_t>(corner_texcoords[n] & 0xFFFFu);
        corners[n].v = static_cast<std::uint16_t>(corner_texcoords[n] >> 16);
    }
}

int gather_frame_faces(FrameFace faces[working_array_room]) {
    for (int f = 0; f < face_count; ++f) gather_face_corners(f, faces[f].corner);
    return face_count;
}

FrameTarget global_frame_target() { return {frame_width, frame_height, frame_buffer, depth_buffer}; }
