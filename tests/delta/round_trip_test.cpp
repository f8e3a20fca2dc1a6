// Deltas from our own encoder, decoded again under every way of cutting the
// input and every block size: the decoder must give back the target.

#include "delta/adler32.h"
#include "delta/code_table.h"
#include "tests/delta/decode_helpers.h"
#include "tests/support/vcdiff/encoder.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Variant {
    Chunking chunking;
    usize_t block_size;
    usize_t fill_minimum; // source COPYs this long and longer come as ranges
};

// Block sizes 1 and 2 split nearly every source COPY; 20000 becomes 32768.
// With a fill minimum of 1 every source COPY is a range request; with 100
// the short ones still go through blocks.
const Variant VARIANTS[] = {
    {CHUNK_WHOLE, 16384, 0},  {CHUNK_WHOLE, 1, 0},      {CHUNK_ONE_BYTE, 2, 0},
    {CHUNK_RANDOM, 20000, 0}, {CHUNK_RANDOM, 16384, 0}, {CHUNK_ONE_BYTE, 16384, 0},
    {CHUNK_RANDOM, 16384, 1}, {CHUNK_ONE_BYTE, 2, 100},
};

void expect_decodes_to(const Bytes& delta, const Bytes& source, const Bytes& target,
                       std::uint64_t seed) {
    for (const Variant& variant : VARIANTS) {
        SCOPED_TRACE(testing::Message() << "chunking " << variant.chunking << " block "
                                        << variant.block_size << " fill " << variant.fill_minimum);
        DecodeSetup setup;
        setup.source = &source;
        setup.block_size = variant.block_size;
        setup.fill_minimum = variant.fill_minimum;
        setup.chunking = variant.chunking;
        setup.seed = seed;
        setup.max_piece = 1 + seed % 3000;
        const DecodeResult result = decode_delta(delta, setup);
        ASSERT_EQ(result.status, 0) << result.message;
        ASSERT_EQ(result.output.size(), target.size());
        ASSERT_TRUE(result.output == target);
    }
}

// What a window's instructions produce, executed the plain way.
Bytes reference_target(const VcdiffWindowSpec& window, const Bytes& source,
                       const std::vector<VcdiffInstruction>& instructions) {
    const std::uint64_t segment = window.has_source ? window.source_length : 0;
    Bytes target;
    for (const VcdiffInstruction& in : instructions) {
        for (std::uint64_t i = 0; i < in.size; i++) {
            const std::uint64_t a = in.address + i;
            switch (in.kind) {
            case VCDIFF_ADD:
                target.push_back(in.bytes[i]);
                break;
            case VCDIFF_RUN:
                target.push_back(in.bytes[0]);
                break;
            case VCDIFF_COPY:
                target.push_back(a < segment ? source[window.source_offset + a]
                                             : target[a - segment]);
                break;
            }
        }
    }
    return target;
}

// Every code of the default table, each in a window of its own: the halves
// it stands for, with a size it has no immediate for where its size is 0,
// and a COPY address the preferred mode can express. A SAME mode needs the
// address cached first, by an earlier COPY of it, kept from pairing by a RUN.
TEST(RoundTrip, EveryCode) {
    std::uint64_t random = 77;
    const Bytes source = random_bytes(&random, 1500);
    const Bytes bytes = random_bytes(&random, 64);
    const unsigned char run_byte = 'x';
    const CodeTable* table = default_code_table();
    for (int code = 0; code < 256; code++) {
        SCOPED_TRACE(code);
        const CodeTableEntry& entry = table->entries[code];
        const unsigned halves[2][2] = {{entry.first_type, entry.first_size},
                                       {entry.second_type, entry.second_size}};
        std::vector<VcdiffInstruction> instructions;
        VcdiffStyle style = {};
        for (const auto& half : halves) {
            const std::uint64_t size = half[1] != 0 ? half[1] : 25;
            if (half[0] == HALF_ADD) {
                instructions.push_back({VCDIFF_ADD, size, 0, bytes.data()});
            } else if (half[0] == HALF_RUN) {
                instructions.push_back({VCDIFF_RUN, size, 0, &run_byte});
            } else if (half[0] >= HALF_COPY) {
                const unsigned mode = half[0] - HALF_COPY;
                style.prefer_mode = mode + 1;
                const std::uint64_t address = mode >= 6 ? 256 * (mode - 6) + 5 : 300;
                if (mode >= 6) {
                    instructions.insert(instructions.begin(), {{VCDIFF_COPY, 30, address, nullptr},
                                                               {VCDIFF_RUN, 1, 0, &run_byte}});
                }
                instructions.push_back({VCDIFF_COPY, size, address, nullptr});
            }
        }
        VcdiffWindowSpec window = {true, 0, 1000, false, 0, 0};
        for (const VcdiffInstruction& in : instructions) {
            window.target_length += in.size;
        }
        std::uint64_t counts[256] = {};
        style.code_counts = counts;
        Bytes delta;
        vcdiff_write_header(&delta, nullptr, 0);
        ASSERT_TRUE(vcdiff_write_window_styled(&delta, window, instructions.data(),
                                               instructions.size(), style));
        EXPECT_EQ(counts[code], 1u);
        expect_decodes_to(delta, source, reference_target(window, source, instructions), code);
    }
}

