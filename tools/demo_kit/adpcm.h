#pragma once

// The kit's own PS-ADPCM coder: 16-byte blocks of 28 four-bit samples, byte 0
// = filter << 4 | shift, byte 1 = flag. The kit writes the movie soundtracks
// with it and decodes them again to know which PCM the patcher will put into
// the movies.

#include <cstddef>
#include <cstdint>

constexpr std::size_t KIT_ADPCM_BLOCK_BYTES = 16;
constexpr std::size_t KIT_ADPCM_BLOCK_SAMPLES = 28;

// The soundtracks use only these filters and shifts.
constexpr unsigned KIT_ADPCM_FILTERS = 5; // 0 to 4
constexpr unsigned KIT_ADPCM_MAX_SHIFT = 12;

// One half of a 1024-byte stereo pair.
constexpr std::size_t KIT_INTERLEAVE_BYTES = 512;

// Encodes block_count * 28 samples into block_count blocks. Every block gets
// the filter and shift whose reconstruction, computed exactly as the player
// decodes it, lies nearest the signal without leaving the 16-bit range; the
// last block carries flag 1, all others flag 0.
void kit_encode_adpcm(const std::int16_t* samples, std::size_t block_count, unsigned char* adpcm);

// Decodes block_count blocks to one sample each; stops before a block whose
// flag is above 6. Returns the number of samples written.
std::size_t kit_decode_adpcm(const unsigned char* adpcm, std::size_t block_count,
                             std::int16_t* samples);

// Bytes of the stereo layout of sample_count samples: whole 1024-byte pairs
// (one pair when there are none).
std::size_t kit_stereo_bytes(std::size_t sample_count);

// Lays samples out as the movies carry them: each run of 256 samples as a
// 512-byte left half and an identical right half, then the player's zero fill
// after the last pair's samples. pcm must hold kit_stereo_bytes(sample_count)
// bytes; bytes neither written nor filled keep what they held.
void kit_place_stereo(const std::int16_t* samples, std::size_t sample_count, unsigned char* pcm);
