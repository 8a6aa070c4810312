// Whether an x86-64 processor and its operating system let a program use
// AVX2 and AVX-512: what CPUID says the processor has, and what XCR0 (read
// with XGETBV) says the system saves of the registers on a thread switch.
// The rules are pure functions of those bits, so that they are tested on
// every machine, whatever its own processor.
#pragma once

#include <cstdint>

struct X86Features {
    std::uint32_t leaf1_ecx = 0;  // CPUID leaf 1: OSXSAVE (bit 27), AVX (bit 28)
    std::uint32_t leaf7_ebx = 0;  // CPUID leaf 7, subleaf 0: AVX2 (bit 5), AVX-512 F (16), DQ (17), BW (30), VL (31)
    std::uint64_t xcr0 = 0;       // the saved register state; read only where OSXSAVE is set
};

// AVX2: the processor has AVX and AVX2, and the system saves the SSE and
// AVX state (XCR0 bits 1 and 2), or the upper halves of the registers would
// not survive a thread switch.
bool avx2_usable(const X86Features& features);

// AVX-512 F, DQ, BW and VL, besides AVX2; and the system saves the opmask
// registers, the upper halves of zmm0-15 and all of zmm16-31 (XCR0 bits 5,
// 6 and 7).
bool avx512_usable(const X86Features& features);

// This processor's bits. x86-64 only.
X86Features read_x86_features();
