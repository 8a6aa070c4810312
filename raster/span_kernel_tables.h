// The kernel tables, one for each instruction set and arithmetic, each
// defined in its instruction set's own file and built only for its
// processor. Declared once here, where the choosing code and every defining
// file include it, so that the compiler checks each definition.
#pragma once

#include "raster/span_kernels.h"

// x86-64: SSE3, the baseline; AVX2 and AVX-512 where the processor has them.
extern const SpanKernels sse3_span_kernel_table;
extern const SpanKernels sse3_ieee_span_kernel_table;
extern const SpanKernels avx2_span_kernel_table;
extern const SpanKernels avx2_ieee_span_kernel_table;
extern const SpanKernels avx512_span_kernel_table;
extern const SpanKernels avx512_ieee_span_kernel_table;

// ARM64: NEON, with the ieee arithmetic only.
extern const SpanKernels neon_span_kernel_table;

// WebAssembly: SIMD128, with the ieee arithmetic only.
extern const SpanKernels simd128_span_kernel_table;
