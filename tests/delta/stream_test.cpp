// The stream's life cycle, its allocation hooks, source blocks and the
// reports decode_input makes along the way.

#include "delta/adler32.h"
#include "delta/stream.h"
#include "tests/delta/decode_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool all_zero(const DeltaStream& stream) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&stream);
    for (std::size_t i = 0; i < sizeof stream; i++) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(Stream, NullConfigurationTakesTheDefaults) {
    DeltaStream stream;
    ASSERT_EQ(configure_stream(&stream, nullptr), 0);
    EXPECT_EQ(stream.window_size, 8388608u);
    EXPECT_EQ(stream.sprevsz, 262144u);
    EXPECT_NE(stream.alloc, nullptr);
    EXPECT_NE(stream.free, nullptr);
    EXPECT_EQ(stream.getblk, nullptr);
    EXPECT_EQ(stream.flags, 0u);
    EXPECT_EQ(stream.message, nullptr);
    EXPECT_EQ(close_stream(&stream), 0);
    free_stream(&stream);
    EXPECT_TRUE(all_zero(stream));
    free_stream(&stream);
    EXPECT_TRUE(all_zero(stream));
}

TEST(Stream, SetSourceMakesTheBlockSizeAPowerOfTwo) {
    struct Row {
        usize_t given, size, shift, mask;
    };
    const usize_t top = std::uint64_t{1} << 63;
    const Row rows[] = {
        {0, 1, 0, 0},
        {1, 1, 0, 0},
        {3, 4, 2, 3},
        {16384, 16384, 14, 16383},
        {20000, 32768, 15, 32767},
        {top, top, 63, top - 1},
        // No power of two above 2^63 fits: the largest one is taken.
        {top + 1, top, 63, top - 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.given);
        DeltaStream stream;
        configure_stream(&stream, nullptr);
        DeltaSource source = {};
        source.block_size = row.given;
        EXPECT_EQ(set_source(&stream, &source), 0);
        EXPECT_EQ(stream.source, &source);
        EXPECT_EQ(source.block_size, row.size);
        EXPECT_EQ(source.block_shift, row.shift);
        EXPECT_EQ(source.block_mask, row.mask);
        free_stream(&stream);
    }
}

// Counts what the decoder asks of its hooks and fails the n-th request.
struct Allocations {
    int calls = 0;
    int fail_at = 0;
    int live = 0;
    std::vector<std::pair<std::uint32_t, usize_t>> requests;
};

void* counting_alloc(void* opaque, std::uint32_t count, usize_t size) {
    Allocations* a = static_cast<Allocations*>(opaque);
    a->calls++;
    a->requests.emplace_back(count, size);
    if (a->calls == a->fail_at) {
        return nullptr;
    }
    a->live++;
    return std::malloc(static_cast<std::size_t>(count * size));
}

// Fresh blocks full of a marker, so that bytes nobody wrote show up as such.
void* poisoned_alloc(void*, std::uint32_t count, usize_t size) {
    void* block = std::malloc(static_cast<std::size_t>(count * size));
    if (block != nullptr) {
        std::memset(block, 0xEE, static_cast<std::size_t>(count * size));
    }
    return block;
}

void counting_free(void* opaque, void* pointer) {
    static_cast<Allocations*>(opaque)->live--;
    std::free(pointer);
}

// A 61-byte application header and one window of "hello" from an ADD.
Bytes app_header_delta() {
    Bytes delta = {0xD6, 0xC3, 0xC4, 0x00, 0x04, 61};
    for (int i = 0; i < 61; i++) {
        delta.push_back(static_cast<unsigned char>('A' + i % 26));
    }
    put_window(&delta,
               {.target_length = 5, .data = {'h', 'e', 'l', 'l', 'o'}, .instructions = {6}});
    return delta;
}

TEST(Stream, AllocationsGoThroughTheHooks) {
    Allocations allocations;
    DecodeSetup setup;
    setup.chunking = CHUNK_ONE_BYTE; // sections go through their copy buffers
    setup.config.alloc = counting_alloc;
    setup.config.free = counting_free;
    setup.config.opaque = &allocations;
    const DecodeResult result = decode_delta(app_header_delta(), setup);
    EXPECT_EQ(result.status, 0) << result.message;
    EXPECT_EQ(std::string(result.output.begin(), result.output.end()), "hello");
    const std::vector<std::pair<std::uint32_t, usize_t>> expected = {
        {4, 8}, {768, 8}, {62, 1}, {16384, 1}, {16384, 1},
    };
    // The data section is copied; the one instruction byte arrives as the last
    // byte of the window and is used in place; the target buffer comes last.
    EXPECT_EQ(allocations.requests, expected);
    EXPECT_EQ(allocations.live, 0);
}

