#pragma once

// Reading a dubbed soundtrack from a WAV file: integer PCM of 8, 16, 24 or 32
// bits, mono or stereo, in the plain or the extensible format.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct WavSound {
    std::uint32_t sample_rate;
    std::uint16_t channels;
    std::uint16_t bits;
    // One 16-bit sample per frame: stereo is mixed down to mono, since the
    // movie plays the same signal on both channels; wider samples are
    // rounded to 16 bits.
    std::vector<std::int16_t> samples;
};

// Reads the WAV file held in bytes. false with *reason set (a sentence
// without the file name) when it is not one this tool can read. Sizes in the
// file are checked against the bytes present before anything is read through
// them.
bool parse_wav(const unsigned char* bytes, std::size_t size, WavSound* sound, std::string* reason);
