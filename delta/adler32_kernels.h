#pragma once

// Shared by the Adler-32 dispatcher and its kernels; not for other callers.

#include "delta/cpu_features.h"

#include <cstdint>

constexpr std::uint32_t ADLER_MODULUS = 65521;

// Largest n for which the 32-bit sums cannot overflow before the reduction.
// The sums start from s1, s2 <= 65535 (a start value is taken as given, even
// unreduced). After n bytes of 255, s1 <= 65535 + 255n and
//   s2 <= 65535 + n * 65535 + 255 * n * (n + 1) / 2,
// the largest value any bytes can give. For n = 5552 that is 4,294,773,495,
// just under 2^32 - 1 = 4,294,967,295; for n = 5553 it is 4,296,255,045.
// The portable kernel reduces at least this often; its 16-byte partial sums
// are parts of this same s2, so none of them can overflow either. (The
// vector kernels keep 64-bit sums and reduce less often: adler32_x86.cpp.)
constexpr std::uint64_t ADLER_MAX_CHUNK = 5552;

// Adds the bytes one at a time and reduces: the tail of every kernel.
// length must be at most ADLER_MAX_CHUNK.
inline std::uint32_t adler32_bytes(std::uint32_t adler, const unsigned char* bytes,
                                   std::uint64_t length) {
    std::uint32_t s1 = adler & 0xFFFF;
    std::uint32_t s2 = adler >> 16;
    for (std::uint64_t i = 0; i < length; i++) {
        s1 += bytes[i];
        s2 += s1;
    }
    return ((s2 % ADLER_MODULUS) << 16) | (s1 % ADLER_MODULUS);
}

std::uint32_t adler32_scalar(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length);

#if PATCHER_X86
std::uint32_t adler32_ssse3(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length);
std::uint32_t adler32_avx2(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length);
std::uint32_t adler32_avx512_vnni(std::uint32_t adler, const unsigned char* bytes,
                                  std::uint64_t length);
#endif
