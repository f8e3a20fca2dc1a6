// Arbitrary PS-ADPCM, decoded one sample after another and interleaved as
// stereo, each into a buffer of exactly the size the decoder documents. The
// two layouts must carry the same samples, and neither may write where no
// sample of a whole block belongs.

#include "fuzz/decode_feed.h"
#include "movie/adpcm.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned char UNTOUCHED = 0xA5;

// Blocks decoded before the first whose flag byte ends the stream.
std::uint32_t blocks_decoded(const std::uint8_t* data, std::uint32_t length) {
    const std::uint32_t blocks = length / ADPCM_BLOCK_BYTES;
    for (std::uint32_t i = 0; i < blocks; i++) {
        if (data[i * ADPCM_BLOCK_BYTES + 1] > 6) {
            return i;
        }
    }
    return blocks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint32_t length = static_cast<std::uint32_t>(size);
    const std::uint32_t blocks = length / ADPCM_BLOCK_BYTES;
    const std::uint64_t samples = std::uint64_t{blocks_decoded(data, length)} * ADPCM_BLOCK_SAMPLES;
    const bool whole = blocks_decoded(data, length) == blocks;

    // One sample after another: 2 bytes per sample of every whole block.
    Bytes mono(std::size_t{blocks} * ADPCM_BLOCK_SAMPLES * 2, UNTOUCHED);
    mono.shrink_to_fit();
    unsigned char* mono_out = mono.empty() ? new unsigned char[0] : mono.data();
    const std::int32_t mono_result = decode_ps_adpcm(data, mono_out, length, false);
    if (mono.empty()) {
        delete[] mono_out;
    }

    // Stereo: whole pairs, and one half at least for the zero fill.
    std::uint64_t stereo_bytes = stereo_pcm_bytes(length);
    if (blocks == 0) {
        stereo_bytes = INTERLEAVE_BYTES;
    }
    Bytes stereo(static_cast<std::size_t>(stereo_bytes), UNTOUCHED);
    stereo.shrink_to_fit();
    const std::int32_t stereo_result = decode_ps_adpcm(data, stereo.data(), length, true);

    fuzz_check(mono_result == (whole ? 1 : 0), "wrong result for where the stream ends");
    fuzz_check(stereo_result == mono_result, "stereo and mono disagree on the result");
    for (std::uint64_t i = 0; i < samples; i++) {
        const std::uint64_t left =
            (i * 2) % INTERLEAVE_BYTES + (i * 2) / INTERLEAVE_BYTES * STEREO_PAIR_BYTES;
        fuzz_check(std::memcmp(&stereo[left], &mono[i * 2], 2) == 0, "left channel differs");
        fuzz_check(std::memcmp(&stereo[left + INTERLEAVE_BYTES], &mono[i * 2], 2) == 0,
                   "right channel differs");
    }
    for (std::size_t i = static_cast<std::size_t>(samples * 2); i < mono.size(); i++) {
        fuzz_check(mono[i] == UNTOUCHED, "mono output written past the last decoded sample");
    }
    // Right halves hold samples and nothing else; only left halves are padded.
    for (std::size_t pair = 0; pair < stereo.size() / STEREO_PAIR_BYTES; pair++) {
        for (std::uint64_t j = 0; j < INTERLEAVE_BYTES; j += 2) {
            const std::uint64_t sample = pair * (INTERLEAVE_BYTES / 2) + j / 2;
            if (sample >= samples) {
                fuzz_check(stereo[pair * STEREO_PAIR_BYTES + INTERLEAVE_BYTES + j] == UNTOUCHED,
                           "right half written where no sample belongs");
            }
        }
    }
    return 0;
}
