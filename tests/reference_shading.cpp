#include "reference_shading.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "scene/scene_data.h"
#include "scene/simd.h"

namespace reference {

int round_coordinate(double value) {
    if (std::isnan(value) || value <= -32768.0) return -32768;
    if (value >= 32767.0) return 32767;
    return static_cast<int>(std::nearbyint(value));
}

namespace {

struct Edge {
    std::int32_t x;  // times 1024
    float normal[4];
    float attributes[4];
};

struct SortedCorner {
    int x, y;
    float normal[4];
    float attributes[4];
};

Edge start_at(const SortedCorner& c) {
    Edge e{c.x * 1024, {}, {}};
    for (int i = 0; i < 4; ++i) {
        e.normal[i] = c.normal[i];
        e.attributes[i] = c.attributes[i];
    }
    return e;
}

Edge step_between(const SortedCorner& a, const SortedCorner& b) {
    Edge s{0, {}, {}};
    const int dy = b.y - a.y;
    if (dy == 0) return s;
    s.x = (b.x - a.x) * 1024 / dy;
    const float rows = static_cast<float>(dy);
    for (int i = 0; i < 4; ++i) {
        s.normal[i] = (b.normal[i] - a.normal[i]) / rows;
        s.attributes[i] = (b.attributes[i] - a.attributes[i]) / rows;
    }
    return s;
}

void step(Edge& e, const Edge& s) {
    e.x += s.x;
    for (int i = 0; i < 4; ++i) {
        e.normal[i] = e.normal[i] + s.normal[i];
        e.attributes[i] = e.attributes[i] + s.attributes[i];
    }
}

int floor_column(std::int32_t fixed) { return static_cast<int>(std::floor(static_cast<double>(fixed) / 1024.0)); }

void span(int y, const Edge& a, const Edge& b, const Band& band, int frame_width, int frame_height,
          const PixelVisitor& visit) {
    if (y < 0 || y >= frame_height || y < band.first_row || y >= band.end_row) return;
    const int column_a = floor_column(a.x), column_b = floor_column(b.x);
    if (column_a == column_b) return;
    const Edge& left_edge = column_a < column_b ? a : b;
    const Edge& right_edge = column_a < column_b ? b : a;
    int left = std::min(column_a, column_b), right = std::max(column_a, column_b);
    const int first_column = std::max(band.first_column, 0);
    const int end_column = std::min(band.end_column, frame_width);
    if (left >= end_column || right <= first_column) return;

    const float width = static_cast<float>(right - left);
    float normal[4], attributes[4], normal_step[4], attribute_step[4];
    for (int i = 0; i < 4; ++i) {
        normal[i] = left_edge.normal[i];
        attributes[i] = left_edge.attributes[i];
        normal_step[i] = (right_edge.normal[i] - normal[i]) / width;
        attribute_step[i] = (right_edge.attributes[i] - attributes[i]) / width;
    }
    if (left < first_column) {
        const float skipped = static_cast<float>(first_column - left);
        for (int i = 0; i < 4; ++i) {
            normal[i] = normal[i] + skipped * normal_step[i];
            attributes[i] = attributes[i] + skipped * attribute_step[i];
        }
        left = first_column;
    }
    right = std::min(right, end_column);
    for (int x = left; x < right; ++x) {
        visit(x, y, normal, attributes);
        for (int i = 0; i < 4; ++i) {
            normal[i] = normal[i] + normal_step[i];
            attributes[i] = attributes[i] + attribute_step[i];
        }
    }
}

float reciprocal_square_root(float s, [[maybe_unused]] Estimates estimates) {
#if OMBRASTEL_X86
    if (estimates == Estimates::x86) return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(s)));
#endif
    return 1.0f / std::sqrt(s);
}

float max_like_hardware(float a, float b) { return a > b ? a : b; }
float min_like_hardware(float a, float b) { return a < b ? a : b; }

int to_int_like_hardware(float value) {
    if (!(value >= -2147483648.0f && value < 2147483648.0f)) return std::numeric_limits<int>::min();
    return static_cast<int>(std::nearbyint(value));
}

}  // namespace

void walk_face(const Corner corners[3], const Band& band, int frame_width, int frame_height,
               const PixelVisitor& visit) {
    SortedCorner c[3];
    for (int n = 0; n < 3; ++n) {
        c[n].x = round_coordinate(corners[n].x_screen);
        c[n].y = round_coordinate(corners[n].y_screen);
        for (int i = 0; i < 4; ++i) c[n].normal[i] = corners[n].normal[i];
        c[n].attributes[0] = corners[n].u;
        c[n].attributes[1] = corners[n].v;
        c[n].attributes[2] = corners[n].depth;
        c[n].attributes[3] = 0.0f;
    }
    // Stable: equal rows keep the face's order.
    std::stable_sort(c, c + 3, [](const SortedCorner& p, const SortedCorner& q) { return p.y < q.y; });

    const Edge top_bottom = step_between(c[0], c[2]);
    const Edge top_middle = step_between(c[0], c[1]);
    const Edge middle_bottom = step_between(c[1], c[2]);
    Edge long_edge = start_at(c[0]);
    Edge short_edge = long_edge;
    for (int y = c[0].y; y < c[1].y; ++y) {
        span(y, long_edge, short_edge, band, frame_width, frame_height, visit);
        step(long_edge, top_bottom);
        step(short_edge, top_middle);
    }
    short_edge = start_at(c[1]);
    for (int y = c[1].y; y < c[2].y; ++y) {
        span(y, long_edge, short_edge, band, frame_width, frame_height, visit);
        step(long_edge, top_bottom);
        step(short_edge, middle_bottom);
    }
}

