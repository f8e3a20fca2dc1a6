#include "tools/adpcm_encoder/encoder.h"

#include "movie/adpcm.h"

#include <cstring>

static inline std::int64_t floor_divide(std::int64_t value, std::int64_t divisor) {
    std::int64_t quotient = value / divisor;
    if (value % divisor != 0 && value < 0) {
        --quotient;
    }
    return quotient;
}

// The decoder's scaled nibble: the nibble in bits 15-12 of a signed 16-bit
// value, shifted right arithmetically.
static inline std::int32_t scale_nibble(unsigned nibble, unsigned shift) {
    const std::int32_t high = static_cast<std::int16_t>(static_cast<std::uint16_t>(nibble << 12));
    return high >> shift;
}

struct BlockTrial {
    std::int64_t error;
    std::int32_t s1;
    std::int32_t s2;
    unsigned char nibbles[ADPCM_BLOCK_SAMPLES];
};

// Encodes one block with a given filter and shift, choosing every nibble
// greedily against the reconstruction the decoder will compute. false when
// the squared error reaches bound, or when no nibble keeps a sample in range.
// The decoder keeps the unwrapped prediction as its history and stores only
// its low 16 bits, so a sample outside the 16-bit range would be heard
// wrapped and would carry on into later predictions: such a nibble is never
// chosen, and the history here is then always what the decoder holds.
static bool try_block(const std::int16_t* samples, unsigned filter, unsigned shift, std::int32_t s1,
                      std::int32_t s2, std::int64_t bound, BlockTrial* trial) {
    const std::int32_t* coefficients = PS_ADPCM_COEFFICIENTS[filter];
    // For shifts up to 12 the scaled nibble is exactly nibble * step.
    const std::int64_t step = std::int64_t{1} << (12 - shift);
    std::int64_t error = 0;
    for (std::size_t j = 0; j < ADPCM_BLOCK_SAMPLES; ++j) {
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
                predict_ps_adpcm_sample(scale_nibble(nibble, shift), s1, s2, coefficients);
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

// Writes one block: filter, shift, flag, then the nibbles two to a byte,
// the first in the low half.
static void store_block(unsigned filter, unsigned shift, bool last, const unsigned char* nibbles,
                        unsigned char* out) {
    out[0] = static_cast<unsigned char>(filter << 4 | shift);
    out[1] = last ? 1 : 0;
    for (std::size_t j = 0; j < ADPCM_BLOCK_SAMPLES; j += 2) {
        out[2 + j / 2] = static_cast<unsigned char>(nibbles[j] | nibbles[j + 1] << 4);
    }
}

// One way of coding a block with a given filter and shift from the decoder's
// state s1, s2: true, with the trial, when it beats bound.
using BlockCoder = bool (*)(const std::int16_t* samples, unsigned filter, unsigned shift,
                            std::int32_t s1, std::int32_t s2, std::int64_t bound,
                            BlockTrial* trial);

// Codes every block with the filter and shift whose trial has the least
// error, carrying the decoder's state from block to block.
static void encode_blocks(const std::int16_t* samples, std::size_t block_count,
                          unsigned char* adpcm, BlockCoder code_block) {
    std::int32_t s1 = 0;
    std::int32_t s2 = 0;
    for (std::size_t block = 0; block < block_count; ++block) {
        const std::int16_t* block_samples = samples + block * ADPCM_BLOCK_SAMPLES;
        BlockTrial best{INT64_MAX, s1, s2, {}};
        BlockTrial trial{};
        unsigned best_filter = 0;
        unsigned best_shift = 0;
        // Filter 0 reconstructs the (clamped) nearest scaled nibble itself,
        // so it always stays in range and every block finds a choice.
        for (unsigned filter = 0; filter < ENCODER_FILTERS; ++filter) {
            for (unsigned shift = 0; shift <= ENCODER_MAX_SHIFT; ++shift) {
                if (code_block(block_samples, filter, shift, s1, s2, best.error, &trial)) {
                    best = trial;
                    best_filter = filter;
                    best_shift = shift;
                }
            }
        }
        store_block(best_filter, best_shift, block + 1 == block_count, best.nibbles,
                    adpcm + block * ADPCM_BLOCK_BYTES);
        s1 = best.s1;
        s2 = best.s2;
    }
}

void encode_ps_adpcm(const std::int16_t* samples, std::size_t block_count, unsigned char* adpcm) {
    encode_blocks(samples, block_count, adpcm, try_block);
}

// A search over the nibbles of one block that keeps the PATHS partial
// encodings of least error at every sample instead of the single nearest
// one: a nibble a little off now can leave the decoder's history where the
// following samples are predicted better.
static const std::size_t PATHS = 4;
// Candidates around the nearest nibble.
static const std::int64_t REACH = 2;

static bool search_block(const std::int16_t* samples, unsigned filter, unsigned shift,
                         std::int32_t s1, std::int32_t s2, std::int64_t bound, BlockTrial* trial) {
    const std::int32_t* coefficients = PS_ADPCM_COEFFICIENTS[filter];
    const std::int64_t step = std::int64_t{1} << (12 - shift);
    BlockTrial paths[PATHS];
    BlockTrial next[PATHS];
    std::size_t path_count = 1;
    paths[0].error = 0;
    paths[0].s1 = s1;
    paths[0].s2 = s2;
    for (std::size_t j = 0; j < ADPCM_BLOCK_SAMPLES; ++j) {
        const std::int64_t wanted = samples[j];
        std::size_t next_count = 0;
        for (std::size_t p = 0; p < path_count; ++p) {
            const BlockTrial& path = paths[p];
            const std::int64_t base = static_cast<std::int64_t>(path.s1) * coefficients[0] +
                                      static_cast<std::int64_t>(path.s2) * coefficients[1];
            std::int64_t nearest = floor_divide(wanted * 64 - base + 32 * step, 64 * step);
            // A sample beyond the reach of this shift gets the largest nibble
            // toward it, as in try_block.
            nearest = nearest < -8 ? -8 : (nearest > 7 ? 7 : nearest);
            for (std::int64_t candidate = nearest - REACH; candidate <= nearest + REACH;
                 ++candidate) {
                if (candidate < -8 || candidate > 7) {
                    continue;
                }
                const unsigned nibble = static_cast<unsigned>(candidate) & 15u;
                const std::int32_t value = predict_ps_adpcm_sample(scale_nibble(nibble, shift),
                                                                   path.s1, path.s2, coefficients);
                if (value < -32768 || value > 32767) {
                    continue;
                }
                const std::int64_t difference = wanted - value;
                const std::int64_t error = path.error + difference * difference;
                if (error >= bound) {
                    continue;
                }
                // Two paths that reach the same history have the same future:
                // only the better one is worth keeping.
                std::size_t slot = next_count;
                for (std::size_t q = 0; q < next_count; ++q) {
                    if (next[q].s1 == value && next[q].s2 == path.s1) {
                        slot = q;
                        break;
                    }
                }
                if (slot == next_count) {
                    if (next_count < PATHS) {
                        ++next_count;
                    } else {
                        // Full: replace the worst path if this one is better.
                        slot = 0;
                        for (std::size_t q = 1; q < next_count; ++q) {
                            if (next[q].error > next[slot].error) {
                                slot = q;
                            }
                        }
                        if (next[slot].error <= error) {
                            continue;
                        }
                    }
                } else if (next[slot].error <= error) {
                    continue;
                }
                BlockTrial& kept = next[slot];
                kept.error = error;
                kept.s1 = value;
                kept.s2 = path.s1;
                std::memcpy(kept.nibbles, path.nibbles, j);
                kept.nibbles[j] = static_cast<unsigned char>(nibble);
            }
        }
        if (next_count == 0) {
            return false;
        }
        for (std::size_t p = 0; p < next_count; ++p) {
            paths[p] = next[p];
        }
        path_count = next_count;
    }
    std::size_t best = 0;
    for (std::size_t p = 1; p < path_count; ++p) {
        if (paths[p].error < paths[best].error) {
            best = p;
        }
    }
    *trial = paths[best];
    return true;
}

void encode_ps_adpcm_searched(const std::int16_t* samples, std::size_t block_count,
                              unsigned char* adpcm) {
    encode_blocks(samples, block_count, adpcm, search_block);
}
