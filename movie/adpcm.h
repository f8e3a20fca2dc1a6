#pragma once

// PS-ADPCM, the 4-bit adaptive PCM of the PlayStation sound processor, as the
// movie soundtracks are carried: raw 16-byte blocks, no header.

#include <cstdint>

// Every block holds a filter/shift byte, a flag byte and 28 four-bit samples.
constexpr std::uint32_t ADPCM_BLOCK_BYTES = 16;
constexpr std::uint32_t ADPCM_BLOCK_SAMPLES = 28;

// One channel's half of a 1024-byte stereo PCM pair: 256 samples of 16 bits.
constexpr std::uint32_t INTERLEAVE_BYTES = 512;
constexpr std::uint32_t STEREO_PAIR_BYTES = 2 * INTERLEAVE_BYTES;

// Prediction coefficients in 64ths (previous sample, the one before it),
// picked by the block's 4-bit filter index: row 1 is 60/64 and 0.
extern const std::int32_t PS_ADPCM_COEFFICIENTS[16][2];

// Bytes of interleaved stereo PCM that adpcm_length bytes of input decode to:
// 112 bytes (28 samples, both channels) per whole block, rounded up to whole
// pairs. Also the room decode_ps_adpcm needs in stereo mode, except that an
// input without a whole block still needs INTERLEAVE_BYTES for its zero fill.
constexpr std::uint64_t stereo_pcm_bytes(std::uint32_t adpcm_length) {
    const std::uint64_t data =
        std::uint64_t{adpcm_length / ADPCM_BLOCK_BYTES} * ADPCM_BLOCK_SAMPLES * 4;
    return (data + STEREO_PAIR_BYTES - 1) / STEREO_PAIR_BYTES * STEREO_PAIR_BYTES;
}

// The sample a block predicts from its scaled nibble and the two samples before
// it, with coefficients in 64ths, truncated toward zero. A prediction outside
// the signed 32-bit range gives INT32_MIN.
std::int32_t predict_ps_adpcm_sample(std::int32_t scaled, std::int32_t previous,
                                     std::int32_t before_previous,
                                     const std::int32_t coefficients[2]);

// Decodes the whole blocks of adpcm_data into 16-bit little-endian samples at
// pcm_out: one after another (2 bytes per sample), or with interleave_stereo
// every run of 256 samples written as a 512-byte left half and an identical
// right half, the last pair's left half padded with zeros (see adpcm.cpp).
// Trailing bytes that do not make a whole block are not decoded. Returns 1 when
// the input was decoded to its end, 0 when a block whose flag byte is above 6
// stopped it (that block and the rest are not decoded, nothing is padded).
std::int32_t decode_ps_adpcm(const unsigned char* adpcm_data, unsigned char* pcm_out,
                             std::uint32_t adpcm_length, bool interleave_stereo);
