#include "tools/make_patch/source_file.h"

#include "platform/file.h"

#include <cstdlib>

bool read_file_at(int descriptor, std::uint64_t position, unsigned char* destination,
                  std::size_t length, std::size_t* got) {
    *got = 0;
    if (position > static_cast<std::uint64_t>(INT64_MAX) ||
        file_seek(descriptor, static_cast<std::int64_t>(position)) !=
            static_cast<std::int64_t>(position)) {
        return false;
    }
    while (*got < length) {
        const std::int64_t count = file_read(descriptor, destination + *got, length - *got);
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            break;
        }
        *got += static_cast<std::size_t>(count);
    }
    return true;
}

bool open_source_cache(SourceCache* cache, const char* path, std::uint64_t length) {
    *cache = SourceCache{};
    cache->descriptor = -1;
    cache->length = length;
    if (length == 0) {
        return true;
    }
    cache->descriptor = open_existing_file(path, FILE_READ);
    cache->buffer = static_cast<unsigned char*>(std::malloc(SOURCE_CACHE_BYTES));
    return cache->descriptor >= 0 && cache->buffer != nullptr;
}

void close_source_cache(SourceCache* cache) {
    if (cache->descriptor >= 0) {
        file_close(cache->descriptor);
    }
    std::free(cache->buffer);
    *cache = SourceCache{};
    cache->descriptor = -1;
}

// Reads start on a cache-line boundary before the asked position and end on
// one after it, so that checking a candidate block copies a few lines (on new
// data, about one position in a hundred has a candidate that the check bits
// let through) while a long match is followed in pieces as large as it can
// still use.
static constexpr std::uint64_t READ_ALIGNMENT = 64;

void memory_source_cache(SourceCache* cache, const unsigned char* source, std::uint64_t length) {
    *cache = SourceCache{};
    cache->memory = source;
    cache->descriptor = -1;
    cache->length = length;
}

const unsigned char* source_bytes(SourceCache* cache, std::uint64_t position, std::size_t want,
                                  std::size_t* available) {
    *available = 0;
    if (position >= cache->length || cache->failed) {
        return nullptr;
    }
    if (cache->memory != nullptr) {
        *available = static_cast<std::size_t>(cache->length - position);
        return cache->memory + position;
    }
    if (want > SOURCE_CACHE_BYTES - READ_ALIGNMENT) {
        want = SOURCE_CACHE_BYTES - READ_ALIGNMENT;
    }
    const std::uint64_t left = cache->length - position;
    const std::uint64_t needed = want < left ? want : left;
    if (position < cache->base || position - cache->base + needed > cache->held) {
        const std::uint64_t start = position - position % READ_ALIGNMENT;
        std::uint64_t end = position + needed + READ_ALIGNMENT - 1;
        end -= end % READ_ALIGNMENT;
        if (end - start > SOURCE_CACHE_BYTES) {
            end = start + SOURCE_CACHE_BYTES;
        }
        const std::size_t length = static_cast<std::size_t>(end - start);
        std::size_t got = 0;
        if (!read_file_at(cache->descriptor, start, cache->buffer, length, &got) ||
            (got < length && start + got < cache->length)) {
            cache->failed = true;
            cache->held = 0;
            return nullptr;
        }
        cache->base = start;
        cache->held = got;
        if (position - start >= got) {
            // The file is shorter than it was when measured.
            cache->failed = true;
            return nullptr;
        }
    }
    *available = static_cast<std::size_t>(cache->held - (position - cache->base));
    return cache->buffer + (position - cache->base);
}
