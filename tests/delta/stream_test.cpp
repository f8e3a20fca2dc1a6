// The stream's life cycle, its allocation hooks, source blocks and the
// reports decode_input makes along the way.

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