TEST(Stream, EveryFailedAllocationIsOutOfMemoryAndLeaksNothing) {
    for (int fail_at = 1; fail_at <= 5; fail_at++) {
        SCOPED_TRACE(fail_at);
        Allocations allocations;
        allocations.fail_at = fail_at;
        DecodeSetup setup;
        setup.chunking = CHUNK_ONE_BYTE;
        setup.config.alloc = counting_alloc;
        setup.config.free = counting_free;
        setup.config.opaque = &allocations;
        const DecodeResult result = decode_delta(app_header_delta(), setup);
        EXPECT_EQ(result.status, DECODE_OUT_OF_MEMORY);
        EXPECT_EQ(result.message, "out of memory");
        EXPECT_EQ(allocations.calls, fail_at);
        EXPECT_EQ(allocations.live, 0);
    }
}

// The largest block asked for; blocks above the largest window are refused
// without being allocated, as on a machine that has no such memory.
struct LargestRequest {
    usize_t largest = 0;
};

void* recording_alloc(void* opaque, std::uint32_t count, usize_t size) {
    LargestRequest* r = static_cast<LargestRequest*>(opaque);
    const usize_t bytes = usize_t{count} * size;
    r->largest = std::max(r->largest, bytes);
    return bytes > HARD_MAX_WINDOW ? nullptr : std::malloc(static_cast<std::size_t>(bytes));
}

// A window header that announces the three section lengths, followed by
// only the bytes given.
Bytes announced_sections(usize_t data, usize_t instructions, usize_t addresses,
                         const Bytes& present) {
    Bytes lengths;
    put_varint(&lengths, data);
    put_varint(&lengths, instructions);
    put_varint(&lengths, addresses);
    Bytes delta = plain_header();
    delta.push_back(0x00);
    put_varint(&delta, 1 + 1 + lengths.size() + data + instructions + addresses);
    delta.push_back(1); // target length
    delta.push_back(0); // Delta_Indicator
    delta.insert(delta.end(), lengths.begin(), lengths.end());
    delta.insert(delta.end(), present.begin(), present.end());
    return delta;
}

// Section bytes are staged as they arrive: what a window header announces
// is no reason to allocate before the bytes are there.
TEST(Stream, StagingGrowsWithTheBytesThatArrived) {
    const usize_t huge = 4294901760; // 2^32 - 2^16
    Bytes big_add(100000);
    for (std::size_t i = 0; i < big_add.size(); i++) {
        big_add[i] = static_cast<unsigned char>(i % 253);
    }
    Bytes big = plain_header();
    put_window(&big, {.target_length = big_add.size(),
                      .data = big_add,
                      .instructions = {1, 0x86, 0x8D, 0x20}}); // ADD 100000
    struct Row {
        const char* name;
        Bytes delta;
        std::int32_t status;
        usize_t largest; // largest block asked for
    };
    const Row rows[] = {
        // 23 bytes: the header, a window header, 3 bytes of data.
        {"HugeData", announced_sections(huge, 0, 0, {'x', 'y', 'z'}), DECODE_INVALID_INPUT,
         ALLOCATION_UNIT},
        {"HugeInstructions", announced_sections(0, huge, 0, {'x', 'y', 'z'}), DECODE_INVALID_INPUT,
         ALLOCATION_UNIT},
        {"HugeAddresses", announced_sections(0, 0, huge, {'x', 'y', 'z'}), DECODE_INVALID_INPUT,
         ALLOCATION_UNIT},
        {"AllThreeHuge", announced_sections(huge, huge, huge, {'x', 'y', 'z'}),
         DECODE_INVALID_INPUT, ALLOCATION_UNIT},
        // A section that does arrive, in pieces: never more than its length
        // in whole units (100,000 bytes: 7 units).
        {"ArrivingInPieces", big, 0, 7 * ALLOCATION_UNIT},
    };
    for (const Row& row : rows) {
        for (Chunking chunking : {CHUNK_WHOLE, CHUNK_RANDOM}) {
            SCOPED_TRACE(std::string(row.name) + (chunking == CHUNK_WHOLE ? " whole" : " pieces"));
            LargestRequest requests;
            DecodeSetup setup;
            setup.chunking = chunking;
            setup.max_piece = 5000;
            setup.config.alloc = recording_alloc;
            setup.config.opaque = &requests;
            const DecodeResult result = decode_delta(row.delta, setup);
            EXPECT_EQ(result.status, row.status) << result.message;
            EXPECT_EQ(requests.largest, row.largest);
            if (row.status == 0) {
                EXPECT_EQ(result.output, big_add);
            }
        }
    }
}