std::uint32_t shade_pixel(const float normal[4], const float attributes[4], float stored_depth, std::uint32_t pixel,
                          const std::uint32_t* texels, Estimates estimates) {
    const float s = (normal[0] * normal[0] + normal[1] * normal[1]) + (normal[2] * normal[2] + normal[3] * normal[3]);
    const float r = reciprocal_square_root(s, estimates);
    float n[4];
    for (int i = 0; i < 4; ++i) n[i] = normal[i] * r;

    const float u = min_like_hardware(attributes[0], 124.0f);
    const float v = min_like_hardware(attributes[1], 124.0f);
    const int column = static_cast<int>(u), row = static_cast<int>(v);  // toward zero
    const float fu = u - static_cast<float>(column), fv = v - static_cast<float>(row);

    const float d = attributes[2];
    const bool front_most = (d - depth_tolerance < stored_depth) && (stored_depth <= d + depth_tolerance);

    float light[4] = {0, 0, 0, 0};
    for (const LightRecord& l : lights) {
        const float* dir = l.direction.lane;
        const float k = (n[0] * dir[0] + n[1] * dir[1]) + (n[2] * dir[2] + n[3] * dir[3]);
        const float k16 = [&] {
            float p = k * k;
            p = p * p;
            p = p * p;
            return p * p;
        }();
        for (int c = 0; c < 4; ++c) {
            const float specular = front_most ? k16 * l.specular.lane[c] : 0.0f;
            const float diffuse = max_like_hardware(k, 0.0f) * l.diffuse.lane[c];
            const float value = (specular + diffuse) + l.ambient.lane[c];
            light[c] = max_like_hardware(light[c], value);
        }
    }

    const float w00 = (1.0f - fu) * (1.0f - fv), w10 = fu * (1.0f - fv);
    const float w01 = (1.0f - fu) * fv, w11 = fu * fv;
    const std::uint32_t* t = texels + row * 128 + column;
    std::uint32_t result = pixel & 0xFF000000u;
    for (int c = 0; c < 3; ++c) {
        auto channel = [c](std::uint32_t texel) { return static_cast<float>(texel >> (8 * c) & 0xFFu); };
        const float texture_value =
            (w00 * channel(t[0]) + w10 * channel(t[1])) + (w01 * channel(t[128]) + w11 * channel(t[129]));
        const float lit = min_like_hardware(light[c], 255.0f);
        const int modulated = std::clamp(to_int_like_hardware(lit * texture_value) >> 8, 0, 255);
        const int sum = std::min(255, static_cast<int>(pixel >> (8 * c) & 0xFFu) + modulated);
        result |= static_cast<std::uint32_t>(sum) << (8 * c);
    }
    return result;
}

// Every face maps onto the same triangle of the texture: (u, v) by corner.
constexpr float corner_uv[3][2] = {{64.0f, 0.0f}, {0.0f, 127.0f}, {127.0f, 127.0f}};

std::vector<std::array<Corner, 3>> frame_faces() {
    std::vector<std::array<Corner, 3>> faces;
    for (int f = 0; f < face_count; ++f) {
        std::array<Corner, 3> face;
        for (int n = 0; n < 3; ++n) {
            const int i = model_faces[f].corner[n];
            const Vec3& p = screen_vertices[i];
            const Vec3& normal = rotated_normals[i];
            face[n] = {p.x, p.y, p.z, {normal.x, normal.y, normal.z, 0.0f}, corner_uv[n][0], corner_uv[n][1]};
        }
        faces.push_back(face);
    }
    return faces;
}

std::vector<float> depth_frame() {
    std::vector<float> depth(std::size_t{frame_width} * frame_height, std::bit_cast<float>(far_depth_bits));
    const Band whole{0, frame_height, 0, frame_width};
    for (const auto& face : frame_faces()) {
        walk_face(face.data(), whole, frame_width, frame_height,
                  [&](int x, int y, const float*, const float* attributes) {
                      float& stored = depth[std::size_t(y) * frame_width + x];
                      if (attributes[2] < stored) stored = attributes[2];
                  });
    }
    return depth;
}

std::vector<std::uint32_t> shade_frame(const std::vector<float>& depth, Estimates estimates) {
    std::vector<std::uint32_t> frame(std::size_t{frame_width} * frame_height, 0u);
    const Band whole{0, frame_height, 0, frame_width};
    for (const auto& face : frame_faces()) {
        walk_face(face.data(), whole, frame_width, frame_height,
                  [&](int x, int y, const float* normal, const float* attributes) {
                      const std::size_t i = std::size_t(y) * frame_width + x;
                      frame[i] = shade_pixel(normal, attributes, depth[i], frame[i], texture, estimates);
                  });
    }
    return frame;
}

}  // namespace reference
