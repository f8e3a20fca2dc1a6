// decode_input: the file header, each window header, gathering of the three
// sections and the target buffer; the window body itself is in execute.cpp.

#include "delta/code_table.h"
#include "delta/internal.h"
#include "delta/stream.h"

#include <cstring>

namespace {

constexpr usize_t MAX_ALLOCATION = 0xFFFFFFFFu; // the alloc hook's count is 32 bits
// The application header is stored whole before any of its bytes arrive, so a
// few bytes of delta could otherwise ask for gigabytes. It is metadata; no
// header needs more than the largest window the decoder holds anyway.
constexpr usize_t MAX_APP_HEADER = HARD_MAX_WINDOW;

// a + b into *sum; false when the sum does not fit 64 bits.
bool add_exact(usize_t a, usize_t b, usize_t* sum) {
    *sum = a + b;
    return *sum >= a;
}

void consume(DeltaStream* stream, usize_t count) {
    stream->next_in += count;
    stream->avail_in -= count;
    stream->total_in += count;
}

std::int32_t need_input(DeltaStream* stream) {
    stream->message = "further input required";
    return DECODE_NEED_INPUT;
}

std::int32_t take_byte(DeltaStream* stream, usize_t* value) {
    if (stream->avail_in == 0) {
        return need_input(stream);
    }
    *value = *stream->next_in;
    consume(stream, 1);
    return 0;
}

std::int32_t gather_bytes(DeltaStream* stream, unsigned char* target, usize_t* position,
                          usize_t size) {
    while (*position < size) {
        if (stream->avail_in == 0) {
            return need_input(stream);
        }
        const usize_t left = size - *position;
        const usize_t count = stream->avail_in < left ? stream->avail_in : left;
        std::memcpy(target + *position, stream->next_in, static_cast<std::size_t>(count));
        consume(stream, count);
        *position += count;
    }
    return 0;
}

// Reads one integer, keeping a partial value in integer_accumulator when the
// input ends inside it.
std::int32_t decode_integer(DeltaStream* stream, usize_t* destination) {
    while (stream->avail_in != 0) {
        const unsigned byte = *stream->next_in;
        consume(stream, 1);
        switch (add_integer_byte(&stream->integer_accumulator, byte)) {
        case INTEGER_MORE:
            break;
        case INTEGER_DONE:
            *destination = stream->integer_accumulator;
            stream->integer_accumulator = 0;
            return 0;
        case INTEGER_OVERFLOW:
            stream->message = "overflow in decode_integer";
            return DECODE_INVALID_INPUT;
        }
    }
    return need_input(stream);
}

// Makes the section's copy hold at least needed bytes, keeping the position
// bytes gathered so far.
//
// The copy grows with the bytes that have arrived, not with the length the
// window header announces: a header of a few bytes may announce sections of
// gigabytes, and nothing may be allocated for bytes that never come. Each
// growth at least doubles the capacity (capped at the section's length in
// whole units), so a section of n bytes costs at most about log2(n / unit)
// allocations and copies at most n bytes in all, and the copy never holds
// more than twice the bytes received plus one unit. A copy that is large
// enough serves again, window after window.
std::int32_t reserve_section_copy(DeltaStream* stream, DeltaSection* section, usize_t needed) {
    if (section->copy != nullptr && section->copy_capacity >= needed) {
        return 0;
    }
    // Refused before anything is released or copied: no capacity rounded up
    // from such a length fits the 32-bit count of the alloc hook.
    if (section->length > MAX_ALLOCATION - (ALLOCATION_UNIT - 1)) {
        stream->message = "out of memory";
        return DECODE_OUT_OF_MEMORY;
    }
    const usize_t whole = (section->length + ALLOCATION_UNIT - 1) & ~(ALLOCATION_UNIT - 1);
    usize_t capacity = (needed + ALLOCATION_UNIT - 1) & ~(ALLOCATION_UNIT - 1);
    if (capacity < 2 * section->copy_capacity) {
        capacity = 2 * section->copy_capacity < whole ? 2 * section->copy_capacity : whole;
    }
    // Nothing gathered yet: the old copy goes before the new one is asked
    // for, so the two are never held at once.
    if (section->position == 0 && section->copy != nullptr) {
        stream->free(stream->opaque, section->copy);
        section->copy = nullptr;
        section->copy_capacity = 0;
    }
    unsigned char* copy = static_cast<unsigned char*>(
        stream->alloc(stream->opaque, static_cast<std::uint32_t>(capacity), 1));
    if (copy == nullptr) {
        stream->message = "out of memory";
        return DECODE_OUT_OF_MEMORY;
    }
    if (section->copy != nullptr) {
        std::memcpy(copy, section->copy, static_cast<std::size_t>(section->position));
        stream->free(stream->opaque, section->copy);
    }
    section->copy = copy;
    section->copy_capacity = capacity;
    return 0;
}

// Gathers one section: in place when the rest of the window's sections is at
// hand (copy_mode false), otherwise into the section's copy buffer.
std::int32_t decode_section(DeltaStream* stream, DeltaSection* section, DecodeState next_state,
                            bool copy_mode) {
    if (section->position < section->length) {
        if (stream->avail_in == 0) {
            return need_input(stream);
        }
        usize_t count = 0;
        if (copy_mode || section->position != 0 || stream->avail_in < section->length) {
            const usize_t left = section->length - section->position;
            count = stream->avail_in < left ? stream->avail_in : left;
            const std::int32_t status =
                reserve_section_copy(stream, section, section->position + count);
            if (status != 0) {
                return status;
            }
            section->cursor = section->copy; // the copy may have moved
            std::memcpy(section->copy + section->position, stream->next_in,
                        static_cast<std::size_t>(count));
        } else {
            section->cursor = stream->next_in;
            count = section->length;
        }
        section->position += count;
        stream->window_section_bytes += count;
        consume(stream, count);
        if (section->position < section->length) {
            return need_input(stream);
        }
    }
    if (section->length == 0) {
        section->cursor = nullptr; // nothing of an earlier window stays reachable
    }
    stream->decode_state = next_state;
    section->position = 0;
    section->end = section->cursor + section->length;
    return 0;
}

std::int32_t prepare_target_buffer(DeltaStream* stream) {
    if ((stream->window_indicator & VCD_TARGET) != 0) {
        stream->message = "VCD_TARGET not implemented";
        return DECODE_UNIMPLEMENTED;
    }
    if (stream->space_out < stream->target_window_length) {
        if (stream->target_buffer != nullptr) {
            stream->free(stream->opaque, stream->target_buffer);
            stream->target_buffer = nullptr;
        }
        // At most HARD_MAX_WINDOW, so the rounded size fits 32 bits.
        const usize_t space =
            (stream->target_window_length + ALLOCATION_UNIT - 1) & ~(ALLOCATION_UNIT - 1);
        stream->target_buffer = static_cast<unsigned char*>(
            stream->alloc(stream->opaque, static_cast<std::uint32_t>(space), 1));
        if (stream->target_buffer == nullptr) {
            stream->space_out = 0;
            stream->next_out = nullptr;
            stream->message = "out of memory";
            return DECODE_OUT_OF_MEMORY;
        }
        stream->space_out = space;
    }
    stream->next_out = stream->target_buffer;
    stream->target_base = stream->next_out;
    stream->running_checksum = 1;
    stream->checksummed_bytes = 0;
    return 0;
}

std::int32_t decode_sections(DeltaStream* stream) {
    usize_t total = 0;
    if (!add_exact(stream->instruction_section.length, stream->address_section.length, &total) ||
        !add_exact(total, stream->data_section.length, &total)) {
        stream->message = "decoder section size overflow";
        return DECODE_INTERNAL;
    }
    const usize_t remaining = total - stream->window_section_bytes;
    const bool copy_mode = stream->avail_in < remaining;

    if (stream->decode_state < STATE_DATA_SECTION ||
        stream->decode_state > STATE_ADDRESSES_SECTION) {
        stream->message = "internal error";
        return DECODE_INTERNAL;
    }
    std::int32_t status = 0;
    if (stream->decode_state == STATE_DATA_SECTION) {
        status =
            decode_section(stream, &stream->data_section, STATE_INSTRUCTIONS_SECTION, copy_mode);
        if (status != 0) {
            return status;
        }
    }
    if (stream->decode_state == STATE_INSTRUCTIONS_SECTION) {
        status = decode_section(stream, &stream->instruction_section, STATE_ADDRESSES_SECTION,
                                copy_mode);
        if (status != 0) {
            return status;
        }
    }
    status = decode_section(stream, &stream->address_section, STATE_WINDOW_BODY, copy_mode);
    if (status != 0) {
        return status;
    }
    return prepare_target_buffer(stream);
}

// The length of the delta encoding must equal what the rest of the window
// header announces. Summed exactly: a total past 64 bits cannot match.
bool encoding_length_matches(const DeltaStream* stream) {
    const usize_t parts[] = {
        integer_size(stream->target_window_length),
        1, // Delta_Indicator
        integer_size(stream->data_section.length),
        integer_size(stream->instruction_section.length),
        integer_size(stream->address_section.length),
        stream->data_section.length,
        stream->instruction_section.length,
        stream->address_section.length,
        (stream->window_indicator & VCD_ADLER32) != 0 ? CHECKSUM_BYTES : 0,
    };
    usize_t total = 0;
    for (usize_t part : parts) {
        if (!add_exact(total, part, &total)) {
            return false;
        }
    }
    return total == stream->encoding_length;
}

// A window names a source segment when exactly one of VCD_SOURCE and
// VCD_TARGET is set.
bool has_segment_fields(const DeltaStream* stream) {
    const usize_t bits = stream->window_indicator & (VCD_SOURCE | VCD_TARGET);
    return bits == VCD_SOURCE || bits == VCD_TARGET;
}

std::int32_t run_states(DeltaStream* stream) {
    std::int32_t status = 0;
    for (;;) {
        switch (stream->decode_state) {
        case STATE_MAGIC:
            status = gather_bytes(stream, stream->magic_bytes, &stream->magic_position, 4);
            if (status != 0) {
                return status;
            }
            if (stream->magic_bytes[0] != VCDIFF_MAGIC[0] ||
                stream->magic_bytes[1] != VCDIFF_MAGIC[1] ||
                stream->magic_bytes[2] != VCDIFF_MAGIC[2]) {
                stream->message = "not a VCDIFF input";
                return DECODE_INVALID_INPUT;
            }
            if (stream->magic_bytes[3] != VCDIFF_MAGIC[3]) {
                stream->message = "VCDIFF input version > 0 is not supported";
                return DECODE_INVALID_INPUT;
            }
            stream->decode_state = STATE_HEADER_INDICATOR;
            break;

        case STATE_HEADER_INDICATOR:
            status = take_byte(stream, &stream->header_indicator);
            if (status != 0) {
                return status;
            }
            if ((stream->header_indicator & ~usize_t{0x07}) != 0) {
                stream->message = "unrecognized header indicator bits set";
                return DECODE_INVALID_INPUT;
            }
            stream->decode_state = STATE_SECONDARY_ID;
            break;

        case STATE_SECONDARY_ID:
            if ((stream->header_indicator & VCD_DECOMPRESS) != 0) {
                status = take_byte(stream, &stream->secondary_id);
                if (status != 0) {
                    return status;
                }
                stream->decode_state = STATE_CODE_TABLE_SIZE;
                switch (stream->secondary_id) {
                case 1:
                    stream->message = "unavailable secondary compressor: DJW Static Huffman";
                    return DECODE_INTERNAL;
                case 2:
                    stream->message = "unavailable secondary compressor: LZMA";
                    return DECODE_INTERNAL;
                case 16:
                    stream->message = "unavailable secondary compressor: FGK Adaptive Huffman";
                    return DECODE_INTERNAL;
                default:
                    stream->message = "unknown secondary compressor ID";
                    return DECODE_INVALID_INPUT;
                }
            }
            stream->decode_state = STATE_CODE_TABLE_SIZE;
            break;

        case STATE_CODE_TABLE_SIZE:
            if ((stream->header_indicator & VCD_CODETABLE) == 0) {
                stream->decode_state = STATE_CODE_TABLE_SETUP;
                break;
            }
            status = decode_integer(stream, &stream->code_table_size);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_NEAR_SIZE;
            if (stream->code_table_size <= 2) {
                stream->message = "invalid code table size";
                return DECODE_OUT_OF_MEMORY;
            }
            stream->code_table_size -= 2;
            break;

        case STATE_NEAR_SIZE:
            status = take_byte(stream, &stream->address_cache.s_near);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_SAME_SIZE;
            break;

        case STATE_SAME_SIZE:
            status = take_byte(stream, &stream->address_cache.s_same);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_CODE_TABLE_SETUP;
            break;

        case STATE_CODE_TABLE_SETUP:
            if ((stream->header_indicator & VCD_CODETABLE) != 0) {
                stream->message = "VCD_CODETABLE support was removed";
                return DECODE_UNIMPLEMENTED;
            }
            stream->address_cache.s_near = DEFAULT_NEAR_SIZE;
            stream->address_cache.s_same = DEFAULT_SAME_SIZE;
            stream->code_table = default_code_table();
            status = allocate_address_cache(stream);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_APP_HEADER_SIZE;
            break;

        case STATE_APP_HEADER_SIZE:
            if ((stream->header_indicator & VCD_APPHEADER) == 0) {
                stream->decode_state = STATE_WINDOW_INDICATOR;
                break;
            }
            status = decode_integer(stream, &stream->app_header_size);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_APP_HEADER;
            break;

        case STATE_APP_HEADER:
            if (stream->app_header_size == ~usize_t{0}) {
                stream->message = "exceptional appheader size";
                return DECODE_INVALID_INPUT;
            }
            if (stream->app_header_size > MAX_APP_HEADER) {
                stream->message = "out of memory";
                return DECODE_OUT_OF_MEMORY;
            }
            if (stream->app_header == nullptr) {
                stream->app_header = static_cast<unsigned char*>(stream->alloc(
                    stream->opaque, static_cast<std::uint32_t>(stream->app_header_size + 1), 1));
                if (stream->app_header == nullptr) {
                    stream->message = "out of memory";
                    return DECODE_OUT_OF_MEMORY;
                }
            }
            stream->app_header[stream->app_header_size] = 0;
            status = gather_bytes(stream, stream->app_header, &stream->app_header_position,
                                  stream->app_header_size);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_WINDOW_INDICATOR;
            break;

        case STATE_WINDOW_INDICATOR:
            status = take_byte(stream, &stream->window_indicator);
            if (status != 0) {
                return status;
            }
            stream->current_window = stream->window_count;
            if (!add_exact(stream->window_start, stream->target_window_length,
                           &stream->window_start)) {
                stream->message = "decoder file offset overflow";
                return DECODE_INVALID_INPUT;
            }
            if ((stream->window_indicator & ~usize_t{0x07}) != 0) {
                stream->message = "unrecognized window indicator bits set";
                return DECODE_INVALID_INPUT;
            }
            stream->checksum_position = 0;
            stream->copy_window_length = 0;
            stream->copy_window_offset = 0;
            reset_address_cache(&stream->address_cache);
            if (stream->source != nullptr) {
                clear_source_range(stream->source);
            }
            stream->decode_state = STATE_SOURCE_LENGTH;
            break;

        case STATE_SOURCE_LENGTH:
            if (has_segment_fields(stream)) {
                status = decode_integer(stream, &stream->copy_window_length);
                if (status != 0) {
                    return status;
                }
            }
            stream->decode_state = STATE_SOURCE_POSITION;
            stream->decode_position = stream->copy_window_length;
            break;

        case STATE_SOURCE_POSITION: {
            if (has_segment_fields(stream)) {
                status = decode_integer(stream, &stream->copy_window_offset);
                if (status != 0) {
                    return status;
                }
            }
            stream->decode_state = STATE_ENCODING_LENGTH;
            usize_t segment_end = 0;
            if (!add_exact(stream->copy_window_offset, stream->copy_window_length, &segment_end)) {
                stream->message = "decoder copy window overflows a file offset";
                return DECODE_INVALID_INPUT;
            }
            if ((stream->window_indicator & VCD_TARGET) != 0 &&
                stream->window_start < segment_end) {
                stream->message = "VCD_TARGET window out of bounds";
                return DECODE_INVALID_INPUT;
            }
            break;
        }

        case STATE_ENCODING_LENGTH:
            status = decode_integer(stream, &stream->encoding_length);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_TARGET_LENGTH;
            break;

        case STATE_TARGET_LENGTH:
            status = decode_integer(stream, &stream->target_window_length);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_DELTA_INDICATOR;
            if (!add_exact(stream->target_window_length, stream->copy_window_length,
                           &stream->decode_limit)) {
                stream->message = "decoder target window overflows a usize_t";
                return DECODE_INVALID_INPUT;
            }
            if (stream->target_window_length > HARD_MAX_WINDOW) {
                stream->message = "hard window size exceeded";
                return DECODE_INVALID_INPUT;
            }
            break;

        case STATE_DELTA_INDICATOR:
            status = take_byte(stream, &stream->delta_indicator);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_DATA_LENGTH;
            if ((stream->delta_indicator & ~usize_t{0x07}) != 0) {
                stream->message = "unrecognized delta indicator bits set";
                return DECODE_INVALID_INPUT;
            }
            if (stream->delta_indicator != 0) {
                stream->message = "invalid delta indicator bits set";
                return DECODE_INVALID_INPUT;
            }
            break;

        case STATE_DATA_LENGTH:
            status = decode_integer(stream, &stream->data_section.length);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_INSTRUCTIONS_LENGTH;
            break;

        case STATE_INSTRUCTIONS_LENGTH:
            status = decode_integer(stream, &stream->instruction_section.length);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_ADDRESSES_LENGTH;
            break;

        case STATE_ADDRESSES_LENGTH:
            status = decode_integer(stream, &stream->address_section.length);
            if (status != 0) {
                return status;
            }
            stream->decode_state = STATE_CHECKSUM;
            break;

        case STATE_CHECKSUM:
            if ((stream->window_indicator & VCD_ADLER32) != 0) {
                status = gather_bytes(stream, stream->checksum_bytes, &stream->checksum_position,
                                      CHECKSUM_BYTES);
                if (status != 0) {
                    return status;
                }
                stream->window_checksum = (std::uint32_t{stream->checksum_bytes[0]} << 24) |
                                          (std::uint32_t{stream->checksum_bytes[1]} << 16) |
                                          (std::uint32_t{stream->checksum_bytes[2]} << 8) |
                                          std::uint32_t{stream->checksum_bytes[3]};
            }
            stream->decode_state = STATE_DATA_SECTION;
            if (!encoding_length_matches(stream)) {
                stream->message = "incorrect encoding length (redundent)";
                return DECODE_INVALID_INPUT;
            }
            return stream->current_window != 0 ? DECODE_WINDOW_START : DECODE_GOT_HEADER;

        case STATE_DATA_SECTION:
        case STATE_INSTRUCTIONS_SECTION:
        case STATE_ADDRESSES_SECTION:
            status = decode_sections(stream);
            if (status != 0) {
                return status;
            }
            break;

        case STATE_WINDOW_BODY:
            if ((stream->window_indicator & VCD_SOURCE) != 0) {
                DeltaSource* source = stream->source;
                if (source == nullptr) {
                    stream->message = "source input required";
                    return DECODE_INVALID_INPUT;
                }
                source->copy_window_block = stream->copy_window_offset >> source->block_shift;
                source->copy_window_block_offset = stream->copy_window_offset & source->block_mask;
            }
            status = decode_window_body(stream);
            if (status == DECODE_HAVE_OUTPUT) {
                stream->total_out += stream->avail_out;
            }
            return status;

        case STATE_WINDOW_FINISHED:
            stream->window_count++;
            stream->decode_state = STATE_WINDOW_INDICATOR;
            return DECODE_WINDOW_FINISH;

        default:
            // Only a fault of the program (a stream overwritten, or used
            // before configure_stream) gets here, never a patch.
            stream->message = "internal error: the decoder is in no known state";
            return DECODE_INTERNAL;
        }
    }
}

} // namespace

