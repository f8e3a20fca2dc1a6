// The x86 Adler-32 kernels. Each carries its instruction set as a function
// attribute, so the file builds for the oldest processor the program supports
// and only the chooser in adler32.cpp decides what runs.
//
// The AVX2 and SSSE3 kernels take four vectors of V bytes per step (V = 32
// with AVX2, 16 with SSSE3) as two blocks of 2V bytes, and keep per-lane sums
// over a chunk:
//   s1 part:   the bytes (psadbw against zero adds 8 bytes into a 64-bit lane);
//   prefix:    the s1 part as it stood before each block, which that block
//              adds 2V times to s2 (counted in units of 2V);
//   half:      the bytes of the first vector of each block, which reach V more
//              s2 terms than their position in their own vector says (units of V);
//   weighted:  each byte times the s2 terms it reaches within its vector, V for
//              the first byte down to 1 for the last (pmaddubsw, the two
//              vectors of a block added, then pmaddwd to 32-bit lanes).
// At the end of a chunk the lanes are added up into 64-bit s1 and s2 and
// reduced. The s1 that comes into a chunk adds s1 times its length to s2.

#include "delta/adler32_kernels.h"

#if PATCHER_X86

#include <immintrin.h>

namespace {

// Bytes between two reductions. Not the scalar 5552: the kernels keep s1
// and s2 in 64 bits between reductions (at most 65535 + 65535 * c +
// 255 * c * (c + 1) / 2 after c bytes, far inside 64 bits), and the 64-bit
// s1, prefix and half lanes cannot fill either. What limits a chunk are the
// 32-bit weighted lanes. pmaddubsw gives at most 255 * (V + V - 1) in a
// 16-bit lane; the two vectors of a block added give at most 2 * 255 * 63 =
// 32,130 with AVX2 (15,810 with SSSE3), still a positive signed 16-bit
// value; pmaddwd adds two such lanes into one 32-bit lane, and each step
// does that for two blocks: at most 128,520 per lane per 128-byte AVX2 step
// (63,240 per 64-byte SSSE3 step). A chunk of 64 KiB is 512 AVX2 steps
// (1,024 SSSE3 steps): at most 65.8 million, far below 2^31. Reducing once
// per 64 KiB costs nothing measurable.
constexpr std::uint64_t VECTOR_CHUNK = 65536;

__attribute__((target("avx2"))) inline std::uint64_t sum_lanes_avx2(__m256i v) {
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    const __m128i one = _mm_add_epi64(half, _mm_unpackhi_epi64(half, half));
    std::uint64_t sum = 0;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&sum), one);
    return sum;
}

// Four 32-bit lanes widened to 64-bit and summed.
__attribute__((target("avx2"))) inline std::uint64_t sum_lanes32_avx2(__m256i v) {
    const __m256i low = _mm256_and_si256(v, _mm256_set1_epi64x(0xFFFFFFFF));
    return sum_lanes_avx2(_mm256_add_epi64(low, _mm256_srli_epi64(v, 32)));
}

__attribute__((target("ssse3"))) inline std::uint64_t sum_lanes_ssse3(__m128i v) {
    const __m128i one = _mm_add_epi64(v, _mm_unpackhi_epi64(v, v));
    std::uint64_t sum = 0;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&sum), one);
    return sum;
}

__attribute__((target("ssse3"))) inline std::uint64_t sum_lanes32_ssse3(__m128i v) {
    const __m128i low = _mm_and_si128(v, _mm_set1_epi64x(0xFFFFFFFF));
    return sum_lanes_ssse3(_mm_add_epi64(low, _mm_srli_epi64(v, 32)));
}

// Through memory: GCC 12 warns of an uninitialised value inside its own
// 512-bit extract and reduce intrinsics.
__attribute__((target("avx512f"))) inline std::uint64_t sum_lanes_avx512(__m512i v) {
    std::uint64_t lanes[8];
    _mm512_storeu_si512(lanes, v);
    std::uint64_t sum = 0;
    for (const std::uint64_t lane : lanes) {
        sum += lane;
    }
    return sum;
}

__attribute__((target("avx512f"))) inline std::uint64_t sum_lanes32_avx512(__m512i v) {
    std::uint32_t lanes[16];
    _mm512_storeu_si512(lanes, v);
    std::uint64_t sum = 0;
    for (const std::uint32_t lane : lanes) {
        sum += lane;
    }
    return sum;
}

std::uint32_t reduced(std::uint64_t s1, std::uint64_t s2) {
    return static_cast<std::uint32_t>(((s2 % ADLER_MODULUS) << 16) | (s1 % ADLER_MODULUS));
}

} // namespace

