#include "demo_kit/adpcm.h"
#include "demo_kit/kit.h"
#include "demo_kit/music.h"
#include "tools/adpcm_encoder/encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

// Block with a filter, shift and flag and the nibbles given for samples 0, 1, ...
std::vector<unsigned char> block(unsigned filter, unsigned shift, unsigned flag,
                                 std::vector<unsigned> nibbles) {
    std::vector<unsigned char> out(16, 0);
    out[0] = static_cast<unsigned char>(filter << 4 | shift);
    out[1] = static_cast<unsigned char>(flag);
    for (std::size_t j = 0; j < nibbles.size(); ++j) {
        out[2 + j / 2] |= static_cast<unsigned char>((nibbles[j] & 15) << (j % 2 * 4));
    }
    return out;
}

// Nibbles for a block whose last sample (27) carries value.
std::vector<unsigned> last_nibble(unsigned nibble) {
    std::vector<unsigned> nibbles(28, 0);
    nibbles[27] = nibble;
    return nibbles;
}

void expect_well_formed(const std::vector<unsigned char>& adpcm, const char* what) {
    ASSERT_EQ(adpcm.size() % KIT_ADPCM_BLOCK_BYTES, 0u) << what;
    const std::size_t blocks = adpcm.size() / KIT_ADPCM_BLOCK_BYTES;
    for (std::size_t b = 0; b < blocks; ++b) {
        const unsigned char* in = adpcm.data() + b * KIT_ADPCM_BLOCK_BYTES;
        ASSERT_LE(in[0] >> 4, 4) << what << " block " << b;
        ASSERT_LE(in[0] & 15, 12) << what << " block " << b;
        ASSERT_EQ(in[1], b + 1 == blocks ? 1 : 0) << what << " block " << b;
    }
}

// Signal-to-noise ratio in decibels of decoded against wanted, and the
// largest difference.
double signal_to_noise(const std::vector<std::int16_t>& wanted,
                       const std::vector<std::int16_t>& decoded, int* largest) {
    double signal = 0;
    double noise = 0;
    *largest = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const int difference = wanted[i] - decoded[i];
        signal += static_cast<double>(wanted[i]) * wanted[i];
        noise += static_cast<double>(difference) * difference;
        *largest = std::abs(difference) > *largest ? std::abs(difference) : *largest;
    }
    return 10 * std::log10(signal / (noise > 0 ? noise : 1));
}

} // namespace

TEST(KitAdpcm, DecodesByThePlayersRules) {
    const struct {
        const char* what;
        std::vector<std::vector<unsigned char>> blocks;
        std::size_t sample;
        std::int16_t value;
    } CASES[] = {
        {"filter 0, shift 12: the nibble itself", {block(0, 12, 0, last_nibble(7))}, 27, 7},
        {"nibbles 8 to 15 are negative", {block(0, 12, 0, last_nibble(9))}, 27, -7},
        {"shift 0: nibble 7 is 28672", {block(0, 0, 0, last_nibble(7))}, 27, 28672},
        {"1 + 7 * 60/64 = 7.5625 truncates to 7",
         {block(0, 12, 0, last_nibble(7)), block(1, 12, 0, {1})},
         28,
         7},
        {"-1 - 7 * 60/64 = -7.5625 truncates toward zero to -7",
         {block(0, 12, 0, last_nibble(9)), block(1, 12, 0, {15})},
         28,
         -7},
        {"filter 2 reads both earlier samples: 7 * 115/64 - 3 * 52/64 = 10.14",
         {block(0, 12, 0,
                [] {
                    std::vector<unsigned> n(28, 0);
                    n[26] = 3;
                    n[27] = 7;
                    return n;
                }()),
          block(2, 12, 0, {0})},
         28,
         10},
        {"past 16 bits the value is stored wrapped",
         {block(0, 0, 0, last_nibble(7)), block(1, 0, 0, {7})},
         28,
         -9984},
        {"and the history keeps the whole value: 55552 * 60/64 = 52080",
         {block(0, 0, 0, last_nibble(7)), block(1, 0, 0, {7, 0})},
         29,
         -13456},
    };
    for (const auto& c : CASES) {
        std::vector<unsigned char> adpcm;
        for (const auto& b : c.blocks) {
            adpcm.insert(adpcm.end(), b.begin(), b.end());
        }
        std::vector<std::int16_t> samples(c.blocks.size() * 28, 0x5555);
        EXPECT_EQ(kit_decode_adpcm(adpcm.data(), c.blocks.size(), samples.data()), samples.size())
            << c.what;
        EXPECT_EQ(samples[c.sample], c.value) << c.what;
    }
}

