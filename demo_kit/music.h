#pragma once

// The two demo soundtracks: about a minute each of chords, bass and a melody,
// synthesised with integer arithmetic only, so that every build host writes
// the same samples.

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t KIT_SAMPLE_RATE = 48000;

// Writes count samples of song 0 (C major, 96 beats a minute) or song 1
// (A minor, 84 beats a minute). Every sample lies within +-28000.
void kit_compose_song(unsigned song, std::int16_t* samples, std::size_t count);
