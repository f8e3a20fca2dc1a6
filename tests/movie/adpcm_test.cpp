#include "movie/adpcm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

namespace {

// Bytes the decoder must leave alone show up as this.
const unsigned char UNTOUCHED = 0xAA;

struct Block {
    int filter;
    int shift;
    int flag;
    std::vector<int> nibbles; // sample j's nibble; missing ones are 0
};

std::vector<unsigned char> encode(const std::vector<Block>& blocks) {
    std::vector<unsigned char> bytes;
    for (const Block& block : blocks) {
        unsigned char raw[16] = {};
        raw[0] = static_cast<unsigned char>(block.filter << 4 | block.shift);
        raw[1] = static_cast<unsigned char>(block.flag);
        for (std::size_t j = 0; j < block.nibbles.size(); ++j) {
            const int nibble = block.nibbles[j] & 0x0F;
            raw[2 + j / 2] |= static_cast<unsigned char>(j % 2 == 0 ? nibble : nibble << 4);
        }
        bytes.insert(bytes.end(), raw, raw + 16);
    }
    return bytes;
}

std::vector<int> repeat(int nibble, std::size_t count) {
    return std::vector<int>(count, nibble);
}

std::int16_t sample_at(const std::vector<unsigned char>& pcm, std::size_t offset) {
    return static_cast<std::int16_t>(pcm[offset] | pcm[offset + 1] << 8);
}

std::vector<std::int16_t> decode_mono(const std::vector<unsigned char>& adpcm,
                                      std::int32_t* result = nullptr) {
    std::vector<unsigned char> pcm(adpcm.size() / 16 * 56, UNTOUCHED);
    const std::int32_t status =
        decode_ps_adpcm(adpcm.data(), pcm.data(), static_cast<std::uint32_t>(adpcm.size()), false);
    if (result != nullptr) {
        *result = status;
    }
    std::vector<std::int16_t> samples;
    for (std::size_t offset = 0; offset < pcm.size(); offset += 2) {
        samples.push_back(sample_at(pcm, offset));
    }
    return samples;
}

// Exactly the room the stereo output may use, so that ASan sees any overrun.
std::vector<unsigned char> decode_stereo(const std::vector<unsigned char>& adpcm,
                                         std::size_t room) {
    std::vector<unsigned char> pcm(room, UNTOUCHED);
    EXPECT_EQ(1, decode_ps_adpcm(adpcm.data(), pcm.data(), static_cast<std::uint32_t>(adpcm.size()),
                                 true));
    return pcm;
}

TEST(PsAdpcm, ScalesNibbleAsTopOfSignedWord) {
    // Filter 0 predicts nothing, so each sample is the scaled nibble itself;
    // an all-zero block is silence.
    const std::vector<std::int16_t> samples =
        decode_mono(encode({{0, 12, 0, {7, 8, 15, 1}}, {0, 0, 0, {15, 8, 7}}, {0, 0, 0, {}}}));
    for (std::size_t index = 56; index < 84; ++index) {
        EXPECT_EQ(0, samples[index]);
    }
    EXPECT_EQ(7, samples[0]);
    EXPECT_EQ(-8, samples[1]);
    EXPECT_EQ(-1, samples[2]);
    EXPECT_EQ(1, samples[3]);
    EXPECT_EQ(-4096, samples[28]);
    EXPECT_EQ(-32768, samples[29]);
    EXPECT_EQ(28672, samples[30]);
}

// Block 1 holds every sample at +-96 (filter 1: 6 + 96 x 60/64 = 96) and
// ends on +-100 (10 + 90); block 2 predicts from that across the boundary:
// +-1 + +-100 x 60/64 = +-94.75, stored as +-94, truncated toward zero.
TEST(PsAdpcm, TruncatesTowardZeroOnBothSignsAcrossBlocks) {
    struct Case {
        int start;  // nibble of block 0: +-6 << 4 = +-96
        int hold;   // +-3 << 1 = +-6
        int last;   // +-5 << 1 = +-10
        int step;   // +-1
        int expect; // +-94
    };
    const Case cases[] = {{6, 3, 5, 1, 94}, {10, 13, 11, 15, -94}};
    for (const Case& c : cases) {
        std::vector<int> hold = repeat(c.hold, 27);
        hold.push_back(c.last);
        const std::vector<std::int16_t> samples = decode_mono(encode({
            {0, 8, 0, repeat(c.start, 28)},
            {1, 11, 0, hold},
            {1, 12, 0, {c.step, 0}},
        }));
        const int sign = c.expect < 0 ? -1 : 1;
        EXPECT_EQ(96 * sign, samples[27]);
        EXPECT_EQ(96 * sign, samples[54]);
        EXPECT_EQ(100 * sign, samples[55]);
        EXPECT_EQ(c.expect, samples[56]);
        // 94 x 60/64 = 88.125 -> 88; the history is the truncated value.
        EXPECT_EQ(88 * sign, samples[57]);
    }
}

// Block 0 ends on 16384 (nibble 4, shift 0). Filter 4 then predicts
// 1536 + 16384 x 122/64 = 32768, stored wrapped; the next prediction uses the
// full 32768: 32768 x 122/64 - 16384 x 60/64 = 47104, stored as -18432 (from
// -32768 it would have been 0xD000), then 47104 x 122/64 - 32768 x 60/64 =
// 59072, stored as -6464.
TEST(PsAdpcm, WrapsStoredSampleButKeepsFullHistory) {
    std::vector<int> ramp = repeat(0, 27);
    ramp.push_back(4);
    const std::vector<std::int16_t> samples =
        decode_mono(encode({{0, 0, 0, ramp}, {4, 3, 0, {3, 0, 0}}}));
    EXPECT_EQ(16384, samples[27]);
    EXPECT_EQ(-32768, samples[28]);
    EXPECT_EQ(-18432, samples[29]);
    EXPECT_EQ(-6464, samples[30]);
}

TEST(PsAdpcm, PredictionOutsideThirtyTwoBitsGivesMinimum) {
    const std::int32_t* steep = PS_ADPCM_COEFFICIENTS[4]; // 122/64, -60/64
    // 2,000,000,000 x 122/64 = 3,812,500,000
    EXPECT_EQ(INT32_MIN, predict_ps_adpcm_sample(0, 2000000000, 0, steep));
    EXPECT_EQ(INT32_MIN, predict_ps_adpcm_sample(0, -2000000000, 0, steep));
    // Just inside: 1,126,548,000 x 122/64 = 2,147,482,125; -1 truncates to it.
    EXPECT_EQ(2147482124, predict_ps_adpcm_sample(-1, 1126548000, 0, steep));
    // The last truncation that fits and the first that does not, with
    // 125/64: 1,099,511,627 x 125/64 + 1 = 2,147,483,647.48 and
    // 1,099,511,628 x 125/64 = 2,147,483,648.44.
    const std::int32_t* wide = PS_ADPCM_COEFFICIENTS[14];
    EXPECT_EQ(INT32_MAX, predict_ps_adpcm_sample(1, 1099511627, 0, wide));
    EXPECT_EQ(INT32_MIN, predict_ps_adpcm_sample(0, 1099511628, 0, wide));
    // -2,147,483,648.44 truncates to INT32_MIN itself, which fits.
    EXPECT_EQ(INT32_MIN, predict_ps_adpcm_sample(0, -1099511628, 0, wide));
}

// The player's own evaluation: the terms in extended precision (64-bit
// mantissa), rounded to a double, truncated toward zero; INT32_MIN outside
// 32 bits.
std::int32_t extended_precision_prediction(std::int32_t scaled, std::int32_t previous,
                                           std::int32_t before_previous,
                                           const std::int32_t in_64ths[2]) {
    const long double sum = (static_cast<long double>(scaled) +
                             static_cast<long double>(previous) * (in_64ths[0] / 64.0)) +
                            static_cast<long double>(before_previous) * (in_64ths[1] / 64.0);
    const double value = static_cast<double>(sum);
    if (!(value > -2147483649.0 && value < 2147483648.0)) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}

// The decoder predicts in integer 64ths; it must agree with the
// extended-precision evaluation everywhere, the edges of 32 bits included.
TEST(PsAdpcm, IntegerPredictionMatchesExtendedPrecision) {
    std::mt19937_64 random(0x5EED);
    const std::int32_t edges[] = {0,         1,          -1,         32767,
                                  -32768,    1099511627, 1099511628, -1099511628,
                                  INT32_MAX, INT32_MIN,  1126548000, -1126548000};
    for (int row = 0; row < 16; ++row) {
        const std::int32_t* in_64ths = PS_ADPCM_COEFFICIENTS[row];
        for (int trial = 0; trial < 20000; ++trial) {
            const std::int32_t scaled = static_cast<std::int16_t>(random()) >> (random() % 13);
            std::int32_t previous = static_cast<std::int32_t>(random());
            std::int32_t before = static_cast<std::int32_t>(random());
            if (trial % 4 == 1) {
                previous = edges[random() % std::size(edges)];
                before = edges[random() % std::size(edges)];
            } else if (trial % 4 == 2) {
                previous = static_cast<std::int16_t>(random());
                before = static_cast<std::int16_t>(random());
            }
            ASSERT_EQ(extended_precision_prediction(scaled, previous, before, in_64ths),
                      predict_ps_adpcm_sample(scaled, previous, before, in_64ths))
                << "row " << row << ": " << scaled << ", " << previous << ", " << before;
        }
    }
}

TEST(PsAdpcm, UnstableFilterSettlesOnZeroWithoutFault) {
    // Filter 13 grows by 3.375 every two samples until the prediction leaves
    // 32 bits; from then on every prediction does, and stores 0.
    std::vector<Block> blocks(10, Block{13, 0, 0, repeat(8, 28)});
    std::int32_t result = 0;
    const std::vector<std::int16_t> samples = decode_mono(encode(blocks), &result);
    EXPECT_EQ(1, result);
    EXPECT_EQ(0, samples.back());
    EXPECT_EQ(0, samples[samples.size() - 2]);
}

TEST(PsAdpcm, StopsAtFlagAboveSix) {
    struct Case {
        int flag;
        std::int32_t result;
    };
    const Case cases[] = {{6, 1}, {7, 0}, {0xFF, 0}};
    for (const Case& c : cases) {
        std::int32_t result = -1;
        const std::vector<std::int16_t> samples = decode_mono(
            encode({{0, 12, 0, repeat(3, 28)}, {0, 12, c.flag, repeat(5, 28)}}), &result);
        EXPECT_EQ(c.result, result) << c.flag;
        EXPECT_EQ(3, samples[27]);
        EXPECT_EQ(c.result == 1 ? 5 : static_cast<std::int16_t>(0xAAAA), samples[28]) << c.flag;
    }
}

// Samples 0, 255 and 256 carry distinct values (4096, 8192, 12288), all
// others 0: 255 = block 9, j 3; 256 = block 9, j 4.
TEST(PsAdpcm, StereoPlacesEachSampleInBothHalvesOfItsPair) {
    std::vector<Block> blocks(10, Block{0, 0, 0, {}});
    blocks[0].nibbles = {1};
    blocks[9].nibbles = {0, 0, 0, 2, 3};
    const std::vector<unsigned char> pcm = decode_stereo(encode(blocks), 2048);
    struct Place {
        std::size_t left;
        std::int16_t value;
    };
    const Place places[] = {{0, 4096}, {510, 8192}, {1024, 12288}};
    for (const Place& place : places) {
        EXPECT_EQ(place.value, sample_at(pcm, place.left)) << place.left;
        EXPECT_EQ(place.value, sample_at(pcm, place.left + 512)) << place.left;
    }
    EXPECT_EQ(0, sample_at(pcm, 2));
    EXPECT_EQ(0, sample_at(pcm, 1026));
}

// The last pair's left half is zeroed from 56 bytes past its last sample to
// its end; the gap and the right half's tail keep what was there. A last
// group of 228 samples or more leaves no room in the left half: nothing is
// written, and the right half keeps every decoded sample.
TEST(PsAdpcm, StereoPadsOnlyTheLastLeftHalf) {
    struct Case {
        std::uint32_t blocks;
        std::size_t pair;       // offset of the last pair
        std::size_t samples_in; // samples of the last group
        std::size_t fill_from;  // first zeroed byte in the pair, 512 = none
    };
    const Case cases[] = {
        {1, 0, 28, 112},      // one block: gap 56-111, zeros 112-511
        {33, 3072, 156, 368}, // last group like the first shipped soundtrack
        {63, 6144, 228, 512}, // 2 x 228 + 56 = 512: nothing left to fill
        {9, 0, 252, 512},     // would reach into the right half
        {64, 6144, 256, 512}, // full last pair
    };
    for (const Case& c : cases) {
        const std::vector<Block> blocks(c.blocks, Block{0, 12, 0, repeat(5, 28)});
        const std::vector<unsigned char> pcm = decode_stereo(encode(blocks), c.pair + 1024);
        const std::size_t end = c.samples_in * 2;
        for (std::size_t offset = 0; offset < 512; ++offset) {
            const std::size_t left = c.pair + offset;
            if (offset < end) {
                EXPECT_EQ(5, sample_at(pcm, left - offset % 2)) << c.blocks << " " << offset;
                EXPECT_EQ(pcm[left], pcm[left + 512]) << c.blocks << " " << offset;
            } else {
                const unsigned char expected = offset >= c.fill_from ? 0 : UNTOUCHED;
                EXPECT_EQ(expected, pcm[left]) << c.blocks << " " << offset;
                EXPECT_EQ(UNTOUCHED, pcm[left + 512]) << c.blocks << " " << offset;
            }
        }
    }
}

TEST(PsAdpcm, EmptyStereoInputPadsFirstHalfFromByte56) {
    std::vector<unsigned char> pcm(1024, UNTOUCHED);
    EXPECT_EQ(1, decode_ps_adpcm(nullptr, pcm.data(), 0, true));
    for (std::size_t offset = 0; offset < 1024; ++offset) {
        EXPECT_EQ(offset >= 56 && offset < 512 ? 0 : UNTOUCHED, pcm[offset]) << offset;
    }
    EXPECT_EQ(1, decode_ps_adpcm(nullptr, pcm.data(), 0, false));
}

// The input vector ends exactly at the partial block, so ASan sees a read
// past it; the partial block is not decoded and does not count.
TEST(PsAdpcm, TrailingPartialBlockIsNotDecoded) {
    std::vector<unsigned char> adpcm = encode({{0, 12, 0, repeat(4, 28)}});
    const unsigned char partial[] = {0x0C, 0x00, 0x77, 0x77, 0x77};
    adpcm.insert(adpcm.end(), partial, partial + sizeof partial);
    std::vector<unsigned char> pcm(1024, UNTOUCHED);
    EXPECT_EQ(1, decode_ps_adpcm(adpcm.data(), pcm.data(), 21, true));
    EXPECT_EQ(4, sample_at(pcm, 54));
    EXPECT_EQ(UNTOUCHED, pcm[56]);
    EXPECT_EQ(0, pcm[112]);

    const std::vector<unsigned char> short_only(partial, partial + sizeof partial);
    std::vector<unsigned char> mono(8, UNTOUCHED);
    EXPECT_EQ(1, decode_ps_adpcm(short_only.data(), mono.data(), 5, false));
    EXPECT_EQ(UNTOUCHED, mono[0]);
}

TEST(PsAdpcm, StereoSizeCountsWholeBlocksInWholePairs) {
    struct Case {
        std::uint32_t adpcm_length;
        std::uint64_t bytes;
    };
    const Case cases[] = {
        {0, 0},
        {15, 0},
        {16, 1024},
        {16 * 9, 1024},
        {16 * 10, 2048},
        {16 * 64, 7168},
        {1651216, 11558912},
        {1909056, 13364224},
        {0xFFFFFFFFu, 30064771072u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bytes, stereo_pcm_bytes(c.adpcm_length)) << c.adpcm_length;
    }
}

} // namespace
