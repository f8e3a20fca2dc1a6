// Adler-32: the portable kernel, and the choice of kernel made on first use.

#include "delta/adler32.h"

#include "delta/adler32_kernels.h"
#include "delta/cpu_features.h"

#include <atomic>

namespace {

using Adler32Function = std::uint32_t (*)(std::uint32_t adler, const unsigned char* bytes,
                                          std::uint64_t length);

std::uint32_t adler32_first_call(std::uint32_t adler, const unsigned char* bytes,
                                 std::uint64_t length);

// The kernel adler32 runs. It starts as the chooser, which replaces itself by
// the best kernel on the first call, so later calls pay nothing for the choice.
// Streams on several threads may make that first call at once: each load and
// store is atomic, and every thread that chooses stores the same kernel, so
// the order among them does not matter (relaxed: the pointer is the only
// thing handed over). A pointer-sized atomic is a plain move on x86.
std::atomic<Adler32Function> active_kernel{adler32_first_call};

// The function of a kernel in this build; null when the build has none.
Adler32Function kernel_function(Adler32Kernel kernel) {
    switch (kernel) {
    case ADLER32_KERNEL_SCALAR:
        return adler32_scalar;
#if PATCHER_X86
    case ADLER32_KERNEL_SSSE3:
        return adler32_ssse3;
    case ADLER32_KERNEL_AVX2:
        return adler32_avx2;
    case ADLER32_KERNEL_AVX512_VNNI:
        return adler32_avx512_vnni;
#else
    case ADLER32_KERNEL_SSSE3:
    case ADLER32_KERNEL_AVX2:
    case ADLER32_KERNEL_AVX512_VNNI:
        return nullptr;
#endif
    case ADLER32_KERNEL_COUNT:
        return nullptr;
    }
    return nullptr;
}

bool kernel_runs_here(Adler32Kernel kernel, const CpuFeatures& features) {
    if (kernel_function(kernel) == nullptr) {
        return false;
    }
    switch (kernel) {
    case ADLER32_KERNEL_SCALAR:
        return true;
    case ADLER32_KERNEL_SSSE3:
        return features.ssse3;
    case ADLER32_KERNEL_AVX2:
        return features.avx2;
    case ADLER32_KERNEL_AVX512_VNNI:
        return features.avx512_vnni;
    case ADLER32_KERNEL_COUNT:
        return false;
    }
    return false;
}

Adler32Kernel best_kernel() {
    const CpuFeatures features = detect_cpu_features();
    if (kernel_runs_here(ADLER32_KERNEL_AVX512_VNNI, features)) {
        return ADLER32_KERNEL_AVX512_VNNI;
    }
    if (kernel_runs_here(ADLER32_KERNEL_AVX2, features)) {
        return ADLER32_KERNEL_AVX2;
    }
    if (kernel_runs_here(ADLER32_KERNEL_SSSE3, features)) {
        return ADLER32_KERNEL_SSSE3;
    }
    return ADLER32_KERNEL_SCALAR;
}

std::uint32_t adler32_first_call(std::uint32_t adler, const unsigned char* bytes,
                                 std::uint64_t length) {
    const Adler32Function kernel = kernel_function(best_kernel());
    active_kernel.store(kernel, std::memory_order_relaxed);
    return kernel(adler, bytes, length);
}

} // namespace

std::uint32_t adler32_scalar(std::uint32_t adler, const unsigned char* bytes,
                             std::uint64_t length) {
    std::uint32_t s1 = adler & 0xFFFF;
    std::uint32_t s2 = adler >> 16;

    while (length != 0) {
        std::uint64_t chunk = length < ADLER_MAX_CHUNK ? length : ADLER_MAX_CHUNK;
        length -= chunk;
        // 16 bytes at a time without the byte-to-byte dependency: s2 grows
        // by 16 times the s1 it had plus each byte weighted by the number of
        // s1 values that include it. The sums equal those of the byte loop,
        // so the bound holds for them too.
        while (chunk >= 16) {
            std::uint32_t sum = 0;
            std::uint32_t weighted = 0;
            for (int i = 0; i < 16; i++) {
                sum += bytes[i];
                weighted += static_cast<std::uint32_t>(16 - i) * bytes[i];
            }
            s2 += 16 * s1 + weighted;
            s1 += sum;
            bytes += 16;
            chunk -= 16;
        }
        while (chunk != 0) {
            s1 += *bytes++;
            s2 += s1;
            chunk--;
        }
        s1 %= ADLER_MODULUS;
        s2 %= ADLER_MODULUS;
    }
    return (s2 << 16) | s1;
}

std::uint32_t adler32(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length) {
    return active_kernel.load(std::memory_order_relaxed)(adler, bytes, length);
}

bool adler32_kernel_available(Adler32Kernel kernel) {
    return kernel_runs_here(kernel, detect_cpu_features());
}

bool adler32_force_kernel(Adler32Kernel kernel) {
    if (!adler32_kernel_available(kernel)) {
        return false;
    }
    active_kernel.store(kernel_function(kernel), std::memory_order_relaxed);
    return true;
}

void adler32_reset_kernel() {
    active_kernel.store(adler32_first_call, std::memory_order_relaxed);
}

Adler32Kernel adler32_current_kernel() {
    Adler32Function active = active_kernel.load(std::memory_order_relaxed);
    if (active == adler32_first_call) {
        active = kernel_function(best_kernel());
        active_kernel.store(active, std::memory_order_relaxed);
    }
    for (std::uint8_t k = 0; k < ADLER32_KERNEL_COUNT; k++) {
        const Adler32Kernel kernel = static_cast<Adler32Kernel>(k);
        if (kernel_function(kernel) == active) {
            return kernel;
        }
    }
    return ADLER32_KERNEL_SCALAR;
}

std::uint32_t adler32_with_kernel(Adler32Kernel kernel, std::uint32_t adler,
                                  const unsigned char* bytes, std::uint64_t length) {
    const Adler32Function function = kernel_function(kernel);
    return function != nullptr ? function(adler, bytes, length)
                               : adler32_scalar(adler, bytes, length);
}
