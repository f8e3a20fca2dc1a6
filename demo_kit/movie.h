#pragma once

// The two movie streams of the demo target image: 2048-byte sectors, each a
// pack header and packets (video, audio in private stream 1, other private
// stream 1 data, padding), then a 4-byte program end code. The kit also works
// out where the patcher's audio rewrite will put each PCM byte.
//
// The regions, soundtrack lengths and kept audio bytes are a deliberately
// independent spelling of movie/rewrite.h's, so that a slip in either shows
// as a mismatch in the end-to-end tests.

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::size_t KIT_SECTOR_BYTES = 2048;
constexpr std::size_t KIT_END_CODE_BYTES = 4;

// Payload bytes of the first audio packet that the rewrite leaves alone.
constexpr std::uint32_t KIT_KEPT_AUDIO_BYTES = 40;

struct KitMovie {
    std::uint64_t region_offset;  // in the target image
    std::uint32_t region_length;  // whole sectors and the end code
    std::uint32_t resource_bytes; // length of its PS-ADPCM soundtrack
};

constexpr KitMovie KIT_MOVIES[2] = {
    {0x52E0A000, 0x1988004, 1651216},
    {0x54792800, 0x1D90004, 1909056},
};

enum SectorKind : std::uint8_t {
    SECTOR_VIDEO,       // one video packet
    SECTOR_AUDIO,       // one audio packet, padded to the sector when shorter
    SECTOR_FIRST_AUDIO, // the movie's first audio packet, with its 40-byte audio header
    SECTOR_PRIVATE_A,   // private stream 1, not audio: signature byte 20 differs
    SECTOR_PRIVATE_B,   // private stream 1, not audio: signature byte 22 differs
};

struct Sector {
    SectorKind kind;
    std::uint16_t payload; // audio payload bytes; 0 for the others
};

// PCM bytes i to i + length - 1 go to target_offset on.
struct AudioSpan {
    std::uint64_t target_offset;
    std::uint32_t length;
    std::uint32_t pcm_offset;
};

struct MovieLayout {
    std::uint64_t region_offset;
    std::uint32_t region_length;
    std::uint32_t pcm_limit;     // PCM bytes the rewrite places
    std::vector<Sector> sectors; // in stream order
    std::vector<AudioSpan> spans;
};

// The PCM bytes meant for a soundtrack: its stereo size in whole pairs.
std::uint32_t kit_pcm_limit(std::uint32_t resource_bytes);

// Lays out movie 0 or 1 so that its audio packets take exactly its PCM, with
// audio packets to spare after it. false if the region could not hold it.
bool kit_plan_movie(unsigned movie, MovieLayout* layout);

// The 2048 bytes of a sector.
void kit_sector_bytes(const Sector& sector, unsigned char* out);

// Bytes of the region from offset (relative to the region) on; the region
// must hold them.
void kit_region_bytes(const MovieLayout& layout, std::uint64_t offset, unsigned char* out,
                      std::size_t length);

// The program end code that closes each region.
extern const unsigned char KIT_END_CODE[KIT_END_CODE_BYTES];
