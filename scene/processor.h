// The processor a build is for, asked once for every source: x86-64 (SSE3
// the baseline; AVX2 and AVX-512 chosen at run time) or ARM64 (NEON).
// CMakeLists.txt makes the same choice from the target processor, for the
// compile flags and the kernel files.
#pragma once

#if defined(__x86_64__)
#define OMBRASTEL_X86 1
#define OMBRASTEL_ARM64 0
#elif defined(__aarch64__)
#define OMBRASTEL_X86 0
#define OMBRASTEL_ARM64 1
#else
#error "Ombrastel is built for x86-64 or ARM64"
#endif
