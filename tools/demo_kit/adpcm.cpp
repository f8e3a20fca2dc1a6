#include "tools/demo_kit/adpcm.h"

#include <cstring>

// Prediction coefficients in 64ths: c1 for the previous sample, c2 for the
// one before it. All 16 rows decode; the encoder uses the first five.
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

static inline std::int64_t floor_divide(std::int64_t value, std::int64_t divisor) {
    std::int64_t quotient = value / divisor;
    if (value % divisor != 0 && value < 0) {
        --quotient;
    }
    return quotient;
}

struct BlockTrial {
    std::int64_t error;
    std::int32_t s1;
    std::int32_t s2;
    unsigned char nibbles[KIT_ADPCM_BLOCK_SAMPLES];
};

// Encodes one block with a given filter and shift, choosing every nibble
// greedily against the reconstruction the player will compute. false when
// the squared error reaches bound, or when no nibble keeps a sample in range.
static bool try_block(const std::int16_t* samples, unsigned filter, unsigned shift, std::int32_t s1,
                      std::int32_t s2, std::int64_t bound, BlockTrial* trial) {
    const int* coefficients = COEFFICIENTS[filter];
    // For shifts up to 12 the scaled nibble is exactly nibble * step.
    const std::int64_t step = std::int64_t{1} << (12 - shift);
    std::int64_t error = 0;
    for (std::size_t j = 0; j < KIT_ADPCM_BLOCK_SAMPLES; ++j) {
        const std::int64_t wanted = samples[j];
        const std::int64_t base = static_cast<std::int64_t>(s1) * coefficients[0] +
                                  static_cast<std::int64_t>(s2) * coefficients[1];
        std::int64_t nearest = floor_divide(wanted * 64 - base + 32 * step, 64 * step);
        if (nearest < -8) {
            nearest = -8;
        } else if (nearest > 7) {
            nearest = 7;
        }
        // Truncation can make a neighbour of the nearest nibble the better one.
        std::int64_t best_error = -1;
        std::int32_t best_value = 0;
        unsigned best_nibble = 0;
        for (std::int64_t candidate = nearest - 1; candidate <= nearest + 1; ++candidate) {
            if (candidate < -8 || candidate > 7) {
                continue;
            }
            const unsigned nibble = static_cast<unsigned>(candidate) & 15u;
            const std::int32_t value =
                reconstruct(scale_nibble(nibble, shift), s1, s2, coefficients);
            if (value < -32768 || value > 32767) {
                continue;
            }
            const std::int64_t difference = wanted - value;
            const std::int64_t squared = difference * difference;
            if (best_error < 0 || squared < best_error) {
                best_error = squared;
                best_value = value;
                best_nibble = nibble;
            }
        }
        if (best_error < 0) {
            return false;
        }
        error += best_error;
        if (error >= bound) {
            return false;
        }
        trial->nibbles[j] = static_cast<unsigned char>(best_nibble);
        s2 = s1;
        s1 = best_value;
    }
    trial->error = error;
    trial->s1 = s1;
    trial->s2 = s2;
    return true;
}

void kit_encode_adpcm(const std::int16_t* samples, std::size_t block_count, unsigned char* adpcm) {
    std::int32_t s1 = 0;
    std::int32_t s2 = 0;
    for (std::size_t block = 0; block < block_count; ++block) {
        const std::int16_t* block_samples = samples + block * KIT_ADPCM_BLOCK_SAMPLES;
        BlockTrial best{INT64_MAX, s1, s2, {}};
        BlockTrial trial{};
        unsigned best_filter = 0;
        unsigned best_shift = 0;
        // Filter 0 reconstructs d itself, so it always stays in range and
        // every block finds a choice.
        for (unsigned filter = 0; filter < KIT_ADPCM_FILTERS; ++filter) {
            for (unsigned shift = 0; shift <= KIT_ADPCM_MAX_SHIFT; ++shift) {
                if (try_block(block_samples, filter, shift, s1, s2, best.error, &trial)) {
                    best = trial;
                    best_filter = filter;
                    best_shift = shift;
                }
            }
        }
        unsigned char* out = adpcm + block * KIT_ADPCM_BLOCK_BYTES;
        out[0] = static_cast<unsigned char>(best_filter << 4 | best_shift);
        out[1] = block + 1 == block_count ? 1 : 0;
        for (std::size_t j = 0; j < KIT_ADPCM_BLOCK_SAMPLES; j += 2) {
            out[2 + j / 2] = static_cast<unsigned char>(best.nibbles[j] | best.nibbles[j + 1] << 4);
        }
        s1 = best.s1;
        s2 = best.s2;
    }
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
