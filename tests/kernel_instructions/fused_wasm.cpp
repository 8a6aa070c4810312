// What the instruction check of the core must find on WebAssembly: the
// relaxed fused multiply-adds, whose rounding may differ from machine to
// machine. Contraction never makes them (WebAssembly's plain instructions
// have no fused form), so they are asked for by their builtins, with the
// relaxed instructions on (tests/CMakeLists.txt).
#include <wasm_simd128.h>

v128_t multiply_add(v128_t a, v128_t b, v128_t c) { return __builtin_wasm_fma_f32x4(a, b, c); }
v128_t negated_multiply_add(v128_t a, v128_t b, v128_t c) { return __builtin_wasm_fms_f32x4(a, b, c); }
