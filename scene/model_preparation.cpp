#include <cmath>

#include "scene/extended.h"
#include "scene/preparation.h"
#include "scene/simd.h"

// The normal computations carry products, sums, roots and quotients in
// extended precision (a 64-bit significand, whatever the compiler's long
// double) and round once, on store, to single precision; the light directions
// and the model scale are single precision throughout with one reciprocal
// each, estimated or rounded as the arithmetic says (scene/estimates.h).

namespace {

float reciprocal_sqrt(float s, [[maybe_unused]] Estimates estimates) {
#if OMBRASTEL_X86
    if (estimates == Estimates::x86) return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(s)));
#endif
    return 1.0f / std::sqrt(s);
}

float reciprocal(float m, [[maybe_unused]] Estimates estimates) {
#if OMBRASTEL_X86
    if (estimates == Estimates::x86) return _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(m)));
#endif
    return 1.0f / m;
}

float& axis(Vec3& v, int a) { return a == 0 ? v.x : a == 1 ? v.y : v.z; }

}  // namespace

void normalize_light_directions(LightRecord* first, int count, Estimates estimates) {
    for (LightRecord* light = first; light != first + count; ++light) {
        float* d = light->direction.lane;
        const float s = (d[0] * d[0] + d[1] * d[1]) + (d[2] * d[2] + d[3] * d[3]);
        // A direction of zero length has no unit direction: it stays zero,
        // and the light then gives only its ambient colour.
        if (s == 0.0f) continue;
        const float r = reciprocal_sqrt(s, estimates);
        for (int lane = 0; lane < 4; ++lane) d[lane] = d[lane] * r;
    }
}

void centre_and_scale_model(int count, Vec3* vertices, Estimates estimates) {
    // The running maximum over all three axes, of the signed centred values:
    // hi - mid is never negative, so it ends as the largest half-extent.
    float m = +0.0f;
    for (int a = 0; a < 3; ++a) {
        float hi = axis(vertices[0], a);
        float lo = hi;
        for (int i = 1; i < count; ++i) {
            const float t = axis(vertices[i], a);
            hi = std::fmax(hi, t);
            lo = std::fmin(lo, t);
        }
        const float mid = (hi + lo) / 2.0f;
        for (int i = 0; i < count; ++i) {
            float& t = axis(vertices[i], a);
            t = t - mid;
            m = std::fmax(m, t);
        }
    }
    // Vertices that all coincide have no extent to scale: they stay at the
    // centre rather than becoming 0 times infinity.
    if (m == 0.0f) return;
    const float f = reciprocal(m, estimates);
    for (int i = 0; i < count; ++i) {
        vertices[i].x = vertices[i].x * f;
        vertices[i].y = vertices[i].y * f;
        vertices[i].z = vertices[i].z * f;
    }
}

void vec3_sub(Vec3* out, const Vec3* a, const Vec3* b) {
    out->x = a->x - b->x;
    out->y = a->y - b->y;
    out->z = a->z - b->z;
}

void vec3_cross(Vec3* out, const Vec3* a, const Vec3* b) {
    out->x = static_cast<float>(Extended{a->y} * Extended{b->z} - Extended{a->z} * Extended{b->y});
    out->y = static_cast<float>(Extended{a->z} * Extended{b->x} - Extended{a->x} * Extended{b->z});
    out->z = static_cast<float>(Extended{a->x} * Extended{b->y} - Extended{a->y} * Extended{b->x});
}

void vec3_normalize(Vec3* v) {
    const Extended x{v->x}, y{v->y}, z{v->z};
    const Extended length = sqrt(x * x + (y * y + z * z));
    if (length.is_zero()) {
        *v = Vec3{+0.0f, +0.0f, +0.0f};
        return;
    }
    v->x = static_cast<float>(x / length);
    v->y = static_cast<float>(y / length);
    v->z = static_cast<float>(z / length);
}

void compute_face_normals() {
    for (int f = 0; f < face_count; ++f) {
        const FaceIndices& face = model_faces[f];
        const Vec3& p0 = model_vertices[face.corner[0]];
        const Vec3& p1 = model_vertices[face.corner[1]];
        const Vec3& p2 = model_vertices[face.corner[2]];
        // The second edge runs from the second corner to the third: the
        // edges fix the rounding of the normal.
        vec3_sub(&edge_scratch[0], &p1, &p0);
        vec3_sub(&edge_scratch[1], &p2, &p1);
        vec3_cross(&face_normals[f], &edge_scratch[0], &edge_scratch[1]);
        vec3_normalize(&face_normals[f]);
    }
}

void compute_vertex_normals() {
    for (int v = 0; v < vertex_count; ++v) {
        Vec3 sum{+0.0f, +0.0f, +0.0f};
        int count = 0;
        for (int f = 0; f < face_count; ++f) {
            const std::uint16_t* corner = model_faces[f].corner;
            // A face counts once for a vertex even if it names it twice.
            if (corner[0] != v && corner[1] != v && corner[2] != v) continue;
            sum.x = sum.x + face_normals[f].x;
            sum.y = sum.y + face_normals[f].y;
            sum.z = sum.z + face_normals[f].z;
            ++count;
        }
        Vec3& normal = vertex_normals[v];
        // A vertex that no face uses is never shaded; it gets the zero normal
        // instead of 0 / 0.
        if (count == 0) {
            normal = Vec3{+0.0f, +0.0f, +0.0f};
            continue;
        }
        normal.x = static_cast<float>(Extended{sum.x} / Extended{count});
        normal.y = static_cast<float>(Extended{sum.y} / Extended{count});
        normal.z = static_cast<float>(Extended{sum.z} / Extended{count});
        vec3_normalize(&normal);
    }
}
