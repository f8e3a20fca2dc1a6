#pragma once

// Re-dubbing the two opening movies of the patched image: each movie's
// soundtrack, carried as PS-ADPCM, is decoded to interleaved stereo PCM and
// written over the payload of the movie's audio packets, in stream order.

#include "movie/adpcm.h"

#include <cstdint>

// Where each movie lies in the patched image and which resource re-dubs it:
// MPEG-2 program stream, audio as 16-bit PCM in private stream 1. Both offsets
// are multiples of the 2048-byte sector; each length is whole sectors plus 4.
// The demo kit spells these regions, the soundtrack lengths and the kept
// bytes below again in demo_kit/movie.h, deliberately independently.
struct MovieRegion {
    const char* resource_name;
    std::uint32_t offset;
    std::uint32_t length;
};

constexpr int MOVIE_COUNT = 2;

inline constexpr MovieRegion MOVIE_REGIONS[MOVIE_COUNT] = {
    {"Ru_op", 0x52E0A000u, 0x1988004u}, // 13,072 sectors + 4
    {"Ry_op", 0x54792800u, 0x1D90004u}, // 15,136 sectors + 4
};

// Lengths of the soundtracks the patcher ships with.
constexpr std::uint32_t SHIPPED_RU_OP_BYTES = 1651216;
constexpr std::uint32_t SHIPPED_RY_OP_BYTES = 1909056;

// The static PCM buffer holds the larger shipped soundtrack decoded:
// 119,316 blocks x 112 bytes = 13,363,392, rounded up to 13,051 whole pairs.
// Longer soundtracks get a buffer from the heap instead.
constexpr std::uint64_t PCM_BUFFER_BYTES = stereo_pcm_bytes(SHIPPED_RY_OP_BYTES);
static_assert(PCM_BUFFER_BYTES == 13364224);
static_assert(stereo_pcm_bytes(SHIPPED_RU_OP_BYTES) == 11558912);

// Payload bytes of a movie's first audio packet that keep their audio.
constexpr std::uint32_t FIRST_PACKET_KEPT_BYTES = 40;

// Where a packet walk stopped: region position and PCM bytes handed out.
struct PacketWalk {
    std::uint64_t region_position;
    std::uint64_t pcm_position;
};

// Overwrites the audio payload of the packets in region with pcm, in stream
// order, until pcm_limit bytes have been handed out (tested between packets
// only, so the last packet is filled to its end: PCM at or past pcm_limit is
// silence) or the region ends. pcm must hold pcm_limit bytes. The walk never
// reads or writes outside region: a unit whose header or audio payload would
// cross its end stops the walk there, and a private-stream-1 packet too short
// to carry a payload is stepped over.
PacketWalk walk_movie_packets(unsigned char* region, std::uint32_t region_length,
                              const unsigned char* pcm, std::uint64_t pcm_limit);

// PCM bytes the audio packets of region take, as walk_movie_packets hands
// them out with a soundtrack that never ends: the room for a movie's audio.
std::uint64_t count_movie_pcm_bytes(const unsigned char* region, std::uint32_t region_length);

// A soundtrack in memory: PS-ADPCM blocks, used in place.
struct MovieAudio {
    const unsigned char* data;
    std::uint32_t length;
};

// rewrite_movie_audio with the soundtracks given instead of looked up, one per
// entry of MOVIE_REGIONS.
int rewrite_movies_with_audio(const char* output_path, const char* display_name, int* handle,
                              const MovieAudio audio[MOVIE_COUNT]);

// Re-dubs the two opening movies of the patched image at output_path with the
// audio the program carries (Ru_op, Ry_op). Returns 1 when both movies were
// written back, leaving the descriptor of the last write open in *handle;
// returns 0 after printing why it could not, with no descriptor left open.
int rewrite_movie_audio(const char* output_path, const char* display_name, int* handle);
