#pragma once

// Drives one decoding for the fuzz targets the way the patch driver would,
// but with every choice open: pieces of any length, any block size, blocks
// through the hook or through DECODE_NEED_SOURCE_BLOCK, and an allocation
// that fails on request. Every piece and every block lives in a heap buffer
// of exactly its length, so that AddressSanitizer catches a read past it or
// of a piece already handed back.

#include "delta/stream.h"
#include "tests/support/random/random.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct FeedOptions {
    const Bytes* source;              // null: no source attached
    usize_t block_size;               // before set_source rounds it
    std::uint32_t flags;              // FLAG_* for the stream
    bool block_hook;                  // blocks through DeltaConfig::getblk
    bool preload_block0;              // load block 0 before the first call, as the driver does
    std::uint64_t chunk_seed;         // 0: the whole delta in one piece
    usize_t max_piece;                // largest piece when cutting (at least 1)
    std::uint32_t failing_allocation; // 0: none; n: the n-th allocation returns null
    usize_t fill_minimum;             // DeltaSource::fill_minimum: long COPYs as ranges
    bool stale_range; // the DeltaSource comes with an earlier stream's answered range request
};

// The output is kept as a length and a hash: a few delta bytes may ask for
// gigabytes of target, which need not be held to be compared.
struct FeedResult {
    std::int32_t status;       // first failure, or close_stream's result
    std::uint64_t output_hash; // FNV-1a of every window handed out
    std::uint64_t output_bytes;
    std::uint64_t windows;
    bool stopped_early; // output budget reached; status and hash are partial
};

// Largest target a fuzz run decodes before it stops counting.
constexpr std::uint64_t FEED_OUTPUT_BUDGET = std::uint64_t{256} << 20;

// Largest single allocation the decoder is granted: above a window's target
// buffer (HARD_MAX_WINDOW), far below libFuzzer's limit for one allocation
// (2 GiB), which a refused request would otherwise count as a finding.
constexpr std::uint64_t FEED_ALLOCATION_LIMIT = std::uint64_t{256} << 20;

// Decodes delta and aborts the process (a finding for the fuzzer) when the
// decoder loops or breaks its calling rules. When output is not null, the
// target is also collected there (for deltas known to be small).
FeedResult feed_delta(const unsigned char* delta, std::size_t size, const FeedOptions& options,
                      Bytes* output);

// Aborts with message when condition is false.
void fuzz_check(bool condition, const char* message);

// The source every decoder input is decoded against: 5,000 bytes, with a
// repeated stretch so that deltas have something to copy from more than one
// place. Not a whole number of any block size above 8, so that last blocks
// are short.
const Bytes& fuzz_source();
