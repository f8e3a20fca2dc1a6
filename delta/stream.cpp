#include "delta/stream.h"
#include "delta/internal.h"

#include <cstdlib>
#include <cstring>

namespace {

void* default_alloc(void* opaque, std::uint32_t count, usize_t size) {
    (void)opaque;
    // The hook's count is 32 bits wide; a product that does not fit 32 bits
    // either is refused instead of being cut down to a smaller block.
    const usize_t bytes = usize_t{count} * (size & 0xFFFFFFFFu);
    if (bytes > 0xFFFFFFFFu) {
        return nullptr;
    }
    return std::malloc(static_cast<std::size_t>(bytes));
}

void default_free(void* opaque, void* pointer) {
    (void)opaque;
    std::free(pointer);
}

bool is_power_of_two(usize_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

void release(DeltaStream* stream, void* pointer) {
    if (pointer != nullptr) {
        stream->free(stream->opaque, pointer);
    }
}

std::int32_t check_configuration(DeltaStream* stream) {
    if (!is_power_of_two(ALLOCATION_UNIT)) {
        stream->message = "incorrect compilation: wrong integer sizes";
        return DECODE_INTERNAL;
    }

    switch (stream->flags & (FLAG_SECONDARY_DJW | FLAG_SECONDARY_FGK | FLAG_SECONDARY_LZMA)) {
    case 0:
        if ((stream->flags & (FLAG_SECONDARY_NO_DATA | FLAG_SECONDARY_NO_INSTRUCTIONS |
                              FLAG_SECONDARY_NO_ADDRESSES)) != 0) {
            stream->message = "SEC flags require a secondary compressor type";
            return DECODE_INTERNAL;
        }
        break;
    case FLAG_SECONDARY_FGK:
        stream->message = "unavailable secondary compressor: FGK Adaptive Huffman";
        return DECODE_INTERNAL;
    case FLAG_SECONDARY_DJW:
        stream->message = "unavailable secondary compressor: DJW Static Huffman";
        return DECODE_INTERNAL;
    case FLAG_SECONDARY_LZMA:
        stream->message = "unavailable secondary compressor: LZMA";
        return DECODE_INTERNAL;
    default:
        stream->message = "too many secondary compressor types set";
        return DECODE_INTERNAL;
    }

    if (!is_power_of_two(stream->sprevsz)) {
        stream->message = "sprevsz is required to be a power of two";
        return DECODE_INTERNAL;
    }
    return 0;
}

} // namespace

std::int32_t configure_stream(DeltaStream* stream, const DeltaConfig* config) {
    const DeltaConfig defaults = {};
    if (config == nullptr) {
        config = &defaults;
    }
    std::memset(stream, 0, sizeof *stream);

    stream->window_size = config->window_size != 0 ? config->window_size : DEFAULT_WINDOW_SIZE;
    stream->sprevsz = config->sprevsz != 0 ? config->sprevsz : DEFAULT_SPREVSZ;
    stream->getblk = config->getblk;
    stream->alloc = config->alloc != nullptr ? config->alloc : default_alloc;
    stream->free = config->free != nullptr ? config->free : default_free;
    stream->opaque = config->opaque;
    stream->flags = config->flags;

    // A refused configuration must not decode anything afterwards, even when
    // the caller does not look at this result.
    const std::int32_t status = check_configuration(stream);
    stream->failed_status = status;
    return status;
}

std::int32_t set_source(DeltaStream* stream, DeltaSource* source) {
    stream->source = source;
    // A record used by an earlier stream may still hold a range request,
    // answered or not; taken as this stream's, it would pass off whatever
    // its target buffer holds as source bytes.
    clear_source_range(source);

    usize_t size = source->block_size;
    if (size == 0) {
        size = 1;
    } else if (!is_power_of_two(size)) {
        // Round up to the next power of two; above 2^63 there is none, so
        // such a size comes down to 2^63 instead of wrapping to 0.
        usize_t rounded = 1;
        while (rounded < size && rounded < (usize_t{1} << 63)) {
            rounded <<= 1;
        }
        size = rounded;
    }
    source->block_size = size;

    usize_t shift = 0;
    while ((usize_t{1} << shift) < size) {
        shift++;
    }
    source->block_shift = shift;
    source->block_mask = size - 1;
    return 0;
}

void clear_source_range(DeltaSource* source) {
    source->fill_destination = nullptr;
    source->fill_position = 0;
    source->fill_length = 0;
    source->filled_length = 0;
}

std::int32_t close_stream(DeltaStream* stream) {
    if (stream->failed_status != 0) {
        return stream->failed_status;
    }
    // Clean: nothing read at all, or nothing of a further window. Part of the
    // magic is not nothing.
    if ((stream->decode_state == STATE_MAGIC && stream->magic_position == 0) ||
        stream->decode_state == STATE_WINDOW_INDICATOR) {
        return 0;
    }
    stream->message = "eof in decode";
    return DECODE_INVALID_INPUT;
}

void free_stream(DeltaStream* stream) {
    // A stream that was never configured has no hooks and owns nothing.
    if (stream->free != nullptr) {
        release(stream, stream->address_cache.near);
        release(stream, stream->address_cache.same);
        release(stream, stream->instruction_section.copy);
        release(stream, stream->address_section.copy);
        release(stream, stream->data_section.copy);
        release(stream, stream->target_buffer);
        release(stream, stream->app_header);
    }
    std::memset(stream, 0, sizeof *stream);
}

std::int32_t allocate_address_cache(DeltaStream* stream) {
    AddressCache* cache = &stream->address_cache;
    release(stream, cache->near);
    cache->near = nullptr;
    release(stream, cache->same);
    cache->same = nullptr;

    if (cache->s_near != 0) {
        cache->near = static_cast<usize_t*>(
            stream->alloc(stream->opaque, static_cast<std::uint32_t>(cache->s_near), 8));
        if (cache->near == nullptr) {
            stream->message = "out of memory";
            return DECODE_OUT_OF_MEMORY;
        }
    }
    if (cache->s_same != 0) {
        cache->same = static_cast<usize_t*>(
            stream->alloc(stream->opaque, static_cast<std::uint32_t>(cache->s_same * 256), 8));
        if (cache->same == nullptr) {
            stream->message = "out of memory";
            return DECODE_OUT_OF_MEMORY;
        }
    }
    return 0;
}
