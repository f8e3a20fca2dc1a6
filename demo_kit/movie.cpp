#include "demo_kit/movie.h"

#include <cstring>

const unsigned char KIT_END_CODE[KIT_END_CODE_BYTES] = {0x00, 0x00, 0x01, 0xB9};

// MPEG-2 pack header without stuffing: SCR 0, mux rate 0x0189C3.
static const unsigned char PACK_HEADER[14] = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                                              0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
static constexpr std::size_t PACK_BYTES = sizeof PACK_HEADER;

// A sector's packets share 2034 bytes; a packet is its length field + 6.
static constexpr std::size_t PACKET_ROOM = KIT_SECTOR_BYTES - PACK_BYTES;
// Payload of an audio packet starts at byte 23.
static constexpr std::size_t AUDIO_HEADER_BYTES = 23;
// The largest audio payload that fills a sector alone: 2034 - 23.
static constexpr std::uint16_t FULL_AUDIO_PAYLOAD = PACKET_ROOM - AUDIO_HEADER_BYTES;
// A shorter one needs a padding packet after it, at least its 6 header bytes.
static constexpr std::uint16_t LARGEST_PADDED_PAYLOAD = FULL_AUDIO_PAYLOAD - 6;

// Sixteen sectors that repeat through each movie: half the bytes are audio,
// which leaves room for the soundtrack and some 15% of packets beyond it.
static const Sector PATTERN[16] = {
    {SECTOR_VIDEO, 0},
    {SECTOR_AUDIO, FULL_AUDIO_PAYLOAD},
    {SECTOR_VIDEO, 0},
    {SECTOR_AUDIO, FULL_AUDIO_PAYLOAD},
    {SECTOR_PRIVATE_A, 0},
    {SECTOR_AUDIO, FULL_AUDIO_PAYLOAD},
    {SECTOR_VIDEO, 0},
    {SECTOR_AUDIO, 1024},
    {SECTOR_AUDIO, FULL_AUDIO_PAYLOAD},
    {SECTOR_VIDEO, 0},
    {SECTOR_AUDIO, FULL_AUDIO_PAYLOAD},
    {SECTOR_VIDEO, 0},
    {SECTOR_AUDIO, 1536},
    {SECTOR_AUDIO, FULL_AUDIO_PAYLOAD},
    {SECTOR_PRIVATE_B, 0},
    {SECTOR_AUDIO, FULL_AUDIO_PAYLOAD},
};

std::uint32_t kit_pcm_limit(std::uint32_t resource_bytes) {
    return (resource_bytes / 16 * 112 + 1023) / 1024 * 1024;
}

static bool is_audio(SectorKind kind) {
    return kind == SECTOR_AUDIO || kind == SECTOR_FIRST_AUDIO;
}

bool kit_plan_movie(unsigned movie, MovieLayout* layout) {
    const KitMovie& info = KIT_MOVIES[movie];
    layout->region_offset = info.region_offset;
    layout->region_length = info.region_length;
    layout->pcm_limit = kit_pcm_limit(info.resource_bytes);
    layout->sectors.clear();
    layout->spans.clear();

    const std::size_t sector_count = (info.region_length - KIT_END_CODE_BYTES) / KIT_SECTOR_BYTES;
    // PCM still to place. The packet that reaches the limit is cut to end
    // exactly there, so the rewrite never asks for PCM past its buffer.
    std::uint32_t remaining = layout->pcm_limit;
    bool first = true;
    for (std::size_t s = 0; s < sector_count; ++s) {
        Sector sector = PATTERN[s % 16];
        if (is_audio(sector.kind) && first) {
            sector.kind = SECTOR_FIRST_AUDIO;
            first = false;
            remaining -= FULL_AUDIO_PAYLOAD - KIT_KEPT_AUDIO_BYTES;
        } else if (is_audio(sector.kind) && remaining != 0) {
            if (sector.payload > remaining) {
                sector.payload = remaining <= LARGEST_PADDED_PAYLOAD ? remaining : 1024;
            }
            remaining -= sector.payload;
        }
        layout->sectors.push_back(sector);
    }
    if (remaining != 0) {
        return false;
    }

    // Where the rewrite puts the PCM: its walk over the packets, from the
    // region's start, while PCM is left below the limit.
    std::uint32_t pcm = 0;
    std::uint32_t keep = KIT_KEPT_AUDIO_BYTES;
    for (std::size_t s = 0; s < sector_count && pcm < layout->pcm_limit; ++s) {
        const Sector& sector = layout->sectors[s];
        if (!is_audio(sector.kind) || sector.payload <= keep) {
            keep = is_audio(sector.kind) ? 0 : keep;
            continue;
        }
        const std::uint64_t payload_start =
            layout->region_offset + s * KIT_SECTOR_BYTES + PACK_BYTES + AUDIO_HEADER_BYTES;
        const std::uint32_t length = sector.payload - keep;
        layout->spans.push_back({payload_start + keep, length, pcm});
        pcm += length;
        keep = 0;
    }
    return pcm == layout->pcm_limit;
}

