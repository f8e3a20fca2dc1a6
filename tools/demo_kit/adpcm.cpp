#include "tools/demo_kit/adpcm.h"

#include <cstring>

// Prediction coefficients in 64ths: c1 for the previous sample, c2 for the
// one before it. All 16 rows decode. The kit's own table and arithmetic, so
// that what it expects of the patcher is worked out apart from the patcher's
// code.
static const int COEFFICIENTS[16][2] = {
    {0, 0},   {60, 0},    {115, -52}, {98, -55}, {122, -60}, {0, 0},    {0, 0},    {52, 0},
    {55, -2}, {60, -125}, {0, 0},     {0, -91},  {0, 0},     {2, -216}, {125, -6}, {0, -151},
};

// The player's reconstruction: d + s1 * c1 + s2 * c2, exact in 64ths,
// truncated toward zero (C++ integer division truncates the same way).
static inline std::int32_t reconstruct(std::int32_t d, std::int32_t s1, std::int32_t s2,
                                       const int* coefficients) {
    const std::int64_t sum = static_cast<std::int64_t>(d) * 64 +
                             static_cast<std::int64_t>(s1) * coefficients[0] +
                             static_cast<std::int64_t>(s2) * coefficients[1];
    return static_cast<std::int32_t>(sum / 64);
}

// The scaled nibble: the nibble in bits 15-12 of a signed 16-bit value,
// shifted right arithmetically.
static inline std::int32_t scale_nibble(unsigned nibble, unsigned shift) {
    const std::int32_t high = static_cast<std::int16_t>(static_cast<std::uint16_t>(nibble << 12));
    return high >> shift;
}

std::size_t kit_decode_adpcm(const unsigned char* adpcm, std::size_t block_count,
                             std::int16_t* samples) {
    std::int32_t s1 = 0;
    std::int32_t s2 = 0;
    std::size_t written = 0;
    for (std::size_t block = 0; block < block_count; ++block) {
        const unsigned char* in = adpcm + block * KIT_ADPCM_BLOCK_BYTES;
        if (in[1] > 6) {
            break;
        }
        const int* coefficients = COEFFICIENTS[in[0] >> 4];
        const unsigned shift = in[0] & 15u;
        for (std::size_t j = 0; j < KIT_ADPCM_BLOCK_SAMPLES; ++j) {
            const unsigned nibble = (in[2 + j / 2] >> (j % 2 * 4)) & 15u;
            const std::int32_t value =
                reconstruct(scale_nibble(nibble, shift), s1, s2, coefficients);
            samples[written++] = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
            s2 = s1;
            s1 = value;
        }
    }
    return written;
}

std::size_t kit_stereo_bytes(std::size_t sample_count) {
    const std::size_t pairs = (sample_count + 255) / 256;
    return (pairs == 0 ? 1 : pairs) * 2 * KIT_INTERLEAVE_BYTES;
}

void kit_place_stereo(const std::int16_t* samples, std::size_t sample_count, unsigned char* pcm) {
    for (std::size_t n = 0; n < sample_count; ++n) {
        const std::size_t mono = 2 * n;
        const std::size_t left = mono % KIT_INTERLEAVE_BYTES + mono / KIT_INTERLEAVE_BYTES * 1024;
        const std::uint16_t bits = static_cast<std::uint16_t>(samples[n]);
        pcm[left] = static_cast<unsigned char>(bits);
        pcm[left + 1] = static_cast<unsigned char>(bits >> 8);
        pcm[left + KIT_INTERLEAVE_BYTES] = pcm[left];
        pcm[left + KIT_INTERLEAVE_BYTES + 1] = pcm[left + 1];
    }
    // The player's fill after the last pair: zeros from 56 bytes past the
    // mono length of the data, measured from the last pair's half offset, up
    // to the next multiple of 512.
    std::size_t fill = 56;
    if (sample_count != 0) {
        const std::size_t half_start =
            (2 * sample_count - 2) / KIT_INTERLEAVE_BYTES * KIT_INTERLEAVE_BYTES;
        fill = half_start + 2 * sample_count + 56;
    }
    if (fill % KIT_INTERLEAVE_BYTES != 0) {
        const std::size_t end = (fill / KIT_INTERLEAVE_BYTES + 1) * KIT_INTERLEAVE_BYTES;
        std::memset(pcm + fill, 0, end - fill);
    }
}