// A target made from the source by the edits a translation patch makes:
// moved and repeated pieces, new bytes, runs and short repeating patterns.
Bytes edited_copy(const Bytes& source, std::uint64_t* random, std::size_t length) {
    Bytes target;
    while (target.size() < length) {
        const std::uint64_t pick = next_random(random) % 10;
        const std::size_t n = 1 + next_random(random) % 3000;
        if (pick < 5 && !source.empty()) {
            const std::size_t at = next_random(random) % source.size();
            const std::size_t m = std::min(n, source.size() - at);
            target.insert(target.end(), source.begin() + static_cast<std::ptrdiff_t>(at),
                          source.begin() + static_cast<std::ptrdiff_t>(at + m));
        } else if (pick < 7) {
            const Bytes fresh = random_bytes(random, n % 200);
            target.insert(target.end(), fresh.begin(), fresh.end());
        } else if (pick < 8) {
            target.insert(target.end(), n, static_cast<unsigned char>(next_random(random)));
        } else if (pick < 9 && !target.empty()) {
            const std::size_t at = next_random(random) % target.size();
            const std::size_t m = std::min(n, target.size() - at);
            target.insert(target.end(), target.begin() + static_cast<std::ptrdiff_t>(at),
                          target.begin() + static_cast<std::ptrdiff_t>(at + m));
        } else {
            const Bytes pattern = random_bytes(random, 2 + n % 7);
            for (std::size_t i = 0; i < n; i++) {
                target.push_back(pattern[i % pattern.size()]);
            }
        }
    }
    target.resize(length);
    return target;
}

TEST(RoundTrip, EncodedFiles) {
    struct Row {
        std::size_t source_length, target_length;
        std::uint64_t window_size, match_block;
        bool checksum, whole_segment;
        std::uint64_t style_seed;
    };
    const Row rows[] = {
        {70001, 90000, 16384, 16, true, false, 0},
        {70001, 90000, 4096, 4, false, false, 3},
        {32768, 40000, 65536, 32, true, true, 0},
        {16383, 50000, 1000, 8, true, false, 7},
        {100000, 100000, 100000, 1, false, false, 0},
        {0, 30000, 8192, 16, true, false, 0}, // no source at all
        {5000, 0, 4096, 16, true, false, 0},  // empty target: header only
        {20000, 60000, 20000, 2, true, true, 11},
    };
    std::uint64_t random = 99;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.source_length << "/" << row.window_size << "/" << row.match_block);
        const Bytes source = random_bytes(&random, row.source_length);
        const Bytes target = edited_copy(source, &random, row.target_length);
        const unsigned char app_header[] = "veltrane 1.0";
        VcdiffEncodeOptions options = {};
        options.window_size = row.window_size;
        options.match_block = row.match_block;
        options.with_checksum = row.checksum;
        options.whole_source_segment = row.whole_segment;
        options.style.seed = row.style_seed;
        if (row.checksum) {
            options.app_header = app_header;
            options.app_header_length = sizeof app_header;
        }
        Bytes delta;
        ASSERT_TRUE(vcdiff_encode(source.data(), source.size(), target.data(), target.size(),
                                  options, &delta));
        if (row.target_length > 0 && row.source_length > 0 && row.match_block >= 4) {
            EXPECT_LT(delta.size(), target.size() / 2); // the matcher finds the moved pieces
        }
        expect_decodes_to(delta, source, target, row.source_length + row.window_size);
    }
}