__attribute__((target("avx2"))) std::uint32_t
adler32_avx2(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length) {
    constexpr std::uint64_t V = 32;
    if (length < 2 * V) {
        return length == 0 ? adler : adler32_bytes(adler, bytes, length);
    }
    std::uint64_t s1 = adler & 0xFFFF;
    std::uint64_t s2 = adler >> 16;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i weights =
        _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                         13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);

    while (length >= 2 * V) {
        const std::uint64_t chunk =
            length < VECTOR_CHUNK ? length / (2 * V) * (2 * V) : VECTOR_CHUNK;
        length -= chunk;
        s2 += s1 * chunk;

        __m256i v_s1 = zero;
        __m256i v_prefix = zero;
        __m256i v_half = zero;
        __m256i v_weighted = zero;
        const unsigned char* const end = bytes + chunk;
        // An odd block first, so that the loop takes whole pairs of blocks.
        if ((chunk / (2 * V)) % 2 != 0) {
            const __m256i d0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
            const __m256i d1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + V));
            const __m256i t0 = _mm256_sad_epu8(d0, zero);
            v_half = t0;
            v_s1 = _mm256_add_epi64(t0, _mm256_sad_epu8(d1, zero));
            v_weighted = _mm256_madd_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(d0, weights),
                                                            _mm256_maddubs_epi16(d1, weights)),
                                           ones);
            bytes += 2 * V;
        }
        while (bytes != end) {
            const __m256i d0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
            const __m256i d1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + V));
            const __m256i d2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 2 * V));
            const __m256i d3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 3 * V));
            const __m256i t0 = _mm256_sad_epu8(d0, zero);
            const __m256i t2 = _mm256_sad_epu8(d2, zero);
            const __m256i first_block = _mm256_add_epi64(t0, _mm256_sad_epu8(d1, zero));
            // The first block sees s1 as it was, the second that plus the first block.
            v_prefix = _mm256_add_epi64(
                v_prefix, _mm256_add_epi64(_mm256_add_epi64(v_s1, v_s1), first_block));
            v_half = _mm256_add_epi64(v_half, _mm256_add_epi64(t0, t2));
            v_s1 = _mm256_add_epi64(
                v_s1,
                _mm256_add_epi64(first_block, _mm256_add_epi64(t2, _mm256_sad_epu8(d3, zero))));
            v_weighted = _mm256_add_epi32(
                v_weighted, _mm256_madd_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(d0, weights),
                                                               _mm256_maddubs_epi16(d1, weights)),
                                              ones));
            v_weighted = _mm256_add_epi32(
                v_weighted, _mm256_madd_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(d2, weights),
                                                               _mm256_maddubs_epi16(d3, weights)),
                                              ones));
            bytes += 4 * V;
        }
        s2 += (sum_lanes_avx2(v_prefix) * (2 * V)) + (sum_lanes_avx2(v_half) * V) +
              sum_lanes32_avx2(v_weighted);
        s1 += sum_lanes_avx2(v_s1);
        s1 %= ADLER_MODULUS;
        s2 %= ADLER_MODULUS;
    }
    return adler32_bytes(reduced(s1, s2), bytes, length);
}

// 64-byte vectors with the dot-product instruction: vpdpbusd multiplies each
// byte by its weight and adds groups of four straight into 32-bit lanes.
// Per step of four vectors d0..d3 with byte sums t0..t3 (psadbw):
//   s2 gains 64 times the s1 before each vector, 4 s1 + 3 t0 + 2 t1 + t2 in
//   all (the prefix lanes), plus each byte times 64 down to 1 (weighted);
//   s1 gains t0 + t1 + t2 + t3.
// The weighted lanes take at most 4 * 255 * 64 = 65,280 per vector; two
// accumulators take two vectors each per step, 128 vectors of a 64 KiB
// chunk: at most 8.4 million per lane, far below 2^31.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) std::uint32_t
adler32_avx512_vnni(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length) {
    constexpr std::uint64_t V = 64;
    constexpr std::uint64_t STEP = 4 * V;
    if (length < STEP) {
        return adler32_avx2(adler, bytes, length);
    }
    std::uint64_t s1 = adler & 0xFFFF;
    std::uint64_t s2 = adler >> 16;
    const __m512i zero = _mm512_setzero_si512();
    const __m512i weights = _mm512_set_epi8(
        1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
        26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48,
        49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64);

    while (length >= STEP) {
        const std::uint64_t chunk = length < VECTOR_CHUNK ? length / STEP * STEP : VECTOR_CHUNK;
        length -= chunk;
        s2 += s1 * chunk;

        __m512i v_s1 = zero;
        __m512i v_prefix = zero;
        __m512i v_weighted0 = zero;
        __m512i v_weighted1 = zero;
        const unsigned char* const end = bytes + chunk;
        while (bytes != end) {
            const __m512i d0 = _mm512_loadu_si512(bytes);
            const __m512i d1 = _mm512_loadu_si512(bytes + V);
            const __m512i d2 = _mm512_loadu_si512(bytes + 2 * V);
            const __m512i d3 = _mm512_loadu_si512(bytes + 3 * V);
            const __m512i a = _mm512_sad_epu8(d0, zero);
            const __m512i b = _mm512_add_epi64(a, _mm512_sad_epu8(d1, zero));
            const __m512i c = _mm512_add_epi64(b, _mm512_sad_epu8(d2, zero));
            const __m512i twice = _mm512_add_epi64(v_s1, v_s1);
            v_prefix = _mm512_add_epi64(
                v_prefix, _mm512_add_epi64(_mm512_add_epi64(twice, twice),
                                           _mm512_add_epi64(a, _mm512_add_epi64(b, c))));
            v_s1 = _mm512_add_epi64(v_s1, _mm512_add_epi64(c, _mm512_sad_epu8(d3, zero)));
            v_weighted0 = _mm512_dpbusd_epi32(v_weighted0, d0, weights);
            v_weighted1 = _mm512_dpbusd_epi32(v_weighted1, d1, weights);
            v_weighted0 = _mm512_dpbusd_epi32(v_weighted0, d2, weights);
            v_weighted1 = _mm512_dpbusd_epi32(v_weighted1, d3, weights);
            bytes += STEP;
        }
        s2 += sum_lanes_avx512(v_prefix) * V +
              sum_lanes32_avx512(_mm512_add_epi32(v_weighted0, v_weighted1));
        s1 += sum_lanes_avx512(v_s1);
        s1 %= ADLER_MODULUS;
        s2 %= ADLER_MODULUS;
    }
    return adler32_avx2(reduced(s1, s2), bytes, length);
}

