#pragma once

// The index of the whole source: one table entry for the MATCH_BLOCK bytes at
// every multiple of the step, found by their hash. An entry holds the block
// number and, in the bits the number leaves free, more bits of the hash, so
// that most lookups that would only find a different block stop without
// reading the source.
//
// The step is as fine as a table of 2^25 entries allows, up to 32 bytes: 4
// bytes for a source of up to 128 MiB, twice that for every doubling above,
// 32 from 1 GiB on (where the table grows to its largest, 2^26 entries, and
// then shares slots). Every match of MATCH_BLOCK + step - 1 bytes holds an
// indexed block, so a small source's short shared runs are found from the
// index. Only text is indexed at every step (source_index.cpp).

#include "tools/make_patch/block_hash.h"

#include <cstdint>

struct SourceIndex {
    std::uint32_t* slots; // 0: empty; else check bits above index_bits, block + 1 below
    unsigned slot_bits;   // the table has 2^slot_bits entries
    unsigned index_bits;  // bits for block + 1
    unsigned step_bits;   // blocks start at multiples of 2^step_bits
    std::uint64_t blocks;
};

// At most 2^26 entries (256 MiB). Blocks that share a slot keep the first
// one; the blocks around one that lost its slot are still found.
constexpr unsigned MAX_SLOT_BITS = 26;

// The finest and the coarsest step, and the most blocks before the step
// doubles.
constexpr unsigned MIN_STEP_BITS = 2;
constexpr unsigned MAX_STEP_BITS = 5;
constexpr std::uint64_t FINE_INDEX_BLOCKS = std::uint64_t{1} << 25;

// Largest source the entries can number (about 128 GiB): block + 1 must fit
// 32 bits.
constexpr std::uint64_t MAX_INDEXED_SOURCE = ((std::uint64_t{1} << 32) - 2) << MAX_STEP_BITS;

// The step, as a power of two, for a source of length bytes.
unsigned index_step_bits(std::uint64_t length);

// Reads the source at path (length bytes) and indexes it on two threads,
// which take its 4 MiB pieces in turn. Of blocks with the same slot the first one stays, so the
// result does not depend on which thread came first. false with a static English reason when the
// source cannot be read.
bool build_source_index(const char* path, std::uint64_t length, SourceIndex* index,
                        const char** reason);
void free_source_index(SourceIndex* index);

// The same for a source in memory, on one thread (for the fuzz target).
bool index_source_memory(const unsigned char* source, std::uint64_t length, SourceIndex* index);

inline void prefetch_source_slot(const SourceIndex& index, std::uint64_t hash) {
    if (index.slots != nullptr) {
        __builtin_prefetch(&index.slots[mix_hash(hash) >> (64 - index.slot_bits)]);
    }
}

// The position of a source block that may hold the bytes of this (unmixed)
// hash; false when the index has none.
inline bool find_source_block(const SourceIndex& index, std::uint64_t hash,
                              std::uint64_t* position) {
    if (index.slots == nullptr) {
        return false;
    }
    const std::uint64_t mixed = mix_hash(hash);
    const std::uint32_t entry = index.slots[mixed >> (64 - index.slot_bits)];
    const std::uint32_t number_mask =
        index.index_bits >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << index.index_bits) - 1;
    if (entry == 0 ||
        (entry & ~number_mask) != (static_cast<std::uint32_t>(mixed) & ~number_mask)) {
        return false;
    }
    *position = std::uint64_t{(entry & number_mask) - 1} << index.step_bits;
    return true;
}
