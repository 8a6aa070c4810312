// What the instruction check of the core must find: every fused
// multiply-add form and every AVX-512 estimate it looks for, one function
// each, compiled with contraction on (tests/CMakeLists.txt). Contraction
// makes the fused forms out of a plain product and sum; the alternating and
// estimate forms have no plain spelling and are asked for by intrinsic.
#include <immintrin.h>

__m256 multiply_add(__m256 a, __m256 b, __m256 c) { return _mm256_add_ps(_mm256_mul_ps(a, b), c); }
__m256 multiply_subtract(__m256 a, __m256 b, __m256 c) { return _mm256_sub_ps(_mm256_mul_ps(a, b), c); }
float negated_multiply_add(float a, float b, float c) { return c - a * b; }
float negated_multiply_subtract(float a, float b, float c) { return -(a * b) - c; }
__m128 alternating_add_subtract(__m128 a, __m128 b, __m128 c) { return _mm_fmaddsub_ps(a, b, c); }
__m128 alternating_subtract_add(__m128 a, __m128 b, __m128 c) { return _mm_fmsubadd_ps(a, b, c); }
__m512 wide_reciprocal_square_root(__m512 a) { return _mm512_rsqrt14_ps(a); }
__m512 wide_reciprocal(__m512 a) { return _mm512_rcp14_ps(a); }
__m512 widest_reciprocal_square_root(__m512 a) { return _mm512_rsqrt28_ps(a); }
__m512 widest_reciprocal(__m512 a) { return _mm512_rcp28_ps(a); }