static void put_big_endian16(unsigned char* out, std::size_t value) {
    out[0] = static_cast<unsigned char>(value >> 8);
    out[1] = static_cast<unsigned char>(value);
}

static void put_little_endian32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// Start code, length, MPEG-2 PES flags with a PTS, and for private stream 1
// stuffing up to the four substream bytes 19 to 22.
static std::size_t packet_header(unsigned char* out, unsigned char stream_id,
                                 std::size_t packet_bytes, const unsigned char* substream) {
    static const unsigned char PTS[5] = {0x21, 0x00, 0x01, 0x00, 0x01};
    out[0] = 0x00;
    out[1] = 0x00;
    out[2] = 0x01;
    out[3] = stream_id;
    put_big_endian16(out + 4, packet_bytes - 6);
    out[6] = 0x81;
    out[7] = 0x80;
    if (substream == nullptr) {
        out[8] = 5;
        std::memcpy(out + 9, PTS, 5);
        return 14;
    }
    out[8] = 10;
    std::memcpy(out + 9, PTS, 5);
    std::memset(out + 14, 0xFF, 5);
    std::memcpy(out + 19, substream, 4);
    return AUDIO_HEADER_BYTES;
}

void kit_sector_bytes(const Sector& sector, unsigned char* out) {
    static const unsigned char AUDIO[4] = {0xFF, 0xA0, 0x00, 0x00};
    static const unsigned char NEAR_AUDIO_A[4] = {0xFF, 0xA1, 0x00, 0x00};
    static const unsigned char NEAR_AUDIO_B[4] = {0xFF, 0xA0, 0x00, 0x01};
    std::memcpy(out, PACK_HEADER, PACK_BYTES);
    unsigned char* packet = out + PACK_BYTES;
    switch (sector.kind) {
    case SECTOR_VIDEO: {
        const std::size_t header = packet_header(packet, 0xE0, PACKET_ROOM, nullptr);
        // A picture start code, then the picture's (uniform) data.
        static const unsigned char PICTURE[8] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0xF8};
        std::memcpy(packet + header, PICTURE, sizeof PICTURE);
        std::memset(packet + header + sizeof PICTURE, 0x6D, PACKET_ROOM - header - sizeof PICTURE);
        return;
    }
    case SECTOR_PRIVATE_A:
    case SECTOR_PRIVATE_B: {
        const unsigned char* substream =
            sector.kind == SECTOR_PRIVATE_A ? NEAR_AUDIO_A : NEAR_AUDIO_B;
        const std::size_t header = packet_header(packet, 0xBD, PACKET_ROOM, substream);
        std::memset(packet + header, 0x00, PACKET_ROOM - header);
        return;
    }
    case SECTOR_AUDIO:
    case SECTOR_FIRST_AUDIO: {
        const std::size_t audio_bytes = AUDIO_HEADER_BYTES + sector.payload;
        packet_header(packet, 0xBD, audio_bytes, AUDIO);
        unsigned char* payload = packet + AUDIO_HEADER_BYTES;
        // The original soundtrack, as far as this kit is concerned.
        std::memset(payload, 0x11, sector.payload);
        if (sector.kind == SECTOR_FIRST_AUDIO) {
            // Audio header the rewrite keeps: 16-bit PCM, 48 kHz, stereo in
            // 512-byte halves, then the start of the audio body.
            std::memset(payload, 0, KIT_KEPT_AUDIO_BYTES);
            std::memcpy(payload, "SShd", 4);
            put_little_endian32(payload + 4, 24);
            put_little_endian32(payload + 8, 1);
            put_little_endian32(payload + 12, 48000);
            put_little_endian32(payload + 16, 2);
            put_little_endian32(payload + 20, 512);
            std::memcpy(payload + 32, "SSbd", 4);
        }
        if (audio_bytes < PACKET_ROOM) {
            unsigned char* padding = packet + audio_bytes;
            const std::size_t padding_bytes = PACKET_ROOM - audio_bytes;
            padding[0] = 0x00;
            padding[1] = 0x00;
            padding[2] = 0x01;
            padding[3] = 0xBE;
            put_big_endian16(padding + 4, padding_bytes - 6);
            std::memset(padding + 6, 0xFF, padding_bytes - 6);
        }
        return;
    }
    }
}

void kit_region_bytes(const MovieLayout& layout, std::uint64_t offset, unsigned char* out,
                      std::size_t length) {
    const std::uint64_t sectors_end = layout.sectors.size() * KIT_SECTOR_BYTES;
    unsigned char sector_bytes[KIT_SECTOR_BYTES];
    while (length != 0) {
        std::size_t take = 0;
        if (offset >= sectors_end) {
            take = length;
            std::memcpy(out, KIT_END_CODE + (offset - sectors_end), take);
        } else {
            const std::uint64_t index = offset / KIT_SECTOR_BYTES;
            const std::size_t within = offset % KIT_SECTOR_BYTES;
            take = KIT_SECTOR_BYTES - within < length ? KIT_SECTOR_BYTES - within : length;
            kit_sector_bytes(layout.sectors[index], sector_bytes);
            std::memcpy(out, sector_bytes + within, take);
        }
        out += take;
        offset += take;
        length -= take;
    }
}
