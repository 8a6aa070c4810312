#include "raster/x86_features.h"

#include "scene/processor.h"

#if OMBRASTEL_X86
#include <cpuid.h>
#endif

namespace {

constexpr std::uint32_t osxsave = 1u << 27, avx = 1u << 28;
constexpr std::uint32_t avx2 = 1u << 5;
constexpr std::uint32_t avx512_foundation = 1u << 16, avx512_doubleword_quadword = 1u << 17,
                        avx512_byte_word = 1u << 30, avx512_vector_length = 1u << 31;
constexpr std::uint64_t sse_and_avx_state = 0x6u;
constexpr std::uint64_t avx512_state = 0xE0u;  // opmask, upper halves of zmm0-15, zmm16-31

bool has_all(std::uint64_t bits, std::uint64_t wanted) { return (bits & wanted) == wanted; }

}  // namespace

bool avx2_usable(const X86Features& f) {
    return has_all(f.leaf1_ecx, osxsave | avx) && has_all(f.xcr0, sse_and_avx_state) && has_all(f.leaf7_ebx, avx2);
}

bool avx512_usable(const X86Features& f) {
    return avx2_usable(f) && has_all(f.xcr0, sse_and_avx_state | avx512_state) &&
           has_all(f.leaf7_ebx,
                   avx512_foundation | avx512_doubleword_quadword | avx512_byte_word | avx512_vector_length);
}

#if OMBRASTEL_X86
X86Features read_x86_features() {
    X86Features features;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return features;
    features.leaf1_ecx = ecx;
    if (ecx & osxsave) {
        std::uint32_t low = 0, high = 0;
        __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        features.xcr0 = std::uint64_t{high} << 32 | low;
    }
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) features.leaf7_ebx = ebx;
    return features;
}
#endif
