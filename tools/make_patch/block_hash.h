#pragma once

// The hash of MATCH_BLOCK bytes that both indexes and the match finder use:
// a polynomial in HASH_BASE, so that the hash at the next position follows
// from the one before in two multiplications.

#include <cstdint>

// Bytes hashed. A match is found from the index when it holds a whole block
// at one of the indexed positions; how far apart those lie is the source
// index's own choice (source_index.h). Text shares runs of a few dozen bytes
// between changed words, so the block is short; much shorter and common
// phrases would find the wrong place in the source more often than the right.
constexpr unsigned MATCH_BLOCK = 16;

constexpr std::uint64_t HASH_BASE = 0x100000001B3u;

struct HashPowers {
    std::uint64_t power[MATCH_BLOCK]; // power[i] = HASH_BASE^(MATCH_BLOCK - 1 - i)
};

constexpr HashPowers make_hash_powers() {
    HashPowers powers{};
    std::uint64_t value = 1;
    for (unsigned i = MATCH_BLOCK; i-- > 0;) {
        powers.power[i] = value;
        value *= HASH_BASE;
    }
    return powers;
}

constexpr HashPowers HASH_POWERS = make_hash_powers();

// Hash of bytes[0, MATCH_BLOCK). The products are independent of each other,
// so this runs far faster than the rolling form over the same bytes.
inline std::uint64_t hash_block(const unsigned char* bytes) {
    std::uint64_t hash = 0;
    for (unsigned i = 0; i < MATCH_BLOCK; i++) {
        hash += bytes[i] * HASH_POWERS.power[i];
    }
    return hash;
}

// From the hash of bytes[p, p + MATCH_BLOCK) to that of bytes[p + 1, ...).
inline std::uint64_t roll_hash(std::uint64_t hash, unsigned char leaving, unsigned char entering) {
    return (hash - leaving * HASH_POWERS.power[0]) * HASH_BASE + entering;
}

// The polynomial's low bits depend only on the bytes' low bits; the table
// slots and check bits come from a mixed form.
inline std::uint64_t mix_hash(std::uint64_t hash) {
    hash ^= hash >> 29;
    return hash * 0x9E3779B97F4A7C15u;
}
