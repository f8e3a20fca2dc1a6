// Arbitrary delta bytes against a small source. The first bytes of the input
// choose how the decoder is driven; whatever the rest holds, decoding must end
// in a status without a memory fault, and it must not matter how the delta is
// cut into pieces.
//
// Input: options, block size (2 bytes), failing allocation, chunk seed
// (2 bytes), largest piece, then the delta.

#include "fuzz/decode_feed.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr std::size_t PREFIX_BYTES = 7;

// Bits of the options byte.
constexpr unsigned SKIP_CHECKSUM = 0x01; // reach past the Adler-32 of every window
constexpr unsigned NO_SOURCE = 0x02;
constexpr unsigned BLOCK_HOOK = 0x04;
constexpr unsigned NO_PRELOAD = 0x08;
constexpr unsigned FAIL_ALLOCATION = 0x10;
constexpr unsigned WHOLE = 0x20;  // one piece, as the patch driver's small patches come
constexpr unsigned RANGES = 0x40; // long source COPYs as range requests, as the driver takes them

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < PREFIX_BYTES) {
        return 0;
    }
    const unsigned options = data[0];
    FeedOptions feed = {};
    feed.source = (options & NO_SOURCE) != 0 ? nullptr : &fuzz_source();
    feed.block_size = 1 + (usize_t{data[1]} << 8 | data[2]);
    feed.flags = FLAG_ADLER32 | ((options & SKIP_CHECKSUM) != 0 ? FLAG_SKIP_CHECKSUM : 0);
    feed.block_hook = (options & BLOCK_HOOK) != 0;
    feed.preload_block0 = (options & NO_PRELOAD) == 0;
    feed.failing_allocation = (options & FAIL_ALLOCATION) != 0 ? 1 + data[3] % 16 : 0;
    feed.chunk_seed = (options & WHOLE) != 0 ? 0 : 1 + (std::uint64_t{data[4]} << 8 | data[5]);
    feed.max_piece = 1 + data[6];
    feed.fill_minimum = (options & RANGES) != 0 ? 1 + data[6] % 32 : 0;
    // The cut run reuses a source record that an earlier stream left with a
    // request answered; the run in one piece gets a fresh one.
    feed.stale_range = true;

    const unsigned char* delta = data + PREFIX_BYTES;
    const std::size_t delta_size = size - PREFIX_BYTES;
    const FeedResult cut = feed_delta(delta, delta_size, feed, nullptr);
    // Only pieces that split a section need its copy, so a refused
    // allocation may depend on the cut.
    if (cut.stopped_early || cut.status == DECODE_OUT_OF_MEMORY) {
        return 0;
    }

    // The same delta in one piece: the same windows, the same bytes, the
    // same verdict.
    FeedOptions whole = feed;
    whole.chunk_seed = 0;
    whole.failing_allocation = 0;
    whole.stale_range = false;
    const FeedResult one = feed_delta(delta, delta_size, whole, nullptr);
    fuzz_check(one.status == cut.status, "the verdict depends on how the delta is cut");
    fuzz_check(one.windows == cut.windows && one.output_bytes == cut.output_bytes &&
                   one.output_hash == cut.output_hash,
               "the target depends on how the delta is cut");

    // Ranges or blocks: the same target, the same verdict.
    if (feed.fill_minimum != 0) {
        FeedOptions blocks = whole;
        blocks.fill_minimum = 0;
        const FeedResult by_block = feed_delta(delta, delta_size, blocks, nullptr);
        fuzz_check(by_block.status == one.status,
                   "the verdict depends on whether the source comes in ranges");
        fuzz_check(by_block.windows == one.windows && by_block.output_bytes == one.output_bytes &&
                       by_block.output_hash == one.output_hash,
                   "the target depends on whether the source comes in ranges");
    }
    return 0;
}
