#pragma once

// A small in-memory driver for the decoder, through the same loop as the patch
// driver: feeds the delta in pieces, answers source block requests from memory
// and collects every finished window.

#include "delta/stream.h"
#include "tests/support/random/random.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

enum Chunking { CHUNK_WHOLE, CHUNK_ONE_BYTE, CHUNK_RANDOM };

struct DecodeSetup {
    const Bytes* source = nullptr; // null: set_source is never called
    usize_t block_size = 16384;
    std::uint32_t flags = FLAG_ADLER32;
    Chunking chunking = CHUNK_WHOLE;
    std::uint64_t seed = 1;     // for CHUNK_RANDOM
    usize_t max_piece = 64;     // largest random piece
    DeltaConfig config = {};    // hooks; window_size and flags are filled in
    bool preload_block0 = true; // like the patch driver
    usize_t fill_minimum = 0;   // DeltaSource::fill_minimum; ranges are answered from source
};

struct DecodeResult {
    std::int32_t status = 0;  // first failure, or close_stream's result at the end
    std::string message;      // message of that status ("" when it is 0)
    Bytes output;             // every window handed out, in order
    int headers = 0;          // DECODE_GOT_HEADER + DECODE_WINDOW_START
    int windows = 0;          // DECODE_HAVE_OUTPUT
    int block_requests = 0;   // DECODE_NEED_SOURCE_BLOCK for a block
    int fill_requests = 0;    // DECODE_NEED_SOURCE_BLOCK for a range
    bool data_copied = false; // a section went through its copy buffer
};

// Runs the whole delta through a fresh stream and releases it again.
DecodeResult decode_delta(const Bytes& delta, const DecodeSetup& setup);

// Deterministic pseudo-random bytes for tests.
Bytes random_bytes(std::uint64_t* state, std::size_t length);

// Appends an RFC 3284 integer.
void put_varint(Bytes* out, std::uint64_t value);

// A hand-made window: put_window writes its header with the encoding length
// the decoder expects (plus length_error) and then its three sections.
struct RawWindow {
    unsigned indicator = 0;          // Win_Indicator byte
    std::uint64_t source_length = 0; // written when indicator & 3 is 1 or 2
    std::uint64_t source_offset = 0;
    std::uint64_t target_length = 0;
    unsigned delta_indicator = 0;
    Bytes data = {};
    Bytes instructions = {};
    Bytes addresses = {};
    std::uint32_t checksum = 0; // written when indicator & 4
    std::int64_t length_error = 0;
};

void put_window(Bytes* out, const RawWindow& window);

// D6 C3 C4 00 and Hdr_Indicator 0.
Bytes plain_header();
