#include "demo_kit/adpcm.h"

#include "movie/adpcm.h"

#include <cstring>
#include <vector>

std::size_t kit_decode_adpcm(const unsigned char* adpcm, std::size_t block_count,
                             std::int16_t* samples) {
    // The patcher's own decoder, up to the block that ends the soundtrack:
    // the PCM the kit expects in the movies is what the patcher decodes.
    std::size_t blocks = 0;
    while (blocks < block_count && adpcm[blocks * KIT_ADPCM_BLOCK_BYTES + 1] <= 6) {
        ++blocks;
    }
    const std::size_t count = blocks * KIT_ADPCM_BLOCK_SAMPLES;
    std::vector<unsigned char> pcm(2 * count);
    decode_ps_adpcm(adpcm, pcm.data(), static_cast<std::uint32_t>(blocks * KIT_ADPCM_BLOCK_BYTES),
                    false);
    for (std::size_t n = 0; n < count; ++n) {
        samples[n] =
            static_cast<std::int16_t>(static_cast<std::uint16_t>(pcm[2 * n] | pcm[2 * n + 1] << 8));
    }
    return count;
}

std::size_t kit_stereo_bytes(std::size_t sample_count) {
    const std::size_t pairs = (sample_count + 255) / 256;
    return (pairs == 0 ? 1 : pairs) * 2 * KIT_INTERLEAVE_BYTES;
}

void kit_place_stereo(const std::int16_t* samples, std::size_t sample_count, unsigned char* pcm) {
    for (std::size_t n = 0; n < sample_count; ++n) {
        const std::size_t mono = 2 * n;
        const std::size_t left = mono % KIT_INTERLEAVE_BYTES + mono / KIT_INTERLEAVE_BYTES * 1024;
        const std::uint16_t bits = static_cast<std::uint16_t>(samples[n]);
        pcm[left] = static_cast<unsigned char>(bits);
        pcm[left + 1] = static_cast<unsigned char>(bits >> 8);
        pcm[left + KIT_INTERLEAVE_BYTES] = pcm[left];
        pcm[left + KIT_INTERLEAVE_BYTES + 1] = pcm[left + 1];
    }
    // The player's fill after the last pair: zeros from 56 bytes past the
    // mono length of the data, measured from the last pair's half offset, up
    // to the next multiple of 512.
    std::size_t fill = 56;
    if (sample_count != 0) {
        const std::size_t half_start =
            (2 * sample_count - 2) / KIT_INTERLEAVE_BYTES * KIT_INTERLEAVE_BYTES;
        fill = half_start + 2 * sample_count + 56;
    }
    if (fill % KIT_INTERLEAVE_BYTES != 0) {
        const std::size_t end = (fill / KIT_INTERLEAVE_BYTES + 1) * KIT_INTERLEAVE_BYTES;
        std::memset(pcm + fill, 0, end - fill);
    }
}
