// The processor a build is for, asked once for every source: x86-64 (SSE3
// the baseline; AVX2 and AVX-512 chosen at run time), ARM64 (NEON) or
// WebAssembly (wasm32 with SIMD128). CMakeLists.txt makes the same choice
// from the target processor, for the compile flags and the kernel files.
#pragma once

#if defined(__x86_64__)
#define OMBRASTEL_X86 1
#define OMBRASTEL_ARM64 0
#define OMBRASTEL_WASM 0
#elif defined(__aarch64__)
#define OMBRASTEL_X86 0
#define OMBRASTEL_ARM64 1
#define OMBRASTEL_WASM 0
#elif defined(__wasm32__)
#if !defined(__wasm_simd128__)
#error "The WebAssembly build needs SIMD128 (-msimd128)"
#endif
#define OMBRASTEL_X86 0
#define OMBRASTEL_ARM64 0
#define OMBRASTEL_WASM 1
#else
#error "Ombrastel is built for x86-64, ARM64 or WebAssembly (wasm32)"
#endif