TEST(Stream, FailedSameArrayKeepsNearForFreeStream) {
    Allocations allocations;
    allocations.fail_at = 2;
    DeltaConfig config = {};
    config.alloc = counting_alloc;
    config.free = counting_free;
    config.opaque = &allocations;
    DeltaStream stream;
    ASSERT_EQ(configure_stream(&stream, &config), 0);
    const Bytes delta = plain_header();
    stream.next_in = delta.data();
    stream.avail_in = delta.size();
    EXPECT_EQ(decode_input(&stream), DECODE_OUT_OF_MEMORY);
    EXPECT_STREQ(stream.message, "out of memory");
    EXPECT_NE(stream.address_cache.near, nullptr);
    EXPECT_EQ(stream.address_cache.same, nullptr);
    EXPECT_EQ(allocations.live, 1);
    free_stream(&stream);
    EXPECT_EQ(allocations.live, 0);
}

// Steps a stream through a delta by hand, recording each status.
struct Stepper {
    DeltaStream stream;
    DeltaSource source = {};
    Bytes delta;
    const Bytes* source_bytes = nullptr;
    std::vector<std::int32_t> statuses;
    Bytes output;

    // Runs until a status that is not a plain report; loads requested blocks
    // unless stop_at_block is set.
    std::int32_t run(bool stop_at_block = false) {
        for (;;) {
            const std::int32_t status = decode_input(&stream);
            statuses.push_back(status);
            if (status == DECODE_HAVE_OUTPUT) {
                output.insert(output.end(), stream.next_out, stream.next_out + stream.avail_out);
                stream.avail_out = 0;
            } else if (status == DECODE_NEED_SOURCE_BLOCK && source.fill_length != 0 &&
                       !stop_at_block) {
                fill();
            } else if (status == DECODE_NEED_SOURCE_BLOCK && !stop_at_block) {
                load(source.requested_block_number);
            } else if (status != DECODE_GOT_HEADER && status != DECODE_WINDOW_START &&
                       status != DECODE_WINDOW_FINISH) {
                return status;
            }
        }
    }

    void load(usize_t block) {
        const usize_t begin = block * source.block_size;
        source.current_block = source_bytes->data() + begin;
        source.current_block_number = block;
        source.block_bytes = std::min<usize_t>(source.block_size, source_bytes->size() - begin);
    }

    void fill() {
        std::memcpy(source.fill_destination, source_bytes->data() + source.fill_position,
                    source.fill_length);
        source.filled_length = source.fill_length;
    }

    void start(const DeltaConfig* config = nullptr) {
        configure_stream(&stream, config);
        if (source_bytes != nullptr) {
            set_source(&stream, &source);
        }
        stream.next_in = delta.data();
        stream.avail_in = delta.size();
    }

    ~Stepper() {
        free_stream(&stream);
    }
};

