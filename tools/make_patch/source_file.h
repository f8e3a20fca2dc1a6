#pragma once

// Positioned reads of the source, and a small window of it kept in memory.
// The source is never mapped or read whole: a disc image can be larger than
// the address space of the 32-bit build, and every mapped page touched would
// count as the tool's own memory.

#include <cstddef>
#include <cstdint>

// Reads up to length bytes at position into destination; *got is short only
// at the end of the file. false when positioning or reading fails.
bool read_file_at(int descriptor, std::uint64_t position, unsigned char* destination,
                  std::size_t length, std::size_t* got);

// Pieces of the source in memory, read on demand around the bytes the match
// finder asks for. The finder checks candidates all over the source between
// the matches it follows, so the pieces are small and many: a check costs
// one short read, and the place a run of matches goes on from stays held.
struct SourceCache {
    const unsigned char* memory; // not null: the whole source is here, no file
    int descriptor;
    std::uint64_t length;  // of the whole source
    unsigned char* buffer; // SOURCE_PAGES pages of SOURCE_PAGE_BYTES
    std::uint64_t* number; // page held by each slot, + 1; 0: none
    bool failed;           // a read failed: the source cannot be trusted any more
};

// A page of the source goes to the slot its number gives modulo SOURCE_PAGES,
// so that a long copy fills the slots in turn.
constexpr std::size_t SOURCE_PAGE_BYTES = 8192;
constexpr std::size_t SOURCE_PAGES = 256;

// false when the file cannot be opened or the buffer not allocated.
bool open_source_cache(SourceCache* cache, const char* path, std::uint64_t length);
void close_source_cache(SourceCache* cache);

// A cache over a source held in memory, for the fuzz target.
void memory_source_cache(SourceCache* cache, const unsigned char* source, std::uint64_t length);

// Source bytes from position on, to the end of its page at least (or of the
// source); null at or past the end or when a read fails (then
// cache->failed). *available counts the bytes at the pointer, which stays
// valid until the next call.
const unsigned char* source_bytes(SourceCache* cache, std::uint64_t position,
                                  std::size_t* available);
