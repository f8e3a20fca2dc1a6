// Arbitrary source and target bytes, encoded with our encoder under options
// the input chooses, must decode back to the target, fed in pieces. With
// MAKE_PATCH_CORE the encoder is make-patch's: its source index, match
// finder and window emission, in windows of the chosen size.
//
// Input: options, window size, match block, style seed, preferred mode,
// shortest run, block size, chunk seed, source length (2 bytes), then the
// source and the target.

#include "fuzz/decode_feed.h"
#include "tests/support/vcdiff/encoder.h"
#include "tools/make_patch/match.h"
#include "tools/make_patch/source_index.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr std::size_t PREFIX_BYTES = 10;

// Bits of the options byte.
constexpr unsigned WITH_CHECKSUM = 0x01;
constexpr unsigned EXPLICIT_SIZES = 0x02;
constexpr unsigned WHOLE_SEGMENT = 0x04;
constexpr unsigned APP_HEADER = 0x08;
constexpr unsigned RANDOM_CODES = 0x10;
constexpr unsigned LARGE_WINDOWS = 0x20;
constexpr unsigned MAKE_PATCH_CORE = 0x40;

// make-patch's encoder on the whole input, windows of window_size bytes.
bool encode_with_make_patch(const Bytes& source, const Bytes& target, std::uint64_t window_size,
                            bool with_checksum, Bytes* delta) {
    SourceIndex index;
    if (!index_source_memory(source.data(), source.size(), &index)) {
        return false;
    }
    SourceCache cache;
    memory_source_cache(&cache, source.data(), source.size());
    Matcher matcher;
    // Sized for the windows this input has, not for the largest allowed.
    init_matcher(&matcher, &index, &cache,
                 window_size < target.size() ? window_size : target.size());
    vcdiff_write_header(delta, nullptr, 0);
    std::vector<PlannedOp> plan;
    std::vector<VcdiffInstruction> scratch;
    VcdiffEncodeOptions encoding = {};
    encoding.with_checksum = with_checksum;
    bool encoded = true;
    for (std::size_t offset = 0; encoded && offset < target.size(); offset += window_size) {
        const std::size_t length = target.size() - offset < window_size
                                       ? target.size() - offset
                                       : static_cast<std::size_t>(window_size);
        plan_window(&matcher, target.data() + offset, length, &plan);
        encoded = vcdiff_write_planned_window(delta, plan, target.data() + offset, length,
                                              source.size(), encoding, &scratch);
    }
    free_source_index(&index);
    return encoded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < PREFIX_BYTES) {
        return 0;
    }
    const unsigned options = data[0];
    std::size_t source_length = std::size_t{data[8]} << 8 | data[9];
    if (source_length > size - PREFIX_BYTES) {
        source_length = size - PREFIX_BYTES;
    }
    const Bytes source(data + PREFIX_BYTES, data + PREFIX_BYTES + source_length);
    const Bytes target(data + PREFIX_BYTES + source_length, data + size);

    VcdiffEncodeOptions encode = {};
    encode.window_size = (options & LARGE_WINDOWS) != 0 ? VCDIFF_MAX_WINDOW : 1 + data[1] * 16u;
    encode.with_checksum = (options & WITH_CHECKSUM) != 0;
    static const unsigned char APPLICATION[] = "fuzz/header";
    if ((options & APP_HEADER) != 0) {
        encode.app_header = APPLICATION;
        encode.app_header_length = 1 + data[3] % (sizeof APPLICATION - 1);
    }
    encode.match_block = 1 + data[2] % 64;
    encode.style.seed = (options & RANDOM_CODES) != 0 ? 1 + std::uint64_t{data[3]} : 0;
    encode.style.prefer_mode = data[4] % 10;
    encode.style.explicit_sizes_only = (options & EXPLICIT_SIZES) != 0;
    encode.min_run = data[5];
    encode.whole_source_segment = (options & WHOLE_SEGMENT) != 0;

    Bytes delta;
    const bool encoded =
        (options & MAKE_PATCH_CORE) != 0
            ? encode_with_make_patch(source, target, encode.window_size, encode.with_checksum,
                                     &delta)
            : vcdiff_encode(source.empty() ? nullptr : source.data(), source.size(),
                            target.empty() ? nullptr : target.data(), target.size(), encode,
                            &delta);
    fuzz_check(encoded, "the encoder refused valid options");

    FeedOptions feed = {};
    feed.source = &source;
    feed.block_size = usize_t{1} << (data[6] % 15);
    feed.flags = FLAG_ADLER32;
    feed.preload_block0 = true;
    feed.chunk_seed = 1 + data[7];
    feed.max_piece = 1 + data[7] % 64;
    Bytes output;
    const FeedResult result = feed_delta(delta.data(), delta.size(), feed, &output);
    fuzz_check(result.status == 0, "our own delta does not decode");
    fuzz_check(output == target, "our own delta decodes to something else");
    return 0;
}