TEST(Stream, ReportsHeadersWindowsAndPositions) {
    Stepper s;
    const unsigned char head[] = {0xD6, 0xC3, 0xC4, 0x00, 0x04, 61};
    s.delta.assign(sizeof head + 61, 'x');
    std::memcpy(s.delta.data(), head, sizeof head);
    put_window(&s.delta, {.indicator = 4,
                          .target_length = 3,
                          .data = {'a'},
                          .instructions = {0, 3},
                          .checksum = 0x02490124});
    put_window(&s.delta, {.target_length = 2, .data = {'b'}, .instructions = {0, 2}});
    put_window(&s.delta, {.target_length = 1, .data = {'c'}, .instructions = {2}});
    s.start();

    EXPECT_EQ(decode_input(&s.stream), DECODE_GOT_HEADER);
    EXPECT_EQ(std::memcmp(s.stream.app_header, std::string(61, 'x').c_str(), 62), 0);
    EXPECT_EQ(s.stream.window_checksum, 0x02490124u);
    EXPECT_EQ(s.run(), DECODE_NEED_INPUT);
    EXPECT_EQ(std::string(s.output.begin(), s.output.end()), "aaabbc");
    const std::vector<std::int32_t> expected = {
        DECODE_HAVE_OUTPUT, DECODE_WINDOW_FINISH, DECODE_WINDOW_START,
        DECODE_HAVE_OUTPUT, DECODE_WINDOW_FINISH, DECODE_WINDOW_START,
        DECODE_HAVE_OUTPUT, DECODE_WINDOW_FINISH, DECODE_NEED_INPUT,
    };
    EXPECT_EQ(s.statuses, expected);
    EXPECT_EQ(s.stream.window_start, 5u); // windows of 3 and 2 before the last
    EXPECT_EQ(s.stream.window_count, 3u);
    EXPECT_EQ(s.stream.total_out, 6u);
    EXPECT_EQ(s.stream.total_in, s.delta.size());
    EXPECT_EQ(s.stream.decode_state, STATE_WINDOW_INDICATOR);
    EXPECT_EQ(close_stream(&s.stream), 0);
}

TEST(Stream, SourceBytesComeFromTheRightBlock) {
    Bytes source(40000);
    for (std::size_t i = 0; i < source.size(); i++) {
        source[i] = static_cast<unsigned char>(i * 7 + i / 251);
    }
    Stepper s;
    s.source_bytes = &source;
    s.source.block_size = 16384;
    s.delta = plain_header();
    // Segment from 16380: address 10 is block 1, offset 6. Then a COPY of 16400
    // from address 0, which runs over the end of block 1 into block 2.
    put_window(&s.delta, {.indicator = 1,
                          .source_length = 16500,
                          .source_offset = 16380,
                          .target_length = 16401,
                          .instructions = {19, 1, 19, 0x81, 0x80, 0x10},
                          .addresses = {10, 0}});
    s.start();
    s.load(0);

    ASSERT_EQ(s.run(true), DECODE_NEED_SOURCE_BLOCK);
    EXPECT_EQ(s.source.requested_block_number, 1u);
    s.load(1);
    ASSERT_EQ(s.run(true), DECODE_NEED_SOURCE_BLOCK); // COPY 16400 starts in block 0
    EXPECT_EQ(s.source.requested_block_number, 0u);
    s.load(0);
    ASSERT_EQ(s.run(true), DECODE_NEED_SOURCE_BLOCK);
    EXPECT_EQ(s.source.requested_block_number, 1u);
    EXPECT_EQ(s.stream.avail_out, 1u + 4u); // 4 bytes of block 0 were copied
    s.load(1);
    ASSERT_EQ(s.run(true), DECODE_NEED_SOURCE_BLOCK);
    EXPECT_EQ(s.source.requested_block_number, 2u);
    s.load(2);
    EXPECT_EQ(s.run(), DECODE_NEED_INPUT);

    Bytes expected = {source[16390]};
    expected.insert(expected.end(), source.begin() + 16380, source.begin() + 16380 + 16400);
    EXPECT_EQ(s.output, expected);
}

std::int32_t too_far_back(DeltaStream*, DeltaSource*, usize_t) {
    return DECODE_TOO_FAR_BACK;
}

std::int32_t loads_nothing(DeltaStream*, DeltaSource*, usize_t) {
    return 0;
}

const Bytes HOOK_SOURCE(50000, 'z');

std::int32_t loads_block(DeltaStream*, DeltaSource* source, usize_t block) {
    source->current_block = HOOK_SOURCE.data() + block * source->block_size;
    source->current_block_number = block;
    source->block_bytes = source->block_size;
    return 0;
}