TEST(KitAdpcm, FlagAboveSixEndsDecoding) {
    std::vector<unsigned char> adpcm = block(0, 12, 0, last_nibble(3));
    const std::vector<unsigned char> stop = block(0, 12, 7, last_nibble(4));
    const std::vector<unsigned char> after = block(0, 12, 1, last_nibble(5));
    adpcm.insert(adpcm.end(), stop.begin(), stop.end());
    adpcm.insert(adpcm.end(), after.begin(), after.end());
    std::vector<std::int16_t> samples(84, 0x5555);
    EXPECT_EQ(kit_decode_adpcm(adpcm.data(), 3, samples.data()), 28u);
    EXPECT_EQ(samples[27], 3);
    EXPECT_EQ(samples[28], 0x5555);
}

TEST(KitAdpcm, EncodesWithinSmallErrorUsingAllowedBlocksOnly) {
    // Music, then hard edges near full scale, then silence.
    std::vector<std::int16_t> wanted(28 * 2000, 0);
    kit_compose_song(1, wanted.data(), 28 * 1500);
    for (std::size_t i = 28 * 1500; i < 28 * 1800; ++i) {
        wanted[i] = (i / 50) % 2 == 0 ? 28000 : -28000;
    }
    std::vector<unsigned char> adpcm(2000 * KIT_ADPCM_BLOCK_BYTES);
    encode_ps_adpcm(wanted.data(), 2000, adpcm.data());
    expect_well_formed(adpcm, "test signal");

    std::vector<std::int16_t> decoded(wanted.size());
    ASSERT_EQ(kit_decode_adpcm(adpcm.data(), 2000, decoded.data()), wanted.size());
    int largest = 0;
    const std::vector<std::int16_t> music(wanted.begin(), wanted.begin() + 28 * 1500);
    const std::vector<std::int16_t> music_decoded(decoded.begin(), decoded.begin() + 28 * 1500);
    EXPECT_GT(signal_to_noise(music, music_decoded, &largest), 30.0);
    EXPECT_LT(largest, 1024);
    // A wrapped value would be tens of thousands off.
    signal_to_noise(wanted, decoded, &largest);
    EXPECT_LT(largest, 16384);
    for (std::size_t i = 28 * 1800; i < wanted.size(); ++i) {
        ASSERT_EQ(decoded[i], 0) << i;
    }
}

TEST(KitAdpcm, SoundtracksHaveTheirSizesAndCarryTheMusic) {
    const std::size_t SIZES[2] = {1651216, 1909056};
    for (unsigned movie = 0; movie < 2; ++movie) {
        std::vector<unsigned char> adpcm;
        kit_make_soundtrack(movie, &adpcm);
        ASSERT_EQ(adpcm.size(), SIZES[movie]);
        expect_well_formed(adpcm, movie == 0 ? "Ru_op" : "Ry_op");
        const std::size_t count = adpcm.size() / 16 * 28;
        std::vector<std::int16_t> wanted(count);
        kit_compose_song(movie, wanted.data(), count);
        std::vector<std::int16_t> decoded(count);
        ASSERT_EQ(kit_decode_adpcm(adpcm.data(), adpcm.size() / 16, decoded.data()), count);
        int largest = 0;
        EXPECT_GT(signal_to_noise(wanted, decoded, &largest), 30.0) << movie;
        // About a minute at 48 kHz, and loud enough to hear throughout.
        EXPECT_GT(count, 55u * KIT_SAMPLE_RATE);
        for (std::size_t second = 1; second + 3 < count / KIT_SAMPLE_RATE; ++second) {
            double energy = 0;
            for (std::size_t i = 0; i < KIT_SAMPLE_RATE; ++i) {
                const double v = decoded[second * KIT_SAMPLE_RATE + i];
                energy += v * v;
            }
            EXPECT_GT(std::sqrt(energy / KIT_SAMPLE_RATE), 1000.0) << movie << " second " << second;
        }
    }
}

