#include "tests/delta/decode_helpers.h"

#include <cstring>

namespace {

// Far more calls than any test delta needs: reaching it means a loop.
constexpr std::uint64_t CALL_LIMIT = 50000000;

} // namespace

std::uint64_t next_random(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

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
    Bytes fresh(source.begin() + static_cast<std::ptrdiff_t>(begin),
                source.begin() + static_cast<std::ptrdiff_t>(begin + count));
    fresh.reserve(1); // never null: a null block reads as "nothing loaded"
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

} // namespace

DecodeResult decode_delta(const Bytes& delta, const DecodeSetup& setup) {
    DecodeResult result;
    DeltaConfig config = setup.config;
    config.window_size = 16384;
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
    Bytes block;
    if (setup.source != nullptr) {
        source.block_size = setup.block_size;
        source.fill_minimum = setup.fill_minimum;
        set_source(&stream, &source);
        if (setup.preload_block0) {
            load_block(*setup.source, &source, 0, &block);
        }
    }

    std::uint64_t random = setup.seed;
    usize_t position = 0;
    Bytes piece;
    auto feed = [&]() {
        const usize_t length = piece_length(setup, &random, delta.size() - position);
        Bytes fresh(delta.begin() + static_cast<std::ptrdiff_t>(position),
                    delta.begin() + static_cast<std::ptrdiff_t>(position + length));
        piece.swap(fresh);
        position += length;
        stream.next_in = piece.data();
        stream.avail_in = length;
    };
    feed();

    for (std::uint64_t calls = 0;; calls++) {
        if (calls == CALL_LIMIT) {
            result.status = 1;
            result.message = "test driver: decoder does not finish";
            break;
        }
        status = decode_input(&stream);
        if (stream.data_section.copy != nullptr || stream.instruction_section.copy != nullptr ||
            stream.address_section.copy != nullptr) {
            result.data_copied = true;
        }
        if (status == DECODE_NEED_INPUT) {
            if (stream.avail_in != 0) {
                result.status = 2;
                result.message = "test driver: DECODE_NEED_INPUT with input left";
                break;
            }
            if (position == delta.size()) {
                result.status = close_stream(&stream);
                result.message = result.status != 0 ? stream.message : "";
                break;
            }
            feed(); // the consumed piece is released here
        } else if (status == DECODE_GOT_HEADER || status == DECODE_WINDOW_START) {
            result.headers++;
        } else if (status == DECODE_WINDOW_FINISH) {
        } else if (status == DECODE_NEED_SOURCE_BLOCK && source.fill_length != 0) {
            result.fill_requests++;
            fill_range(*setup.source, &source);
        } else if (status == DECODE_NEED_SOURCE_BLOCK) {
            result.block_requests++;
            load_block(*setup.source, &source, source.requested_block_number, &block);
        } else if (status == DECODE_HAVE_OUTPUT) {
            result.windows++;
            result.output.insert(result.output.end(), stream.next_out,
                                 stream.next_out + stream.avail_out);
            stream.avail_out = 0;
        } else {
            result.status = status;
            result.message = stream.message;
            break;
        }
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