TEST(RoundTrip, WriterRefusesWindowsThatDoNotAddUp) {
    const unsigned char bytes[] = "abcdefgh";
    struct Row {
        const char* name;
        VcdiffWindowSpec window;
        std::vector<VcdiffInstruction> instructions;
        bool accepted;
    };
    const Row rows[] = {
        {"Exact", {false, 0, 0, false, 0, 4}, {{VCDIFF_ADD, 4, 0, bytes}}, true},
        {"Short", {false, 0, 0, false, 0, 5}, {{VCDIFF_ADD, 4, 0, bytes}}, false},
        {"Long", {false, 0, 0, false, 0, 3}, {{VCDIFF_ADD, 4, 0, bytes}}, false},
        {"CopyAtHere", {false, 0, 0, false, 0, 4}, {{VCDIFF_COPY, 4, 0, nullptr}}, false},
        {"SourceCopyIntoTarget", {true, 0, 8, false, 0, 4}, {{VCDIFF_COPY, 4, 6, nullptr}}, false},
        {"OverlappingTargetCopy",
         {true, 0, 8, false, 0, 12},
         {{VCDIFF_ADD, 2, 0, bytes}, {VCDIFF_COPY, 10, 8, nullptr}},
         true},
        {"RunWithoutByte", {false, 0, 0, false, 0, 4}, {{VCDIFF_RUN, 4, 0, nullptr}}, false},
        {"OverHardLimit",
         {false, 0, 0, false, 0, 67108865},
         {{VCDIFF_RUN, 67108865, 0, bytes}},
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes out;
        EXPECT_EQ(
            vcdiff_write_window(&out, row.window, row.instructions.data(), row.instructions.size()),
            row.accepted);
        EXPECT_EQ(out.empty(), !row.accepted);
    }
}

TEST(RoundTrip, CorruptedChecksumIsReportedAndCanBeSkipped) {
    std::uint64_t random = 5;
    const Bytes target = random_bytes(&random, 3000);
    Bytes delta;
    vcdiff_write_header(&delta, nullptr, 0);
    for (std::size_t w = 0; w < 3; w++) {
        const unsigned char* bytes = target.data() + w * 1000;
        // The second window carries a wrong checksum.
        const VcdiffWindowSpec window = {false, 0, 0, true, adler32(1, bytes, 1000) ^ (w == 1),
                                         1000};
        const VcdiffInstruction add = {VCDIFF_ADD, 1000, 0, bytes};
        ASSERT_TRUE(vcdiff_write_window(&delta, window, &add, 1));
    }
    for (Chunking chunking : {CHUNK_WHOLE, CHUNK_ONE_BYTE}) {
        DecodeSetup setup;
        setup.chunking = chunking;
        DecodeResult result = decode_delta(delta, setup);
        EXPECT_EQ(result.status, DECODE_CHECKSUM_MISMATCH);
        EXPECT_EQ(result.message, "target window checksum mismatch");
        EXPECT_TRUE(result.output == Bytes(target.begin(), target.begin() + 1000));

        setup.flags |= FLAG_SKIP_CHECKSUM;
        result = decode_delta(delta, setup);
        EXPECT_EQ(result.status, 0) << result.message;
        EXPECT_TRUE(result.output == target);
    }
}

// A range request answered short, as at the end of the source file, fails
// like a short block does, whether the range is the whole COPY or its rest.
TEST(RoundTrip, SourceRangeCutShortIsSourceTooShort) {
    std::uint64_t random = 9;
    const Bytes source = random_bytes(&random, 50000);
    const Bytes cut(source.begin(), source.begin() + 40000);
    const VcdiffInstruction copy = {VCDIFF_COPY, 30000, 15000, nullptr};
    Bytes delta;
    vcdiff_write_header(&delta, nullptr, 0);
    const VcdiffWindowSpec window = {true, 0, 50000, false, 0, 30000};
    ASSERT_TRUE(vcdiff_write_window(&delta, window, &copy, 1));
    for (const usize_t fill_minimum : {usize_t{1}, usize_t{30000}}) {
        DecodeSetup setup;
        setup.source = &cut;
        setup.fill_minimum = fill_minimum;
        const DecodeResult result = decode_delta(delta, setup);
        EXPECT_EQ(result.status, DECODE_INVALID_INPUT);
        EXPECT_EQ(result.message, "source file too short");
        EXPECT_EQ(result.fill_requests, 1);

        setup.source = &source;
        const DecodeResult whole = decode_delta(delta, setup);
        EXPECT_EQ(whole.status, 0) << whole.message;
        EXPECT_TRUE(whole.output == Bytes(source.begin() + 15000, source.begin() + 45000));
    }
}

// Streams may start on several threads at once, the first ones of the
// process included: the checksum kernel is then chosen, and the default code
// table read, by all of them together. ThreadSanitizer names any race,
// whether or not the threads happen to overlap.
TEST(RoundTrip, StreamsStartTogetherOnSeveralThreads) {
    std::uint64_t random = 5;
    const Bytes source = random_bytes(&random, 50000);
    const Bytes target = edited_copy(source, &random, 80000);
    VcdiffEncodeOptions options = {};
    options.window_size = 8192;
    options.match_block = 16;
    options.with_checksum = true;
    Bytes delta;
    ASSERT_TRUE(
        vcdiff_encode(source.data(), source.size(), target.data(), target.size(), options, &delta));
    adler32_reset_kernel();
    DecodeSetup setup;
    setup.source = &source;
    DecodeResult results[4];
    std::thread threads[4];
    for (int t = 0; t < 4; t++) {
        threads[t] = std::thread([&, t] { results[t] = decode_delta(delta, setup); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const DecodeResult& result : results) {
        EXPECT_EQ(result.status, 0) << result.message;
        EXPECT_TRUE(result.output == target);
    }
}

} // namespace
