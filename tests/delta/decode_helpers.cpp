#include "tests/delta/decode_helpers.h"

#include "delta/loop.h"

#include <cstring>

namespace {

// Far more calls than any test delta needs: reaching it means a loop.
constexpr std::uint64_t CALL_LIMIT = 50000000;

} // namespace

Bytes random_bytes(std::uint64_t* state, std::size_t length) {
    Bytes bytes(length);
    for (unsigned char& b : bytes) {
        b = static_cast<unsigned char>(next_random(state));
    }
    return bytes;
}

void put_varint(Bytes* out, std::uint64_t value) {
    unsigned char bytes[10];
    int count = 0;
    bytes[count++] = static_cast<unsigned char>(value & 0x7F);
    while ((value >>= 7) != 0) {
        bytes[count++] = static_cast<unsigned char>(0x80 | (value & 0x7F));
    }
    while (count != 0) {
        out->push_back(bytes[--count]);
    }
}

namespace {

// Each block lives in a buffer of exactly its valid length, and each piece
// of input in a buffer of its own that is dropped once the decoder has said
// DECODE_NEED_INPUT: under AddressSanitizer, any read past a block or of a
// consumed piece is caught.
void load_block(const Bytes& source, DeltaSource* src, usize_t number, Bytes* buffer) {
    usize_t begin = source.size();
    if (number <= source.size() / src->block_size) {
        begin = number * src->block_size;
    }
    const usize_t left = source.size() - begin;
    const usize_t count = left < src->block_size ? left : src->block_size;
    Bytes fresh;
    fresh.reserve(count != 0 ? count : 1); // never null: a null block reads as "nothing loaded"
    fresh.assign(source.begin() + static_cast<std::ptrdiff_t>(begin),
                 source.begin() + static_cast<std::ptrdiff_t>(begin + count));
    buffer->swap(fresh);
    src->current_block = buffer->data();
    src->current_block_number = number;
    src->block_bytes = count;
}

// Copies the source range the decoder asked for, cut at the end of source.
void fill_range(const Bytes& source, DeltaSource* src) {
    const usize_t position = src->fill_position;
    usize_t count = 0;
    if (position < source.size()) {
        const usize_t left = source.size() - position;
        count = left < src->fill_length ? left : src->fill_length;
        std::memcpy(src->fill_destination, source.data() + position, count);
    }
    src->filled_length = count;
}

usize_t piece_length(const DecodeSetup& setup, std::uint64_t* random, usize_t left) {
    usize_t length = left;
    if (setup.chunking == CHUNK_ONE_BYTE) {
        length = 1;
    } else if (setup.chunking == CHUNK_RANDOM) {
        length = 1 + next_random(random) % setup.max_piece;
    }
    return length < left ? length : left;
}

// Failures of the test driver itself, told apart from the decoder's.
constexpr std::int32_t DRIVER_LOOPS = 1;
constexpr std::int32_t DRIVER_INPUT_LEFT = 2;

struct Run {
    const Bytes* delta;
    const DecodeSetup* setup;
    DeltaStream* stream;
    DeltaSource* source;
    Bytes block;
    Bytes piece;
    usize_t position;
    std::uint64_t random;
    std::uint64_t calls;
    usize_t windows_begun; // windows whose header the decoder has read
    DecodeResult* result;
};

// Whether a section has gone through its copy buffer so far.
void observe_copies(Run* run) {
    const DeltaStream* stream = run->stream;
    if (stream->data_section.copy != nullptr || stream->instruction_section.copy != nullptr ||
        stream->address_section.copy != nullptr) {
        run->result->data_copied = true;
    }
}

// What the decoder has done since the last step: a window header read (the
// decoder reports each one, and is asked again after the report), a section
// gathered into its copy.
void observe(Run* run) {
    const DeltaStream* stream = run->stream;
    if (stream->decode_state >= STATE_DATA_SECTION &&
        stream->decode_state <= STATE_WINDOW_FINISHED &&
        stream->current_window + 1 > run->windows_begun) {
        run->windows_begun = stream->current_window + 1;
        run->result->headers++;
    }
    observe_copies(run);
}

std::int32_t next_piece(void* opaque, const unsigned char** bytes, usize_t* length) {
    Run* run = static_cast<Run*>(opaque);
    if (run->stream->avail_in != 0) {
        run->result->message = "test driver: DECODE_NEED_INPUT with input left";
        return DRIVER_INPUT_LEFT;
    }
    const usize_t count =
        piece_length(*run->setup, &run->random, run->delta->size() - run->position);
    Bytes fresh(count);
    if (count != 0) {
        std::memcpy(fresh.data(), run->delta->data() + run->position, count);
    }
    run->piece.swap(fresh); // the consumed piece is released here
    run->position += count;
    *bytes = run->piece.data();
    *length = count;
    return 0;
}

std::int32_t answer_source(void* opaque, DeltaSource* source) {
    Run* run = static_cast<Run*>(opaque);
    if (source->fill_length != 0) {
        run->result->fill_requests++;
        fill_range(*run->setup->source, source);
    } else {
        run->result->block_requests++;
        load_block(*run->setup->source, source, source->requested_block_number, &run->block);
    }
    return 0;
}

std::int32_t collect_window(void* opaque, const unsigned char* window, usize_t end,
                            bool window_done) {
    Run* run = static_cast<Run*>(opaque);
    if (window_done) {
        run->result->windows++;
        run->result->output.insert(run->result->output.end(), window, window + end);
    }
    return 0;
}

std::int32_t count_call(void* opaque) {
    Run* run = static_cast<Run*>(opaque);
    observe(run);
    if (++run->calls > CALL_LIMIT) {
        run->result->message = "test driver: decoder does not finish";
        return DRIVER_LOOPS;
    }
    return 0;
}

} // namespace

