#pragma once

// The match finder: turns one target window into ADDs, RUNs, COPYs from
// anywhere in the source and COPYs of the window's own earlier bytes
// (overlapping ones included).
//
// Greedy, one pass: where no match is running, every position's rolling hash
// is looked up in the source index and in the window's own index of the
// unmatched blocks seen so far; a candidate is verified and extended with
// word compares, forwards to where it stops and backwards over bytes that
// were to be added or that earlier instructions cover, and the scan then
// jumps past it. Bytes inside long matches are never hashed.

#include "tools/make_patch/source_file.h"
#include "tools/make_patch/source_index.h"
#include "tools/vcdiff/encoder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct Matcher {
    const SourceIndex* index;
    SourceCache* source;
    // As in the source index: 0 for none, else check bits of the hash above
    // target_number_mask and the window's block number + 1 within it. Without
    // the check bits, new data would find a slot taken at nearly every byte
    // and compare against a random place in the window.
    std::vector<std::uint32_t> target_slots;
    unsigned target_bits;
    std::uint32_t target_number_mask;
};

// Sizes the window's own index for windows of up to window_bytes.
void init_matcher(Matcher* matcher, const SourceIndex* index, SourceCache* source,
                  std::uint64_t window_bytes);

// Plans target[0, length). The ops cover it in order, without gaps. A failed
// source read leaves matcher->source->failed set.
void plan_window(Matcher* matcher, const unsigned char* target, std::size_t length,
                 std::vector<PlannedOp>* plan);
