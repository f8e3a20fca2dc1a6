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

// A stretch of the source in memory, refilled on demand around the bytes the
// match finder asks for.
struct SourceCache {
    const unsigned char* memory; // not null: the whole source is here, no file
    int descriptor;
    std::uint64_t length;  // of the whole source
    unsigned char* buffer; // SOURCE_CACHE_BYTES
    std::uint64_t base;    // source position of buffer[0]
    std::size_t held;      // valid bytes from base on
    bool failed;           // a read failed: the source cannot be trusted any more
};

// The most bytes one call hands out.
constexpr std::size_t SOURCE_CACHE_BYTES = std::size_t{1} << 20;

// false when the file cannot be opened or the buffer not allocated.
bool open_source_cache(SourceCache* cache, const char* path, std::uint64_t length);
void close_source_cache(SourceCache* cache);

// A cache over a source held in memory, for the fuzz target.
void memory_source_cache(SourceCache* cache, const unsigned char* source, std::uint64_t length);

// Source bytes from position on: at least min(want, SOURCE_CACHE_BYTES) of
// them unless the source ends first or a read fails (then cache->failed).
// *available counts the bytes at the pointer, which stays valid until the
// next call.
const unsigned char* source_bytes(SourceCache* cache, std::uint64_t position, std::size_t want,
                                  std::size_t* available);
