// The window body: instruction codes are parsed one pair of halves at a time
// and executed into the target buffer, source bytes one block at a time.

#include "delta/code_table.h"
#include "delta/internal.h"
#include "delta/stream.h"

#include <cstring>

namespace {

std::int32_t get_source_block(DeltaStream* stream, usize_t block, usize_t last_block) {
    DeltaSource* source = stream->source;
    if (source->current_block != nullptr && source->current_block_number == block) {
        return 0;
    }
    source->requested_block_number = block;
    source->requested_last_block = last_block;
    if (stream->getblk == nullptr) {
        stream->message = "getblk source input";
        return DECODE_NEED_SOURCE_BLOCK;
    }
    const char* const message_before = stream->message;
    const std::int32_t status = stream->getblk(stream, source, block);
    if (status != 0 && !is_decode_failure(status)) {
        // A request or report from the hook is none of the body's: passed
        // on, DECODE_HAVE_OUTPUT would hand out a half-built window as
        // finished, DECODE_NEED_SOURCE_BLOCK would ask a caller that serves
        // no blocks.
        stream->message = "getblk returned an unexpected status";
        return DECODE_INTERNAL;
    }
    if (status != 0) {
        // A hook that fails without a message of its own still leaves one.
        if (stream->message == message_before) {
            stream->message = "getblk could not load a block";
        }
        return status;
    }
    // A hook that claims success without loading the block would have us
    // copy from the wrong bytes, or from nowhere.
    if (source->current_block == nullptr || source->current_block_number != block) {
        stream->message = "getblk did not load the requested block";
        return DECODE_INTERNAL;
    }
    return 0;
}

std::int32_t parse_half_instruction(DeltaStream* stream, HalfInstruction* half) {
    if (half->size == 0) {
        DeltaSection* instructions = &stream->instruction_section;
        const std::int32_t status =
            read_integer(stream, &instructions->cursor, instructions->end, &half->size);
        if (status != 0) {
            return status;
        }
    }
    if (half->type >= HALF_COPY) {
        DeltaSection* addresses = &stream->address_section;
        const std::int32_t status =
            decode_address(stream, stream->decode_position, half->type - HALF_COPY,
                           &addresses->cursor, addresses->end, &half->address);
        if (status != 0) {
            return status;
        }
        if (half->address >= stream->decode_position) {
            stream->message = "address too large";
            return DECODE_INVALID_INPUT;
        }
        // A COPY that starts in the source segment must end in it.
        if (half->address < stream->copy_window_length &&
            half->size > stream->copy_window_length - half->address) {
            stream->message = "size too large";
            return DECODE_INVALID_INPUT;
        }
    }
    if (half->size > stream->decode_limit - stream->decode_position) {
        stream->message = "size too large";
        return DECODE_INVALID_INPUT;
    }
    stream->decode_position += half->size;
    return 0;
}

// Parses both halves of the next code before either runs, so that the cache
// and here follow RFC 3284 and a bad second half stops the code unexecuted.
std::int32_t fetch_instruction(DeltaStream* stream) {
    DeltaSection* instructions = &stream->instruction_section;
    if (instructions->cursor == instructions->end) {
        stream->message = "instruction underflow";
        return DECODE_INVALID_INPUT;
    }
    const CodeTableEntry* entry = &stream->code_table->entries[*instructions->cursor];
    instructions->cursor++;

    stream->first_half.type = entry->first_type;
    stream->first_half.size = entry->first_size;
    stream->first_half.address = 0;
    stream->second_half.type = entry->second_type;
    stream->second_half.size = entry->second_size;
    stream->second_half.address = 0;

    if (stream->first_half.type != HALF_NOOP) {
        const std::int32_t status = parse_half_instruction(stream, &stream->first_half);
        if (status != 0) {
            return status;
        }
    }
    if (stream->second_half.type != HALF_NOOP) {
        return parse_half_instruction(stream, &stream->second_half);
    }
    return 0;
}

std::int32_t copy_from_target(DeltaStream* stream, HalfInstruction* half, unsigned char* out) {
    const usize_t count = half->size;
    const usize_t from = half->address - stream->copy_window_length;
    half->type = HALF_NOOP;
    half->size = 0;
    // Parsing keeps every target COPY behind the write position; this holds
    // it there even if the caller has meddled with avail_out.
    if (from >= stream->avail_out) {
        stream->message = "address too large";
        return DECODE_INVALID_INPUT;
    }
    const unsigned char* in = stream->target_base + from;
    if (count <= stream->avail_out - from) {
        if (count != 0) {
            std::memcpy(out, in, static_cast<std::size_t>(count));
        }
    } else {
        // Overlapping: bytes this COPY writes are read again further on,
        // which is how a short pattern gets repeated. Byte by byte, in order,
        // that is out[i] = out[i - distance], so the output repeats its first
        // distance bytes (the ones before out) with that period. Once k whole
        // periods are written, the next k periods equal them: each step
        // copies what is already written, from a range that does not overlap
        // its destination, and doubles it.
        const usize_t distance = stream->avail_out - from;
        std::memcpy(out, in, static_cast<std::size_t>(distance));
        usize_t written = distance;
        while (written < count) {
            const usize_t step = count - written < written ? count - written : written;
            std::memcpy(out + written, out, static_cast<std::size_t>(step));
            written += step;
        }
    }
    stream->avail_out += count;
    return 0;
}

// The caller has answered the range request of this half (the one being
// executed, as the body resumes where it stopped).
std::int32_t finish_source_fill(DeltaStream* stream, HalfInstruction* half) {
    DeltaSource* source = stream->source;
    const usize_t asked = source->fill_length;
    source->fill_length = 0;
    if (source->filled_length != asked || asked > half->size) {
        stream->message = "source file too short";
        return DECODE_INVALID_INPUT;
    }
    stream->avail_out += asked;
    half->size -= asked;
    half->address += asked;
    if (half->size == 0) {
        half->type = HALF_NOOP;
    }
    return 0;
}

std::int32_t copy_from_source(DeltaStream* stream, HalfInstruction* half, unsigned char* out) {
    if ((stream->window_indicator & VCD_TARGET) != 0) {
        half->type = HALF_NOOP;
        half->size = 0;
        stream->message = "VCD_TARGET not implemented";
        return DECODE_UNIMPLEMENTED;
    }
    DeltaSource* source = stream->source;
    if (source == nullptr) {
        stream->message = "source input required";
        return DECODE_INVALID_INPUT;
    }
    if (source->fill_length != 0) {
        return finish_source_fill(stream, half);
    }
    // A long copy is read by the caller straight into place, instead of
    // into a block and from there into the window.
    if (source->fill_minimum != 0 && half->size >= source->fill_minimum &&
        stream->getblk == nullptr) {
        source->fill_destination = out;
        source->fill_position = stream->copy_window_offset + half->address;
        source->fill_length = half->size;
        source->filled_length = 0;
        stream->message = "getblk source input";
        return DECODE_NEED_SOURCE_BLOCK;
    }
    // (copy_window_offset + address) split into block and offset; the sum
    // itself cannot overflow since the segment end fits 64 bits.
    usize_t offset = source->copy_window_block_offset + half->address;
    usize_t block = source->copy_window_block;
    if ((offset >> source->block_shift) != 0) {
        block += offset >> source->block_shift;
        offset &= source->block_mask;
    }

    const usize_t count = half->size;
    // offset + count stays within the segment, whose end fits 64 bits.
    const usize_t last_offset = count != 0 ? offset + (count - 1) : offset;
    std::int32_t status =
        get_source_block(stream, block, block + (last_offset >> source->block_shift));
    if (status == DECODE_TOO_FAR_BACK) {
        stream->message = "non-seekable source in decode";
        return DECODE_INTERNAL;
    }
    if (status != 0) {
        return status;
    }

    if (source->block_bytes != source->block_size &&
        (offset > source->block_bytes || count > source->block_bytes - offset)) {
        stream->message = "source file too short";
        return DECODE_INVALID_INPUT;
    }
    const usize_t in_block = source->block_size - offset;
    if (count <= in_block) {
        half->type = HALF_NOOP;
        half->size = 0;
        if (count != 0) {
            std::memcpy(out, source->current_block + offset, static_cast<std::size_t>(count));
        }
        stream->avail_out += count;
        return 0;
    }
    // The rest lies in the next block: stay pending, the window body calls
    // again at once and that call asks for the block.
    std::memcpy(out, source->current_block + offset, static_cast<std::size_t>(in_block));
    stream->avail_out += in_block;
    half->size -= in_block;
    half->address += in_block;
    return 0;
}

std::int32_t execute_half_instruction(DeltaStream* stream, HalfInstruction* half) {
    const usize_t count = half->size;
    if (count > stream->space_out || stream->avail_out > stream->space_out - count) {
        stream->message = "overflow while decoding";
        return DECODE_INVALID_INPUT;
    }
    unsigned char* out = stream->next_out + stream->avail_out;
    DeltaSection* data = &stream->data_section;

    switch (half->type) {
    case HALF_NOOP:
        return 0;
    case HALF_ADD:
        if (static_cast<usize_t>(data->end - data->cursor) < count) {
            stream->message = "data underflow";
            return DECODE_INVALID_INPUT;
        }
        if (count != 0) {
            std::memcpy(out, data->cursor, static_cast<std::size_t>(count));
        }
        data->cursor += count;
        stream->avail_out += count;
        half->type = HALF_NOOP;
        return 0;
    case HALF_RUN:
        if (data->cursor == data->end) {
            stream->message = "data underflow";
            return DECODE_INVALID_INPUT;
        }
        if (count != 0) {
            std::memset(out, *data->cursor, static_cast<std::size_t>(count));
        }
        data->cursor++;
        stream->avail_out += count;
        half->type = HALF_NOOP;
        return 0;
    default:
        if (half->address >= stream->copy_window_length) {
            return copy_from_target(stream, half, out);
        }
        return copy_from_source(stream, half, out);
    }
}

// Bytes produced between two additions to the running checksum: small
// enough that they are still in the cache when summed.
constexpr usize_t CHECKSUM_STEP = 65536;

// Runs one half of the instruction to its end, or to a stop (a source block
// wanted, a failure) that leaves the rest of it in place.
__attribute__((always_inline)) inline std::int32_t complete_half(DeltaStream* stream,
                                                                 HalfInstruction* half) {
    while (half->type != HALF_NOOP) {
        if (stream->avail_out - stream->checksummed_bytes >= CHECKSUM_STEP) {
            checksum_produced_bytes(stream);
        }
        const std::int32_t status = execute_half_instruction(stream, half);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

} // namespace

std::int32_t decode_window_body(DeltaStream* stream) {
    for (;;) {
        std::int32_t status = complete_half(stream, &stream->first_half);
        if (status != 0) {
            return status;
        }
        status = complete_half(stream, &stream->second_half);
        if (status != 0) {
            return status;
        }
        if (stream->instruction_section.cursor == stream->instruction_section.end) {
            return finish_window(stream);
        }
        status = fetch_instruction(stream);
        if (status != 0) {
            return status;
        }
    }
}
