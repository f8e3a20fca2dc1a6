#pragma once

// PS-ADPCM as the kit sees it: 16-byte blocks of 28 four-bit samples, byte
// 0 = filter << 4 | shift, byte 1 = flag. The kit writes the movie
// soundtracks with the shared encoder (tools/adpcm_encoder) and decodes them
// again with the patcher's decoder to know which PCM the patcher will put
// into the movies. The sizes below are a deliberately independent spelling
// of movie/adpcm.h's.

#include <cstddef>
#include <cstdint>

constexpr std::size_t KIT_ADPCM_BLOCK_BYTES = 16;
constexpr std::size_t KIT_ADPCM_BLOCK_SAMPLES = 28;

// One half of a 1024-byte stereo pair.
constexpr std::size_t KIT_INTERLEAVE_BYTES = 512;

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
