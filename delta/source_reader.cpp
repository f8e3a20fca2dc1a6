#include "delta/source_reader.h"

#include "delta/driver.h"
#include "platform/file.h"

#include <cstdint>
#include <cstdlib>

// Copies of this many source bytes and more are read straight into the
// target window: through a block buffer they would cost one more pass over
// memory that is no longer in the cache.
static constexpr usize_t DIRECT_COPY_BYTES = 2 * SOURCE_BLOCK_SIZE;

// Shorter copies come block by block, and a block not in hand is read
// together with the blocks after it that the same copy needs (the decoder
// says how far it reaches), in one system call. Such a copy spans at most
// three blocks; a fourth lets the next short copy nearby find its bytes too.
static constexpr usize_t READ_AHEAD_BLOCKS = 4;
static constexpr std::size_t READ_AHEAD_BYTES = READ_AHEAD_BLOCKS * SOURCE_BLOCK_SIZE;
static_assert(DIRECT_COPY_BYTES - 1 + SOURCE_BLOCK_SIZE - 1 < READ_AHEAD_BYTES,
              "every copy that comes block by block fits the read-ahead");

// Marks a source position that is not known (after a failed read), so that
// the next read always seeks.
static constexpr std::uint64_t UNKNOWN_POSITION = ~static_cast<std::uint64_t>(0);

// Reads up to length source bytes from position into destination, seeking
// only when the last read stopped elsewhere. *got is short only at the end
// of the file.
static std::int32_t read_source(SourceReader* file, std::uint64_t position,
                                unsigned char* destination, std::size_t length, std::size_t* got) {
    *got = 0;
    if (position != file->position) {
        if (position > static_cast<std::uint64_t>(INT64_MAX) ||
            file_seek(file->descriptor, static_cast<std::int64_t>(position)) !=
                static_cast<std::int64_t>(position)) {
            file->position = UNKNOWN_POSITION;
            return PATCH_SOURCE_UNUSABLE;
        }
    }
    while (*got < length) {
        const std::int64_t count = file_read(file->descriptor, destination + *got, length - *got);
        if (count < 0) {
            file->position = UNKNOWN_POSITION;
            return PATCH_SOURCE_UNUSABLE;
        }
        if (count == 0) {
            break;
        }
        *got += static_cast<std::size_t>(count);
    }
    file->position = position + *got;
    return 0;
}

// Reads blocks first_block to last_block (at most READ_AHEAD_BLOCKS of them)
// into the read-ahead buffer. Past the end of the file fewer bytes, or none,
// are held; that is for the decoder to judge.
static std::int32_t read_source_blocks(SourceReader* file, usize_t first_block,
                                       usize_t last_block) {
    usize_t blocks = READ_AHEAD_BLOCKS;
    if (last_block >= first_block && last_block - first_block < READ_AHEAD_BLOCKS) {
        blocks = last_block - first_block + 1;
    }
    file->held_bytes = 0;
    std::size_t held = 0;
    // Block numbers come from offsets that fit 64 bits, so this cannot wrap.
    const std::int32_t result =
        read_source(file, first_block * SOURCE_BLOCK_SIZE, file->buffer,
                    static_cast<std::size_t>(blocks * SOURCE_BLOCK_SIZE), &held);
    if (result != 0) {
        return result;
    }
    file->first_block = first_block;
    file->held_bytes = held;
    return 0;
}

// Reads the source range the decoder asked for straight into the target
// window (at most HARD_MAX_WINDOW bytes, as the range lies inside it). Past
// the end of the file fewer bytes arrive; the decoder judges.
static std::int32_t fill_source_range(SourceReader* file, DeltaSource* source) {
    std::size_t got = 0;
    const std::int32_t result = read_source(file, source->fill_position, source->fill_destination,
                                            static_cast<std::size_t>(source->fill_length), &got);
    source->filled_length = got;
    return result;
}

// Points the decoder at the block it asked for, reading it (and the rest of
// its copy) first unless the read-ahead buffer holds it already.
static std::int32_t load_source_block(SourceReader* file, DeltaSource* source) {
    const usize_t block_number = source->requested_block_number;
    const usize_t held_blocks = (file->held_bytes + SOURCE_BLOCK_SIZE - 1) / SOURCE_BLOCK_SIZE;
    if (block_number < file->first_block || block_number - file->first_block >= held_blocks) {
        const std::int32_t result =
            read_source_blocks(file, block_number, source->requested_last_block);
        if (result != 0) {
            return result;
        }
    }
    const usize_t offset = (block_number - file->first_block) * SOURCE_BLOCK_SIZE;
    const usize_t rest = file->held_bytes > offset ? file->held_bytes - offset : 0;
    // A short block is the end of the source: the last block, or none past it.
    source->current_block = file->buffer + offset;
    source->current_block_number = block_number;
    source->block_bytes = rest < SOURCE_BLOCK_SIZE ? rest : SOURCE_BLOCK_SIZE;
    return 0;
}

std::int32_t start_source_reader(SourceReader* reader, int descriptor, DeltaStream* stream,
                                 DeltaSource* source) {
    reader->descriptor = descriptor;
    reader->stream = stream;
    reader->advised_windows = 0;
    reader->buffer = static_cast<unsigned char*>(std::malloc(READ_AHEAD_BYTES));
    if (reader->buffer == nullptr) {
        return DECODE_OUT_OF_MEMORY;
    }
    // Rewinding proves the source can be positioned at all; a stat of the
    // file would tell nothing more that the block reads need.
    reader->position = UNKNOWN_POSITION;
    const std::int32_t result = read_source_blocks(reader, 0, 0);
    if (result != 0) {
        return result;
    }
    source->block_size = SOURCE_BLOCK_SIZE;
    source->current_block = reader->buffer;
    source->current_block_number = 0;
    source->block_bytes = reader->held_bytes;
    source->fill_minimum = DIRECT_COPY_BYTES;
    set_source(stream, source);
    return 0;
}

std::int32_t read_requested_source(SourceReader* reader, DeltaSource* source) {
    // The first request of a window tells the file where the window copies
    // from: its source segment, named in the window header.
    const DeltaStream* stream = reader->stream;
    if (stream != nullptr && reader->advised_windows <= stream->current_window) {
        reader->advised_windows = stream->current_window + 1;
        advise_file_reads(reader->descriptor, stream->copy_window_offset,
                          stream->copy_window_length);
    }
    return source->fill_length != 0 ? fill_source_range(reader, source)
                                    : load_source_block(reader, source);
}

void close_source_reader(SourceReader* reader) {
    std::free(reader->buffer);
    reader->buffer = nullptr;
    if (reader->descriptor >= 0) {
        file_close(reader->descriptor);
        reader->descriptor = -1;
    }
}
