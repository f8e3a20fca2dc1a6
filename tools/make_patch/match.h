#pragma once

// The match finder: turns one target window into ADDs, RUNs, COPYs from
// anywhere in the source and COPYs of the window's own earlier bytes
// (overlapping ones included).
//
// Greedy, one pass: where no match is running, every position's rolling hash
// is looked up in the source index and in the window's own index of the
// unmatched blocks seen so far. For a while after the last copy from the
// source ends, and after the last one from the window, each position's 4
// bytes are also looked up among the next bytes of that side: a translation
// keeps the text in order, so the next shared run starts a word or two past
// the last one, often too short for the indexes to find. A candidate is
// verified and extended with word compares, forwards to where it stops and
// backwards over bytes that were to be added or that earlier instructions
// cover, and the scan then jumps past it. Bytes inside long matches are never
// hashed.
//
// Of the candidates at one place the one that saves the most patch bytes
// wins, and one that saves none is left to the ADD: what a COPY costs comes
// from the default code table (is its size in the code, does it pair with
// the ADD before it) and from a mirror of the decoder's address cache (a
// COPY that starts near a recent one, or at the same address, costs a byte
// or two of address instead of a whole position). When a match extended
// backwards takes earlier COPYs out of the plan, the mirror forgets them.

#include "tools/make_patch/source_file.h"
#include "tools/make_patch/source_index.h"
#include "tools/vcdiff/window_writer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The largest ADD and COPY sizes of the pairs the cost model looks at; the
// default table's pairs are smaller.
constexpr std::size_t PAIR_ADD_SIZES = 8;
constexpr std::size_t PAIR_COPY_SIZES = 16;

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
    // From the default code table: sizes below 256 that a single COPY of each
    // address mode, or a single ADD, carries in its code; and the ADD+COPY
    // pairs, by ADD size (below PAIR_ADD_SIZES), mode and COPY size (below
    // PAIR_COPY_SIZES).
    bool copy_size_in_code[DEFAULT_MODES][256];
    bool add_size_in_code[256];
    bool add_copy_pair[PAIR_ADD_SIZES][DEFAULT_MODES][PAIR_COPY_SIZES];
};

// Sizes the window's own index for windows of up to window_bytes.
void init_matcher(Matcher* matcher, const SourceIndex* index, SourceCache* source,
                  std::uint64_t window_bytes);

// Bytes of instruction and address a COPY of size bytes from a window
// address whose mode costs address_bytes takes, when pending_add bytes of
// ADD come just before it (0: none). The ADD's own code byte is not counted.
std::size_t copy_cost(const Matcher& matcher, unsigned mode, std::size_t address_bytes,
                      std::uint64_t size, std::uint64_t pending_add);

// Plans target[0, length). The ops cover it in order, without gaps. A failed
// source read leaves matcher->source->failed set.
void plan_window(Matcher* matcher, const unsigned char* target, std::size_t length,
                 std::vector<PlannedOp>* plan);
