#include "movie/adpcm.h"

#include <cstddef>
#include <cstring>

// Rows 0 to 4 are the sound processor's filters and the only ones the
// soundtracks use. Rows 5 to 15 fill out the 4-bit index so that any block
// decodes to something defined.
const std::int32_t PS_ADPCM_COEFFICIENTS[16][2] = {
    {0, 0},   {60, 0},    {115, -52}, {98, -55}, {122, -60}, {0, 0},    {0, 0},    {52, 0},
    {55, -2}, {60, -125}, {0, 0},     {0, -91},  {0, 0},     {2, -216}, {125, -6}, {0, -151},
};

// A flag byte above this ends the stream.
static const unsigned char LAST_VALID_FLAG = 6;

// The padding after the last sample starts one block's worth of samples (56
// bytes) past it; the bytes in between keep what the buffer held, which is
// silence in the movie rewrite because it clears its buffer before decoding.
static const std::uint32_t ZERO_FILL_GAP_BYTES = ADPCM_BLOCK_SAMPLES * 2;

std::int32_t predict_ps_adpcm_sample(std::int32_t scaled, std::int32_t previous,
                                     std::int32_t before_previous,
                                     const std::int32_t coefficients[2]) {
    // The player computes this in extended precision and truncates toward
    // zero (never to nearest, never saturated to 16 bits), which the
    // soundtracks depend on. Every term is a multiple of 1/64 and the sum in
    // 64ths stays below 2^41 in magnitude, so that evaluation is exact, and
    // so is this one in 64-bit integers, without its long dependency chain.
    const std::int64_t sum = std::int64_t{scaled} * 64 + std::int64_t{previous} * coefficients[0] +
                             std::int64_t{before_previous} * coefficients[1];
    // Only an unstable filter row can leave the 32-bit range. The x86
    // truncating conversion gives INT32_MIN there; pinning that result makes
    // such input decode the same on every platform.
    if (!(sum > (std::int64_t{INT32_MIN} - 1) * 64 && sum < (std::int64_t{INT32_MAX} + 1) * 64)) {
        return INT32_MIN;
    }
    // Integer division truncates toward zero, as the conversion does.
    return static_cast<std::int32_t>(sum / 64);
}

static void store_sample(unsigned char* pcm_out, std::uint64_t sample_index, std::int32_t value,
                         bool interleave_stereo) {
    const unsigned char low = static_cast<unsigned char>(value & 0xFF);
    const unsigned char high = static_cast<unsigned char>((value >> 8) & 0xFF);
    const std::uint64_t mono_offset = sample_index * 2;
    if (!interleave_stereo) {
        pcm_out[mono_offset] = low;
        pcm_out[mono_offset + 1] = high;
        return;
    }
    const std::size_t left = static_cast<std::size_t>(
        mono_offset % INTERLEAVE_BYTES + mono_offset / INTERLEAVE_BYTES * STEREO_PAIR_BYTES);
    pcm_out[left] = low;
    pcm_out[left + 1] = high;
    pcm_out[left + INTERLEAVE_BYTES] = low;
    pcm_out[left + INTERLEAVE_BYTES + 1] = high;
}

// Pads the last pair's left half with zeros from ZERO_FILL_GAP_BYTES past its
// last sample. The fill never leaves the left half: when the last group holds
// 228 samples or more there is no room before the half's end and nothing is
// written, so decoded right-channel samples are never erased. With no samples
// at all the fill covers bytes 56 to 511 of the first pair.
static void pad_last_pair(unsigned char* pcm_out, std::uint64_t sample_count) {
    std::uint64_t pair_start = 0;
    std::uint64_t last_group_bytes = 0;
    if (sample_count > 0) {
        const std::uint64_t last_pair = (sample_count - 1) / (INTERLEAVE_BYTES / 2);
        pair_start = last_pair * STEREO_PAIR_BYTES;
        last_group_bytes = (sample_count - last_pair * (INTERLEAVE_BYTES / 2)) * 2;
    }
    const std::uint64_t fill_start = last_group_bytes + ZERO_FILL_GAP_BYTES;
    if (fill_start >= INTERLEAVE_BYTES) {
        return;
    }
    std::memset(pcm_out + pair_start + fill_start, 0,
                static_cast<std::size_t>(INTERLEAVE_BYTES - fill_start));
}

std::int32_t decode_ps_adpcm(const unsigned char* adpcm_data, unsigned char* pcm_out,
                             std::uint32_t adpcm_length, bool interleave_stereo) {
    // History carries across blocks and keeps the full prediction, not the 16
    // bits stored: the next sample is predicted from the unwrapped value.
    std::int32_t previous = 0;
    std::int32_t before_previous = 0;
    std::uint64_t sample_index = 0;
    // A trailing piece shorter than a block is left alone rather than decoded
    // from bytes past the input; the PCM limits count whole blocks too.
    const std::uint32_t block_count = adpcm_length / ADPCM_BLOCK_BYTES;
    for (std::uint32_t block_index = 0; block_index < block_count; ++block_index) {
        const unsigned char* block = adpcm_data + std::size_t{block_index} * ADPCM_BLOCK_BYTES;
        if (block[1] > LAST_VALID_FLAG) {
            return 0;
        }
        const std::int32_t* coefficients = PS_ADPCM_COEFFICIENTS[block[0] >> 4];
        const int shift = block[0] & 0x0F;
        for (std::uint32_t j = 0; j < ADPCM_BLOCK_SAMPLES; ++j) {
            const unsigned char packed = block[2 + j / 2];
            const unsigned nibble = (j % 2 == 0) ? (packed & 0x0Fu) : (packed >> 4);
            // The nibble is the top of a signed 16-bit value, scaled down by
            // an arithmetic shift: nibble 8 with shift 12 is -8.
            const std::int32_t scaled =
                static_cast<std::int16_t>(static_cast<std::uint16_t>(nibble << 12)) >> shift;
            const std::int32_t sample =
                predict_ps_adpcm_sample(scaled, previous, before_previous, coefficients);
            store_sample(pcm_out, sample_index, sample, interleave_stereo);
            before_previous = previous;
            previous = sample;
            ++sample_index;
        }
    }
    if (interleave_stereo) {
        pad_last_pair(pcm_out, sample_index);
    }
    return 1;
}