TEST(KitAdpcm, LaysOutStereoPairsWithThePlayersZeroFill) {
    // Where the samples of the last pair go, which bytes the fill zeroes and
    // which keep what the buffer held (0xEE here).
    const struct {
        std::size_t samples;
        std::size_t left_end;  // samples in the last pair's left half end here
        std::size_t fill_from; // zeros from here to 512 (512: none)
    } CASES[] = {
        {0, 0, 56}, // nothing decoded: bytes 56 to 511
        {28, 56, 112},
        {48, 96, 152},   // the last pair of Ry_op
        {156, 312, 368}, // the last pair of Ru_op
        {228, 456, 512}, // the fill would start at 512: nothing
        {256 + 156, 312, 368},
    };
    for (const auto& c : CASES) {
        std::vector<std::int16_t> samples(c.samples);
        for (std::size_t n = 0; n < c.samples; ++n) {
            samples[n] = static_cast<std::int16_t>(n + 1);
        }
        std::vector<unsigned char> pcm(kit_stereo_bytes(c.samples) + 1024, 0xEE);
        kit_place_stereo(samples.data(), c.samples, pcm.data());
        const std::size_t last = c.samples == 0 ? 0 : (c.samples - 1) / 256 * 1024;
        for (std::size_t i = 0; i < 512; ++i) {
            const unsigned char left = pcm[last + i];
            const unsigned char right = pcm[last + 512 + i];
            if (i < c.left_end) {
                const std::size_t n = (c.samples - 1) / 256 * 256 + i / 2;
                const unsigned char expected =
                    static_cast<unsigned char>(i % 2 == 0 ? (n + 1) : (n + 1) >> 8);
                ASSERT_EQ(left, expected) << c.samples << " byte " << i;
                ASSERT_EQ(right, expected) << c.samples << " byte " << i;
            } else {
                ASSERT_EQ(left, i >= c.fill_from ? 0 : 0xEE) << c.samples << " byte " << i;
                ASSERT_EQ(right, 0xEE) << c.samples << " byte " << i;
            }
        }
        EXPECT_EQ(pcm[kit_stereo_bytes(c.samples)], 0xEE) << c.samples;
    }
}

TEST(KitAdpcm, PlacesSamplesInBothHalvesOfTheirPair) {
    std::vector<std::int16_t> samples(600);
    for (std::size_t n = 0; n < samples.size(); ++n) {
        samples[n] = static_cast<std::int16_t>(0x1000 + n);
    }
    std::vector<unsigned char> pcm(kit_stereo_bytes(samples.size()), 0);
    ASSERT_EQ(pcm.size(), 3072u);
    kit_place_stereo(samples.data(), samples.size(), pcm.data());
    const struct {
        std::size_t sample;
        std::size_t left;
    } PLACES[] = {{0, 0}, {255, 510}, {256, 1024}, {511, 1534}, {512, 2048}, {599, 2222}};
    for (const auto& place : PLACES) {
        const std::size_t value = 0x1000 + place.sample;
        for (const std::size_t at : {place.left, place.left + 512}) {
            EXPECT_EQ(pcm[at], value & 0xFF) << place.sample;
            EXPECT_EQ(pcm[at + 1], value >> 8) << place.sample;
        }
    }
}
