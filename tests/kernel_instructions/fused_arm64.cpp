// What the instruction check of the core must find on ARM64: every fused
// multiply-add form it looks for, one function each, made by contraction
// (tests/CMakeLists.txt compiles this with it on) out of a plain product and
// sum, in scalars and in four-lane vectors.
#include <arm_neon.h>

float multiply_add(float a, float b, float c) { return a * b + c; }
float multiply_subtract(float a, float b, float c) { return c - a * b; }
float negated_multiply_add(float a, float b, float c) { return -(a * b) - c; }
float negated_multiply_subtract(float a, float b, float c) { return a * b - c; }
float32x4_t lanes_multiply_add(float32x4_t a, float32x4_t b, float32x4_t c) { return vaddq_f32(vmulq_f32(a, b), c); }
float32x4_t lanes_multiply_subtract(float32x4_t a, float32x4_t b, float32x4_t c) {
    return vsubq_f32(c, vmulq_f32(a, b));
}
