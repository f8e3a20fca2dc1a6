#include "movie/rewrite.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void add_pack_header(Bytes* region) {
    const unsigned char header[14] = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                                      0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    for (unsigned char byte : header) {
        region->push_back(byte);
    }
}

// A packet of the given stream and length field whose body is filler; with
// audio set, bytes 19-22 carry the PCM sub-stream signature.
std::size_t add_packet(Bytes* region, unsigned char stream, std::uint32_t length, bool audio,
                       unsigned char filler) {
    const std::size_t start = region->size();
    region->resize(start + 6 + length, filler);
    const unsigned char prefix[6] = {0x00,
                                     0x00,
                                     0x01,
                                     stream,
                                     static_cast<unsigned char>(length >> 8),
                                     static_cast<unsigned char>(length & 0xFF)};
    std::copy(prefix, prefix + 6, region->begin() + static_cast<long>(start));
    if (audio) {
        const unsigned char signature[4] = {0xFF, 0xA0, 0x00, 0x00};
        std::copy(signature, signature + 4, region->begin() + static_cast<long>(start + 19));
    }
    return start;
}

std::size_t add_audio(Bytes* region, std::uint32_t length, unsigned char filler = 0x5A) {
    return add_packet(region, 0xBD, length, true, filler);
}

// Soundtrack bytes that are never 0, so that silence stands out.
Bytes make_pcm(std::size_t length) {
    Bytes pcm(length);
    for (std::size_t i = 0; i < length; ++i) {
        pcm[i] = static_cast<unsigned char>(i % 251 + 1);
    }
    return pcm;
}

// What a payload that took PCM bytes from..from+count-1 must hold.
void expect_fill(Bytes* expected, std::size_t at, std::size_t count, std::size_t from,
                 const Bytes& pcm) {
    for (std::size_t k = 0; k < count; ++k) {
        (*expected)[at + k] = from + k < pcm.size() ? pcm[from + k] : 0;
    }
}

struct Walked {
    Bytes region;
    PacketWalk walk;
};

// Walks a copy of exactly the region's size, so that ASan sees any overrun.
Walked walk(const Bytes& built, const Bytes& pcm) {
    Walked result{Bytes(built.begin(), built.end()), {}};
    result.walk =
        walk_movie_packets(result.region.data(), static_cast<std::uint32_t>(result.region.size()),
                           pcm.data(), pcm.size());
    return result;
}

const std::size_t PAYLOAD = 23; // payload offset within an audio packet

TEST(MovieWalk, StepsOverPackHeadersAndWholeVideoPackets) {
    Bytes region;
    add_pack_header(&region);
    // Length 07 EC: 2,034 bytes including the prefix, which ends the pack.
    const std::size_t video = add_packet(&region, 0xE0, 0x07EC, false, 0x11);
    // Something that looks like an audio packet inside the video data.
    Bytes decoy;
    add_audio(&decoy, 200);
    std::copy(decoy.begin(), decoy.end(), region.begin() + static_cast<long>(video + 100));
    ASSERT_EQ(2048u, region.size());
    add_pack_header(&region);
    const std::size_t audio = add_audio(&region, 0x07EC);

    const Bytes pcm = make_pcm(100000);
    const Walked walked = walk(region, pcm);
    Bytes expected = region;
    expect_fill(&expected, audio + PAYLOAD + 40, 2011 - 40, 0, pcm);
    EXPECT_EQ(expected, walked.region);
    EXPECT_EQ(region.size(), walked.walk.region_position);
    EXPECT_EQ(1971u, walked.walk.pcm_position);
}

TEST(MovieWalk, LeavesOtherPrivateStreamPacketsAlone) {
    Bytes region;
    const std::size_t other = add_packet(&region, 0xBD, 100, true, 0x22);
    region[other + 22] = 0x01; // FF A0 00 01
    const std::size_t audio = add_audio(&region, 100);
    const Bytes pcm = make_pcm(1000);
    const Walked walked = walk(region, pcm);
    Bytes expected = region;
    // The first real audio packet is the one that keeps its opening bytes.
    expect_fill(&expected, audio + PAYLOAD + 40, 43, 0, pcm);
    EXPECT_EQ(expected, walked.region);
}

