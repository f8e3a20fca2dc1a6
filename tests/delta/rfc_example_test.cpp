// RFC 3284's worked example (section 4.3), assembled by hand with the
// default code table.

#include "tests/delta/decode_helpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string SOURCE = "abcdefghijklmnop";
const std::string TARGET = "abcdwxyzefghefghefghefghzzzz";

// COPY 4 from 0, ADD "wxyz", COPY 4 from 4, COPY 12 from 24 (overlapping its
// own output), RUN 4 of 'z'.
const Bytes DELTA = {
    0xD6, 0xC3, 0xC4, 0x00, 0x00, // magic, version 0, no header options
    0x01,                         // Win_Indicator: VCD_SOURCE
    0x10, 0x00,                   // source segment of 16 bytes at 0
    0x12,                         // 18 bytes of delta encoding follow
    0x1C,                         // 28 target bytes
    0x00,                         // Delta_Indicator
    0x05, 0x05, 0x03,             // data, instructions, addresses lengths
    'w',  'x',  'y',  'z',  'z',  // data: the ADD bytes, then the RUN byte
    0x14,                         // 20: COPY size 4, mode SELF
    0xAC,                         // 172: ADD size 4 + COPY size 4, mode SELF
    0x2C,                         // 44: COPY size 12, mode HERE
    0x00, 0x04,                   // 0: RUN, size 4 follows
    0x00,                         // SELF 0
    0x04,                         // SELF 4
    0x04,                         // HERE: 28 - 4 = 24
};

struct ExampleCase {
    const char* name;
    Chunking chunking;
    usize_t block_size;
    bool copies_sections; // whole input uses the sections in place
};

class RfcExample : public testing::TestWithParam<ExampleCase> {};

TEST_P(RfcExample, DecodesToTheTarget) {
    const Bytes source(SOURCE.begin(), SOURCE.end());
    DecodeSetup setup;
    setup.source = &source;
    setup.chunking = GetParam().chunking;
    setup.block_size = GetParam().block_size;
    const DecodeResult result = decode_delta(DELTA, setup);

    EXPECT_EQ(result.status, 0) << result.message;
    EXPECT_EQ(std::string(result.output.begin(), result.output.end()), TARGET);
    EXPECT_EQ(result.headers, 1);
    EXPECT_EQ(result.windows, 1);
    EXPECT_EQ(result.data_copied, GetParam().copies_sections);
}

INSTANTIATE_TEST_SUITE_P(
    Chunkings, RfcExample,
    testing::Values(ExampleCase{"Whole", CHUNK_WHOLE, 16384, false},
                    ExampleCase{"OneByte", CHUNK_ONE_BYTE, 16384, true},
                    // 3-byte blocks: the source COPYs straddle block boundaries.
                    ExampleCase{"WholeTinyBlocks", CHUNK_WHOLE, 3, false},
                    ExampleCase{"OneByteTinyBlocks", CHUNK_ONE_BYTE, 1, true}),
    [](const testing::TestParamInfo<ExampleCase>& case_info) { return case_info.param.name; });

} // namespace
