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
    cache->buffer = static_cast<unsigned char*>(std::malloc(SOURCE_PAGES * SOURCE_PAGE_BYTES));
    cache->number = static_cast<std::uint64_t*>(std::calloc(SOURCE_PAGES, sizeof(std::uint64_t)));
    return cache->descriptor >= 0 && cache->buffer != nullptr && cache->number != nullptr;
}

void close_source_cache(SourceCache* cache) {
    if (cache->descriptor >= 0) {
        file_close(cache->descriptor);
    }
    std::free(cache->buffer);
    std::free(cache->number);
    *cache = SourceCache{};
    cache->descriptor = -1;
}

void memory_source_cache(SourceCache* cache, const unsigned char* source, std::uint64_t length) {
    *cache = SourceCache{};
    cache->memory = source;
    cache->descriptor = -1;
    cache->length = length;
}

const unsigned char* source_bytes(SourceCache* cache, std::uint64_t position,
                                  std::size_t* available) {
    *available = 0;
    if (position >= cache->length || cache->failed) {
        return nullptr;
    }
    if (cache->memory != nullptr) {
        *available = static_cast<std::size_t>(cache->length - position);
        return cache->memory + position;
    }
    const std::uint64_t page = position / SOURCE_PAGE_BYTES;
    const std::size_t slot = static_cast<std::size_t>(page % SOURCE_PAGES);
    unsigned char* bytes = cache->buffer + slot * SOURCE_PAGE_BYTES;
    const std::uint64_t start = page * SOURCE_PAGE_BYTES;
    const std::uint64_t left = cache->length - start;
    const std::size_t length =
        static_cast<std::size_t>(left < SOURCE_PAGE_BYTES ? left : SOURCE_PAGE_BYTES);
    if (cache->number[slot] != page + 1) {
        std::size_t got = 0;
        if (!read_file_at(cache->descriptor, start, bytes, length, &got) || got != length) {
            // Short: the file is shorter than it was when measured.
            cache->failed = true;
            cache->number[slot] = 0;
            return nullptr;
        }
        cache->number[slot] = page + 1;
    }
    const std::size_t offset = static_cast<std::size_t>(position - start);
    *available = length - offset;
    return bytes + offset;
}