TEST(Stream, GetBlockHookAnswers) {
    struct Row {
        GetBlockHook hook;
        std::int32_t status;
        const char* message;
    };
    const Row rows[] = {
        {too_far_back, DECODE_INTERNAL, "non-seekable source in decode"},
        {loads_nothing, DECODE_INTERNAL, "getblk did not load the requested block"},
        {loads_block, DECODE_NEED_INPUT, "further input required"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        Stepper s;
        s.source_bytes = &HOOK_SOURCE;
        s.source.block_size = 16384;
        s.delta = plain_header();
        put_window(&s.delta, {.indicator = 1,
                              .source_length = 100,
                              .source_offset = 20000,
                              .target_length = 4,
                              .instructions = {20},
                              .addresses = {0}});
        DeltaConfig config = {};
        config.getblk = row.hook;
        s.start(&config);
        EXPECT_EQ(s.run(true), row.status);
        EXPECT_STREQ(s.stream.message, row.message);
    }
}

template <std::int32_t status>
std::int32_t answers(DeltaStream*, DeltaSource*, usize_t) {
    return status;
}

std::int32_t fails_with_message(DeltaStream* stream, DeltaSource*, usize_t) {
    stream->message = "source unreadable";
    return 5;
}

TEST(Stream, GetBlockHookStatusesThatAreNotAnAnswer) {
    struct Row {
        GetBlockHook hook;
        std::int32_t status;
        const char* message;
    };
    const Row rows[] = {
        // Reports and requests belong to decode_input: from the hook they
        // would hand out a half-built window or ask the caller for a block.
        {answers<DECODE_HAVE_OUTPUT>, DECODE_INTERNAL, "getblk returned an unexpected status"},
        {answers<DECODE_NEED_SOURCE_BLOCK>, DECODE_INTERNAL,
         "getblk returned an unexpected status"},
        {answers<DECODE_NEED_INPUT>, DECODE_INTERNAL, "getblk returned an unexpected status"},
        {answers<DECODE_WINDOW_FINISH>, DECODE_INTERNAL, "getblk returned an unexpected status"},
        // A failure stays the hook's own, with a message even when it set none.
        {answers<DECODE_OUT_OF_MEMORY>, DECODE_OUT_OF_MEMORY, "getblk could not load a block"},
        {answers<5>, 5, "getblk could not load a block"},
        {fails_with_message, 5, "source unreadable"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        Stepper s;
        s.source_bytes = &HOOK_SOURCE;
        s.source.block_size = 16384;
        s.delta = plain_header();
        put_window(&s.delta, {.indicator = 1,
                              .source_length = 100,
                              .source_offset = 20000,
                              .target_length = 4,
                              .instructions = {20},
                              .addresses = {0}});
        DeltaConfig config = {};
        config.getblk = row.hook;
        s.start(&config);
        ASSERT_EQ(decode_input(&s.stream), DECODE_GOT_HEADER);
        EXPECT_EQ(decode_input(&s.stream), row.status);
        EXPECT_STREQ(s.stream.message, row.message);
        EXPECT_EQ(decode_input(&s.stream), row.status); // final
    }
}

// A stream that stopped on a range request, answered, and was given up
// leaves the request in the caller's DeltaSource: the next stream on it
// must not take its own first long COPY as already filled.
TEST(Stream, ReusedSourceCarriesNoRangeIntoTheNextStream) {
    Bytes source(1000);
    for (std::size_t i = 0; i < source.size(); i++) {
        source[i] = static_cast<unsigned char>(i * 13 + 1);
    }
    DeltaConfig config = {};
    config.alloc = poisoned_alloc;
    Stepper s;
    s.source_bytes = &source;
    s.source.block_size = 16384;
    s.source.fill_minimum = 32;
    s.delta = plain_header();
    put_window(&s.delta, {.indicator = 1,
                          .source_length = 64,
                          .source_offset = 100,
                          .target_length = 64,
                          .instructions = {19, 64},
                          .addresses = {0}});
    s.start(&config);
    ASSERT_EQ(s.run(true), DECODE_NEED_SOURCE_BLOCK);
    ASSERT_EQ(s.source.fill_length, 64u);
    s.fill();
    free_stream(&s.stream);

    s.start(&config);
    EXPECT_EQ(s.run(), DECODE_NEED_INPUT) << s.stream.message;
    EXPECT_EQ(s.output, Bytes(source.begin() + 100, source.begin() + 164));
}

// FLAG_SKIP_CHECKSUM may change between calls: the flag as it stands when a
// window is complete decides whether that window is verified, and a verified
// window is summed whole, also over bytes made while the flag was set.
TEST(Stream, SkipChecksumChangedInsideAWindow) {
    Bytes source(40000);
    for (std::size_t i = 0; i < source.size(); i++) {
        source[i] = static_cast<unsigned char>(i * 7 + i / 251);
    }
    // A RUN past the checksum's step of 64 KiB, then a COPY from block 1:
    // the window stops for the block after the RUN's bytes were summed, or
    // skipped.
    Bytes target(70100, 'r');
    std::copy(source.begin() + 20000, source.begin() + 20100, target.begin() + 70000);
    const std::uint32_t right = adler32(1, target.data(), target.size());
    Bytes instructions = {0, 0x84, 0xA2, 0x70, 19, 100}; // RUN 70000, COPY 100
    struct Row {
        const char* name;
        std::uint32_t at_start, at_block;
        std::uint32_t checksum;
        std::int32_t status;
    };
    const Row rows[] = {
        {"SkippedThenVerified", FLAG_SKIP_CHECKSUM, 0, right, DECODE_NEED_INPUT},
        {"SkippedThenVerifiedWrong", FLAG_SKIP_CHECKSUM, 0, right ^ 1, DECODE_CHECKSUM_MISMATCH},
        {"VerifiedThenSkipped", 0, FLAG_SKIP_CHECKSUM, right ^ 1, DECODE_NEED_INPUT},
        {"VerifiedThroughout", 0, 0, right, DECODE_NEED_INPUT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Stepper s;
        s.source_bytes = &source;
        s.source.block_size = 16384;
        s.delta = plain_header();
        put_window(&s.delta, {.indicator = 1 | 4,
                              .source_length = 100,
                              .source_offset = 20000,
                              .target_length = target.size(),
                              .data = {'r'},
                              .instructions = instructions,
                              .addresses = {0},
                              .checksum = row.checksum});
        DeltaConfig config = {};
        config.flags = FLAG_ADLER32 | row.at_start;
        s.start(&config);
        ASSERT_EQ(s.run(true), DECODE_NEED_SOURCE_BLOCK);
        ASSERT_EQ(s.stream.avail_out, 70000u);
        s.stream.flags = FLAG_ADLER32 | row.at_block;
        s.load(s.source.requested_block_number);
        EXPECT_EQ(s.run(), row.status) << s.stream.message;
        if (row.status == DECODE_NEED_INPUT) {
            EXPECT_EQ(s.output, target);
        }
    }
}

TEST(Stream, FailedSecondHalfExecutesNeitherHalf) {
    Stepper s;
    s.delta = plain_header();
    // 172: ADD 4 + COPY 4 in SELF mode; address 9 is beyond here (4).
    put_window(&s.delta,
               {.target_length = 8, .data = {1, 2, 3, 4}, .instructions = {172}, .addresses = {9}});
    s.start();
    EXPECT_EQ(s.run(), DECODE_INVALID_INPUT);
    EXPECT_STREQ(s.stream.message, "address too large");
    EXPECT_EQ(s.stream.avail_out, 0u);
    // A failure is final, whatever the caller does next.
    EXPECT_EQ(decode_input(&s.stream), DECODE_INVALID_INPUT);
    EXPECT_STREQ(s.stream.message, "address too large");
    EXPECT_EQ(close_stream(&s.stream), DECODE_INVALID_INPUT);
}

TEST(Stream, WindowLargerThanTheBufferReplacesIt) {
    Allocations allocations;
    DeltaConfig config = {};
    config.alloc = counting_alloc;
    config.free = counting_free;
    config.opaque = &allocations;
    Stepper s;
    s.delta = plain_header();
    for (usize_t length : {100u, 16384u, 16385u, 5u, 40000u}) {
        put_window(&s.delta,
                   {.target_length = length,
                    .data = {'r'},
                    .instructions = {0, static_cast<unsigned char>(0x80 | (length >> 14)),
                                     static_cast<unsigned char>(0x80 | ((length >> 7) & 0x7F)),
                                     static_cast<unsigned char>(length & 0x7F)}});
    }
    s.start(&config);
    EXPECT_EQ(s.run(), DECODE_NEED_INPUT);
    EXPECT_EQ(s.output.size(), 100u + 16384u + 16385u + 5u + 40000u);
    EXPECT_EQ(s.stream.space_out, 49152u);
    std::vector<std::uint32_t> target_sizes;
    for (const auto& request : allocations.requests) {
        target_sizes.push_back(request.first);
    }
    const std::vector<std::uint32_t> expected = {4, 768, 16384, 32768, 49152};
    EXPECT_EQ(target_sizes, expected);
}

} // namespace
