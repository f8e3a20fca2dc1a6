#include "delta/cpu_features.h"

#if PATCHER_X86

#include <cpuid.h>

#include <cstdint>

namespace {

// XCR0, the register state the operating system saves on a context switch.
// Only meaningful when CPUID reports OSXSAVE.
std::uint64_t read_xcr0() {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// XCR0 bits 1 and 2: SSE (XMM) and AVX (upper YMM halves) state.
constexpr std::uint64_t XCR0_SSE_AVX = 0x6;
// XCR0 bits 5 to 7: the mask registers, the upper ZMM halves, ZMM16 to 31.
constexpr std::uint64_t XCR0_AVX512 = 0xE0;

} // namespace

CpuFeatures detect_cpu_features() {
    CpuFeatures features = {};
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    features.ssse3 = (ecx & bit_SSSE3) != 0;
    // A processor with AVX2 under a system that does not save the upper
    // halves of the YMM registers would see them clobbered by any task
    // switch: such a system must be treated as having no AVX at all.
    const bool os_saves_state = (ecx & bit_OSXSAVE) != 0;
    const std::uint64_t xcr0 = os_saves_state ? read_xcr0() : 0;
    const bool avx_usable =
        os_saves_state && (ecx & bit_AVX) != 0 && (xcr0 & XCR0_SSE_AVX) == XCR0_SSE_AVX;
    if (avx_usable && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
        features.avx2 = (ebx & bit_AVX2) != 0;
        features.avx512_vnni = features.avx2 && (xcr0 & XCR0_AVX512) == XCR0_AVX512 &&
                               (ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512BW) != 0 &&
                               (ecx & bit_AVX512VNNI) != 0;
    }
    return features;
}

#else

CpuFeatures detect_cpu_features() {
    return CpuFeatures{};
}

#endif