// Packet length 100: payload 83 bytes, of which 40 are kept and PCM 0-42
// lands in payload bytes 40-82; the next packet (payload 43) takes PCM 43-85
// from its first payload byte.
TEST(MovieWalk, FirstAudioPacketKeepsFortyPayloadBytes) {
    Bytes region;
    add_pack_header(&region);
    const std::size_t first = add_audio(&region, 100);
    add_pack_header(&region);
    const std::size_t second = add_audio(&region, 60);
    const Bytes pcm = make_pcm(1000);
    const Walked walked = walk(region, pcm);
    Bytes expected = region;
    expect_fill(&expected, first + PAYLOAD + 40, 43, 0, pcm);
    expect_fill(&expected, second + PAYLOAD, 43, 43, pcm);
    EXPECT_EQ(expected, walked.region);
    EXPECT_EQ(86u, walked.walk.pcm_position);
}

TEST(MovieWalk, ShortFirstPayloadTakesNothing) {
    const std::uint32_t first_lengths[] = {57, 40, 17}; // payload 40, 23, 0
    for (std::uint32_t first_length : first_lengths) {
        Bytes region;
        add_audio(&region, first_length);
        const std::size_t second = add_audio(&region, 60);
        const Bytes pcm = make_pcm(1000);
        const Walked walked = walk(region, pcm);
        Bytes expected = region;
        expect_fill(&expected, second + PAYLOAD, 43, 0, pcm);
        EXPECT_EQ(expected, walked.region) << first_length;
        EXPECT_EQ(43u, walked.walk.pcm_position) << first_length;
    }
}

// The limit is looked at between packets only: a packet that starts below it
// is filled to its end, with silence past the soundtrack.
TEST(MovieWalk, StopsAtTheLimitBetweenPackets) {
    struct Case {
        std::size_t limit;
        std::size_t second_real; // PCM bytes the second packet gets before silence
    };
    const Case cases[] = {{86, 43}, {50, 7}, {44, 1}};
    for (const Case& c : cases) {
        Bytes region;
        const std::size_t first = add_audio(&region, 100);
        const std::size_t second = add_audio(&region, 60);
        const std::size_t third = add_audio(&region, 60);
        const Bytes pcm = make_pcm(c.limit);
        const Walked walked = walk(region, pcm);
        Bytes expected = region;
        expect_fill(&expected, first + PAYLOAD + 40, 43, 0, pcm);
        expect_fill(&expected, second + PAYLOAD, 43, 43, pcm);
        EXPECT_EQ(expected, walked.region) << c.limit;
        EXPECT_EQ(third, walked.walk.region_position) << c.limit;
        EXPECT_EQ(86u, walked.walk.pcm_position) << c.limit;
        if (c.second_real < 43) {
            EXPECT_EQ(0, walked.region[second + PAYLOAD + c.second_real]) << c.limit;
        }
    }
}

