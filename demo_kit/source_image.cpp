#include "demo_kit/source_image.h"

#include "platform/file.h"
#include "tests/support/random/random.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

static constexpr std::uint64_t CELL_BYTES = 262144;
static constexpr std::size_t CHUNK_BYTES = 4096;
// Cells 0 to 5552 cover the image (the last one partly); chunk number
// CELL_COUNT is the image's final 4 KiB, so that the image ends in data.
static constexpr std::uint64_t CELL_COUNT = (KIT_SOURCE_SIZE + CELL_BYTES - 1) / CELL_BYTES;
static constexpr std::uint64_t FINAL_CHUNK_OFFSET = KIT_SOURCE_SIZE - CHUNK_BYTES;

// Where chunk number chunk lies; false when a cell has none (the last cell,
// whose slot would run into the final chunk).
static bool chunk_offset(std::uint64_t chunk, std::uint64_t* offset) {
    if (chunk == CELL_COUNT) {
        *offset = FINAL_CHUNK_OFFSET;
        return true;
    }
    // A different 4 KiB slot in each cell, so that the data falls into
    // different source blocks; no slot meets a signature.
    const std::uint64_t slot = (chunk * 37 + 11) % (CELL_BYTES / CHUNK_BYTES);
    *offset = chunk * CELL_BYTES + slot * CHUNK_BYTES;
    return *offset + CHUNK_BYTES <= FINAL_CHUNK_OFFSET;
}

static void chunk_bytes(std::uint64_t chunk, unsigned char* out) {
    std::uint64_t state = 0x5EED000000000000ull ^ chunk;
    for (std::size_t i = 0; i < CHUNK_BYTES; i += 8) {
        const std::uint64_t value = next_random(&state);
        for (std::size_t k = 0; k < 8; ++k) {
            out[i + k] = static_cast<unsigned char>(value >> (8 * k));
        }
    }
}

// Copies the part of [start, start + size) that lies in the requested range.
static void overlay(std::uint64_t start, const unsigned char* bytes, std::size_t size,
                    std::uint64_t offset, unsigned char* out, std::size_t length) {
    const std::uint64_t begin = start > offset ? start : offset;
    const std::uint64_t end = start + size < offset + length ? start + size : offset + length;
    if (begin < end) {
        std::memcpy(out + (begin - offset), bytes + (begin - start), end - begin);
    }
}

static void overlay_chunk(std::uint64_t chunk, std::uint64_t offset, unsigned char* out,
                          std::size_t length) {
    std::uint64_t start = 0;
    if (!chunk_offset(chunk, &start) || start >= offset + length || start + CHUNK_BYTES <= offset) {
        return;
    }
    unsigned char bytes[CHUNK_BYTES];
    chunk_bytes(chunk, bytes);
    overlay(start, bytes, CHUNK_BYTES, offset, out, length);
}

void kit_source_bytes(std::uint64_t offset, unsigned char* out, std::size_t length) {
    std::memset(out, 0, length);
    if (length == 0 || offset >= KIT_SOURCE_SIZE) {
        return;
    }
    const std::uint64_t last = (offset + length - 1) / CELL_BYTES;
    for (std::uint64_t cell = offset / CELL_BYTES; cell <= last && cell < CELL_COUNT; ++cell) {
        overlay_chunk(cell, offset, out, length);
    }
    overlay_chunk(CELL_COUNT, offset, out, length);
    overlay(KIT_BOOT_SIGNATURE_OFFSET, reinterpret_cast<const unsigned char*>(KIT_BOOT_SIGNATURE),
            sizeof KIT_BOOT_SIGNATURE - 1, offset, out, length);
    overlay(KIT_SECOND_SIGNATURE_OFFSET,
            reinterpret_cast<const unsigned char*>(KIT_SECOND_SIGNATURE),
            sizeof KIT_SECOND_SIGNATURE - 1, offset, out, length);
    // Beyond the image there is nothing.
    if (offset + length > KIT_SOURCE_SIZE) {
        std::memset(out + (KIT_SOURCE_SIZE - offset), 0, offset + length - KIT_SOURCE_SIZE);
    }
}

static bool write_at(std::FILE* file, std::uint64_t offset, const void* bytes, std::size_t size) {
    return stream_seek(file, offset) == 0 && std::fwrite(bytes, 1, size, file) == size;
}

bool kit_write_source_image(const char* path) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = true;
    unsigned char bytes[CHUNK_BYTES];
    for (std::uint64_t chunk = 0; chunk <= CELL_COUNT && ok; ++chunk) {
        std::uint64_t start = 0;
        if (chunk_offset(chunk, &start)) {
            chunk_bytes(chunk, bytes);
            ok = write_at(file, start, bytes, CHUNK_BYTES);
        }
    }
    ok = ok && write_at(file, KIT_BOOT_SIGNATURE_OFFSET, KIT_BOOT_SIGNATURE,
                        sizeof KIT_BOOT_SIGNATURE - 1);
    ok = ok && write_at(file, KIT_SECOND_SIGNATURE_OFFSET, KIT_SECOND_SIGNATURE,
                        sizeof KIT_SECOND_SIGNATURE - 1);
    if (std::fclose(file) != 0) {
        ok = false;
    }
    if (!ok) {
        return false;
    }
    // The final chunk already ends the file there; the size is set anyway so
    // that the length never depends on where the data lies.
    std::error_code error;
    std::filesystem::resize_file(path, KIT_SOURCE_SIZE, error);
    return !error && std::filesystem::file_size(path, error) == KIT_SOURCE_SIZE && !error;
}