__attribute__((target("ssse3"))) std::uint32_t
adler32_ssse3(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length) {
    constexpr std::uint64_t V = 16;
    if (length < 2 * V) {
        return length == 0 ? adler : adler32_bytes(adler, bytes, length);
    }
    std::uint64_t s1 = adler & 0xFFFF;
    std::uint64_t s2 = adler >> 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i weights = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);

    while (length >= 2 * V) {
        const std::uint64_t chunk =
            length < VECTOR_CHUNK ? length / (2 * V) * (2 * V) : VECTOR_CHUNK;
        length -= chunk;
        s2 += s1 * chunk;

        __m128i v_s1 = zero;
        __m128i v_prefix = zero;
        __m128i v_half = zero;
        __m128i v_weighted = zero;
        const unsigned char* const end = bytes + chunk;
        if ((chunk / (2 * V)) % 2 != 0) {
            const __m128i d0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
            const __m128i d1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + V));
            const __m128i t0 = _mm_sad_epu8(d0, zero);
            v_half = t0;
            v_s1 = _mm_add_epi64(t0, _mm_sad_epu8(d1, zero));
            v_weighted = _mm_madd_epi16(
                _mm_add_epi16(_mm_maddubs_epi16(d0, weights), _mm_maddubs_epi16(d1, weights)),
                ones);
            bytes += 2 * V;
        }
        while (bytes != end) {
            const __m128i d0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
            const __m128i d1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + V));
            const __m128i d2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * V));
            const __m128i d3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 3 * V));
            const __m128i t0 = _mm_sad_epu8(d0, zero);
            const __m128i t2 = _mm_sad_epu8(d2, zero);
            const __m128i first_block = _mm_add_epi64(t0, _mm_sad_epu8(d1, zero));
            v_prefix =
                _mm_add_epi64(v_prefix, _mm_add_epi64(_mm_add_epi64(v_s1, v_s1), first_block));
            v_half = _mm_add_epi64(v_half, _mm_add_epi64(t0, t2));
            v_s1 = _mm_add_epi64(
                v_s1, _mm_add_epi64(first_block, _mm_add_epi64(t2, _mm_sad_epu8(d3, zero))));
            v_weighted = _mm_add_epi32(v_weighted,
                                       _mm_madd_epi16(_mm_add_epi16(_mm_maddubs_epi16(d0, weights),
                                                                    _mm_maddubs_epi16(d1, weights)),
                                                      ones));
            v_weighted = _mm_add_epi32(v_weighted,
                                       _mm_madd_epi16(_mm_add_epi16(_mm_maddubs_epi16(d2, weights),
                                                                    _mm_maddubs_epi16(d3, weights)),
                                                      ones));
            bytes += 4 * V;
        }
        s2 += (sum_lanes_ssse3(v_prefix) * (2 * V)) + (sum_lanes_ssse3(v_half) * V) +
              sum_lanes32_ssse3(v_weighted);
        s1 += sum_lanes_ssse3(v_s1);
        s1 %= ADLER_MODULUS;
        s2 %= ADLER_MODULUS;
    }
    return adler32_bytes(reduced(s1, s2), bytes, length);
}

#endif