// Regions whose last unit is cut short: the walk ends without touching it and
// without reading past the region (ASan watches the exact-size copy).
TEST(MovieWalk, EndsAtUnitsCutByTheRegionEnd) {
    struct Case {
        const char* what;
        std::size_t cut;      // bytes of the tail unit that are present
        std::size_t stop;     // expected region position, from the tail
        std::uint32_t length; // tail packet length field
        unsigned char stream;
    };
    const Case cases[] = {
        {"start code only", 4, 0, 0x07EC, 0xBD},
        {"three bytes", 3, 0, 0x07EC, 0xBD},
        {"length field only", 6, 0, 0x07EC, 0xBD},
        {"header before signature", 20, 0, 0x07EC, 0xBD},
        {"payload crosses the end", 100, 0, 0x07EC, 0xBD},
        {"payload one byte short", 0x07EC + 5, 0, 0x07EC, 0xBD},
        {"other unit crossing", 100, 0x07EC + 6, 0x07EC, 0xE0},
        {"pack header crossing", 5, 14, 0, 0xBA},
    };
    for (const Case& c : cases) {
        Bytes region;
        const std::size_t first = add_audio(&region, 100);
        Bytes tail;
        if (c.stream == 0xBA) {
            add_pack_header(&tail);
        } else {
            add_packet(&tail, c.stream, c.length, c.stream == 0xBD, 0x33);
        }
        const std::size_t tail_start = region.size();
        for (std::size_t k = 0; k < c.cut; ++k) {
            region.push_back(tail[k]);
        }
        const Bytes pcm = make_pcm(100000);
        const Walked walked = walk(region, pcm);
        Bytes expected = region;
        expect_fill(&expected, first + PAYLOAD + 40, 43, 0, pcm);
        EXPECT_EQ(expected, walked.region) << c.what;
        EXPECT_EQ(tail_start + c.stop, walked.walk.region_position) << c.what;
        EXPECT_EQ(43u, walked.walk.pcm_position) << c.what;
    }
}

// A private-stream-1 packet too short for a payload is stepped over even when
// the bytes 19-22 from its start read as the signature; the audio packet after
// it is still the first one.
TEST(MovieWalk, SkipsPrivateStreamPacketsWithoutRoomForPayload) {
    Bytes region;
    const std::size_t tiny = add_packet(&region, 0xBD, 3, false, 0x44); // 9 bytes
    const std::size_t padding = add_packet(&region, 0xBE, 14, false, 0x66);
    ASSERT_EQ(tiny + 9, padding);
    const unsigned char signature[4] = {0xFF, 0xA0, 0x00, 0x00};
    std::copy(signature, signature + 4, region.begin() + static_cast<long>(tiny + 19));
    const std::size_t audio = add_audio(&region, 100);
    // And a short one at the very end, its would-be signature past the region.
    add_packet(&region, 0xBD, 10, false, 0x55);
    const Bytes pcm = make_pcm(100000);
    const Walked walked = walk(region, pcm);
    Bytes expected = region;
    expect_fill(&expected, audio + PAYLOAD + 40, 43, 0, pcm);
    EXPECT_EQ(expected, walked.region);
    EXPECT_EQ(region.size(), walked.walk.region_position);
}

// The count the translators' tool reports is what a walk with a soundtrack
// longer than the movie hands out, on every kind of unit the walk tells apart.
TEST(MovieWalk, CountsWhatAnEndlessSoundtrackWouldTake) {
    Bytes packs;
    add_pack_header(&packs);
    add_packet(&packs, 0xE0, 0x07EC, false, 0x11);
    add_pack_header(&packs);
    add_audio(&packs, 0x07EC);
    add_audio(&packs, 300); // payload 300 + 6 - 23
    Bytes others;
    const std::size_t other = add_packet(&others, 0xBD, 100, true, 0x22);
    others[other + 22] = 0x01;
    add_packet(&others, 0xBD, 10, false, 0x00); // no room for a payload
    add_audio(&others, 57);                     // a first payload of 40 bytes: none taken
    add_audio(&others, 100);
    const Bytes cut(packs.begin(), packs.end() - 1); // the last packet crosses the end
    const Bytes cases[] = {Bytes(), packs, others, cut};
    for (const Bytes& region : cases) {
        const Walked walked = walk(region, make_pcm(region.size() + 1));
        EXPECT_EQ(walked.walk.pcm_position,
                  count_movie_pcm_bytes(region.data(), static_cast<std::uint32_t>(region.size())))
            << region.size();
    }
    EXPECT_EQ(1971u + 283u,
              count_movie_pcm_bytes(packs.data(), static_cast<std::uint32_t>(packs.size())));
}

} // namespace
