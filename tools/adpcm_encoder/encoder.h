#pragma once

// PS-ADPCM encoding for the movie soundtracks: blocks as movie/adpcm.h
// describes them, with the filters and shifts the sound processor offers.

#include <cstddef>
#include <cstdint>

// The soundtracks use only these filters and shifts.
constexpr unsigned ENCODER_FILTERS = 5; // 0 to 4
constexpr unsigned ENCODER_MAX_SHIFT = 12;

// Encodes block_count * 28 samples into block_count 16-byte blocks. Every
// block gets the filter and shift whose reconstruction, computed with the
// decoder's own prediction from the decoder's own history, lies nearest the
// signal (least squared error) without leaving the 16-bit range; the last
// block carries flag 1, all others flag 0.
void encode_ps_adpcm(const std::int16_t* samples, std::size_t block_count, unsigned char* adpcm);

// The same blocks chosen with a wider search: within each block, several
// nibble sequences are followed at once (encoder.cpp), which lowers the
// error where the greedy choice of encode_ps_adpcm leaves the decoder's
// history badly placed for the samples after it: about 1 dB better on
// speech and music, and about six times slower.
void encode_ps_adpcm_searched(const std::int16_t* samples, std::size_t block_count,
                              unsigned char* adpcm);