bool is_decode_failure(std::int32_t status) {
    switch (status) {
    case 0:
    case DECODE_NEED_INPUT:
    case DECODE_HAVE_OUTPUT:
    case DECODE_NEED_SOURCE_BLOCK:
    case DECODE_GOT_HEADER:
    case DECODE_WINDOW_START:
    case DECODE_WINDOW_FINISH:
        return false;
    default:
        return true;
    }
}

// decode_input consumes the caller's input until it needs something or has
// something to report, and may be stopped between any two bytes.
//
// Resuming: every item of the delta (a header byte, an integer, the magic,
// the checksum, the application header, a section) is read by a state of its
// own. When the input runs out inside an item, the partial item stays in the
// stream (integer_accumulator for integers, the *_position counters for byte
// gathering, a section's position for its copy buffer), decode_state keeps
// the item's state, and DECODE_NEED_INPUT is returned with avail_in at 0.
// The next call, with new input, continues at that very byte. A state is
// advanced as soon as its item is complete and before the next one is read.
//
// Within a window the body may also stop for a source block or, for a
// caller that set fill_minimum, a source range (DECODE_NEED_SOURCE_BLOCK):
// the half-instruction being executed keeps its remaining size and address
// in first_half/second_half and continues once the block is loaded or the
// range filled.
//
// What the caller must keep valid: a section that lies whole in the input at
// hand is used where it lies, not copied. So the bytes of an input piece must
// stay in place and unchanged until decode_input has returned
// DECODE_NEED_INPUT for that piece, across any DECODE_GOT_HEADER,
// DECODE_WINDOW_START, DECODE_NEED_SOURCE_BLOCK, DECODE_HAVE_OUTPUT and
// DECODE_WINDOW_FINISH in between. The output at next_out stays valid until
// the call after DECODE_HAVE_OUTPUT, which the caller makes only after
// setting avail_out back to 0.
//
// A failure is final: the message stays in the stream and every later call
// returns the same status.
std::int32_t decode_input(DeltaStream* stream) {
    if (stream->failed_status != 0) {
        return stream->failed_status;
    }
    const std::int32_t status = run_states(stream);
    if (is_decode_failure(status)) {
        stream->failed_status = status;
    }
    return status;
}