DecodeResult decode_delta(const Bytes& delta, const DecodeSetup& setup) {
    DecodeResult result;
    DeltaConfig config = setup.config;
    config.flags = setup.flags;
    DeltaStream stream;
    std::int32_t status = configure_stream(&stream, &config);
    if (status != 0) {
        result.status = status;
        result.message = stream.message;
        free_stream(&stream);
        return result;
    }

    DeltaSource source = {};
    Run run = {&delta, &setup, &stream, &source, {}, {}, 0, setup.seed, 0, 0, &result};
    if (setup.source != nullptr) {
        source.block_size = setup.block_size;
        source.fill_minimum = setup.fill_minimum;
        set_source(&stream, &source);
        if (setup.preload_block0) {
            load_block(*setup.source, &source, 0, &run.block);
        }
    }

    const DeltaCallbacks callbacks = {next_piece, answer_source, collect_window, count_call, &run};
    status = run_delta_stream(&stream, &callbacks);
    observe_copies(&run);
    result.status = status;
    if (status != 0 && status != DRIVER_LOOPS && status != DRIVER_INPUT_LEFT) {
        result.message = stream.message;
    }
    free_stream(&stream);
    return result;
}

namespace {

std::uint64_t varint_size(std::uint64_t value) {
    Bytes bytes;
    put_varint(&bytes, value);
    return bytes.size();
}

} // namespace

void put_window(Bytes* out, const RawWindow& window) {
    out->push_back(static_cast<unsigned char>(window.indicator));
    const unsigned segment = window.indicator & 3;
    if (segment == 1 || segment == 2) {
        put_varint(out, window.source_length);
        put_varint(out, window.source_offset);
    }
    const std::uint64_t length =
        varint_size(window.target_length) + 1 + varint_size(window.data.size()) +
        varint_size(window.instructions.size()) + varint_size(window.addresses.size()) +
        window.data.size() + window.instructions.size() + window.addresses.size() +
        ((window.indicator & 4) != 0 ? 4 : 0);
    put_varint(out, length + static_cast<std::uint64_t>(window.length_error));
    put_varint(out, window.target_length);
    out->push_back(static_cast<unsigned char>(window.delta_indicator));
    put_varint(out, window.data.size());
    put_varint(out, window.instructions.size());
    put_varint(out, window.addresses.size());
    if ((window.indicator & 4) != 0) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out->push_back(static_cast<unsigned char>(window.checksum >> shift));
        }
    }
    out->insert(out->end(), window.data.begin(), window.data.end());
    out->insert(out->end(), window.instructions.begin(), window.instructions.end());
    out->insert(out->end(), window.addresses.begin(), window.addresses.end());
}

Bytes plain_header() {
    return Bytes{0xD6, 0xC3, 0xC4, 0x00, 0x00};
}
