// Hand-made deltas, one row each, grouped by the stage that must refuse
// them: every row names the status and message the decoder must give, fed
// whole and one byte per call.

#include "delta/adler32.h"
#include "tests/delta/decode_helpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const Bytes SIXTEEN = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                       'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'};
const Bytes TEN(SIXTEEN.begin(), SIXTEEN.begin() + 10);

struct Row {
    const char* name;
    Bytes delta;
    std::int32_t status;
    const char* message; // "" for success
    const Bytes* source = &SIXTEEN;
    usize_t block_size = 16384;
    std::uint32_t flags = FLAG_ADLER32;
};

Bytes header_then(std::initializer_list<unsigned char> rest) {
    Bytes bytes = {0xD6, 0xC3, 0xC4, 0x00};
    for (unsigned char byte : rest) {
        bytes.push_back(byte);
    }
    return bytes;
}

Bytes one_window(const RawWindow& window) {
    Bytes bytes = plain_header();
    put_window(&bytes, window);
    return bytes;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes varint(std::uint64_t value) {
    Bytes bytes;
    put_varint(&bytes, value);
    return bytes;
}

std::uint32_t adler_of(const char* text) {
    const std::string s = text;
    return adler32(1, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

void check_rows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        for (Chunking chunking : {CHUNK_WHOLE, CHUNK_ONE_BYTE}) {
            SCOPED_TRACE(std::string(row.name) + (chunking == CHUNK_WHOLE ? " whole" : " bytes"));
            DecodeSetup setup;
            setup.source = row.source;
            setup.block_size = row.block_size;
            setup.flags = row.flags;
            setup.chunking = chunking;
            const DecodeResult result = decode_delta(row.delta, setup);
            EXPECT_EQ(result.status, row.status);
            EXPECT_EQ(result.message, row.message);
        }
    }
}

constexpr std::uint64_t ALL_ONES = ~std::uint64_t{0};

TEST(MalformedDelta, FileHeader) {
    check_rows({
        {"BadMagic", {0xD6, 0xC3, 0xC5, 0x00, 0x00}, DECODE_INVALID_INPUT, "not a VCDIFF input"},
        {"Version1",
         {0xD6, 0xC3, 0xC4, 0x01, 0x00},
         DECODE_INVALID_INPUT,
         "VCDIFF input version > 0 is not supported"},
        {"HeaderIndicatorBit3", header_then({0x08}), DECODE_INVALID_INPUT,
         "unrecognized header indicator bits set"},
        {"SecondaryDjw", header_then({0x01, 1}), DECODE_INTERNAL,
         "unavailable secondary compressor: DJW Static Huffman"},
        {"SecondaryLzma", header_then({0x01, 2}), DECODE_INTERNAL,
         "unavailable secondary compressor: LZMA"},
        {"SecondaryFgk", header_then({0x01, 16}), DECODE_INTERNAL,
         "unavailable secondary compressor: FGK Adaptive Huffman"},
        {"SecondaryUnknown", header_then({0x01, 3}), DECODE_INVALID_INPUT,
         "unknown secondary compressor ID"},
        {"CodeTableSize2", header_then({0x02, 2}), DECODE_OUT_OF_MEMORY, "invalid code table size"},
        {"CodeTable", header_then({0x02, 3, 4, 3}), DECODE_UNIMPLEMENTED,
         "VCD_CODETABLE support was removed"},
        {"AppHeaderAllOnes", cat(header_then({0x04}), varint(ALL_ONES)), DECODE_INVALID_INPUT,
         "exceptional appheader size"},
        // Its length plus the trailing zero cannot be one 32-bit allocation.
        {"AppHeaderPast32Bits", cat(header_then({0x04}), varint(0xFFFFFFFFu)), DECODE_OUT_OF_MEMORY,
         "out of memory"},
        {"AppHeaderPastTheLargestWindow", cat(header_then({0x04}), varint(67108865)),
         DECODE_OUT_OF_MEMORY, "out of memory"},
        {"IntegerPast64Bits",
         header_then({0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
         DECODE_INVALID_INPUT, "overflow in decode_integer"},
        {"TruncatedMagic", {0xD6, 0xC3, 0xC4}, DECODE_INVALID_INPUT, "eof in decode"},
        {"TruncatedAppHeader", header_then({0x04, 5, 'a', 'b'}), DECODE_INVALID_INPUT,
         "eof in decode"},
        {"Empty", {}, 0, ""},
        {"HeaderOnly", plain_header(), 0, ""},
        {"AppHeaderLeadingZeroGroups", header_then({0x04, 0x80, 0x80, 0x80, 5, 1, 2, 3, 4, 5}), 0,
         ""},
    });
}

TEST(MalformedDelta, WindowHeader) {
    const std::uint64_t half = std::uint64_t{1} << 63;
    // The length rule summed with wrap-around would give 5 here: 1 + 1 +
    // 10 + 1 + 1 + (2^64 - 9).
    const Bytes wrapping =
        cat(cat(cat(plain_header(), {0x00, 5, 0x00, 0x00}), varint(ALL_ONES - 8)), {0x00, 0x00});
    check_rows({
        {"WindowIndicatorBit3", cat(plain_header(), {0x08}), DECODE_INVALID_INPUT,
         "unrecognized window indicator bits set"},
        {"SegmentEndPast64Bits",
         one_window({.indicator = 1, .source_length = half, .source_offset = half}),
         DECODE_INVALID_INPUT, "decoder copy window overflows a file offset"},
        {"TargetSegmentBeyondWindowStart", one_window({.indicator = 2, .source_length = 1}),
         DECODE_INVALID_INPUT, "VCD_TARGET window out of bounds"},
        {"TargetPlusSegmentPast64Bits",
         one_window({.indicator = 1, .source_length = ALL_ONES, .target_length = 1}),
         DECODE_INVALID_INPUT, "decoder target window overflows a usize_t"},
        {"TargetWindowOver64MiB", one_window({.target_length = 67108865}), DECODE_INVALID_INPUT,
         "hard window size exceeded"},
        {"DeltaIndicatorCompressed", one_window({.delta_indicator = 1}), DECODE_INVALID_INPUT,
         "invalid delta indicator bits set"},
        {"DeltaIndicatorBit3", one_window({.delta_indicator = 8}), DECODE_INVALID_INPUT,
         "unrecognized delta indicator bits set"},
        {"EncodingLengthOneLong", one_window({.length_error = 1}), DECODE_INVALID_INPUT,
         "incorrect encoding length (redundent)"},
        {"EncodingLengthOneShort", one_window({.indicator = 4, .length_error = -1}),
         DECODE_INVALID_INPUT, "incorrect encoding length (redundent)"},
        {"EncodingLengthWraps", wrapping, DECODE_INVALID_INPUT,
         "incorrect encoding length (redundent)"},
        {"TargetWindow", one_window({.indicator = 3}), DECODE_UNIMPLEMENTED,
         "VCD_TARGET not implemented"},
        {"TruncatedWindowHeader", cat(plain_header(), {0x01, 0x10}), DECODE_INVALID_INPUT,
         "eof in decode"},
        {"Window64MiB",
         one_window({.target_length = 67108864,
                     .data = {'q'},
                     .instructions = cat({0}, varint(67108864))}),
         0, ""},
    });
}

TEST(MalformedDelta, Sections) {
    // 2^32 data bytes announced, one present: the copy buffer it would need
    // cannot be asked for with a 32-bit count.
    const Bytes huge_section =
        cat(cat(cat(plain_header(), {0x00}), varint((std::uint64_t{1} << 32) + 9)),
            cat(cat({0x00, 0x00}, varint(std::uint64_t{1} << 32)), {0, 0, 'x'}));
    const RawWindow copy_abcd = {.indicator = 1,
                                 .source_length = 16,
                                 .target_length = 4,
                                 .instructions = {20},
                                 .addresses = {0}};
    check_rows({
        {"SourceWithoutSetSource", one_window(copy_abcd), DECODE_INVALID_INPUT,
         "source input required", nullptr},
        {"SectionPast32Bits", huge_section, DECODE_OUT_OF_MEMORY, "out of memory"},
        {"TruncatedSection", cat(plain_header(), {0x00, 0x08, 0x02, 0x00, 0x02, 0x01, 0x00, 'a'}),
         DECODE_INVALID_INPUT, "eof in decode"},
        {"SourceWindow", one_window(copy_abcd), 0, ""},
    });
}

TEST(MalformedDelta, InstructionsAndAddresses) {
    const Bytes nine_ff_7f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    check_rows({
        {"SizeCutOff", one_window({.target_length = 4, .instructions = {0x01, 0x81}}),
         DECODE_INVALID_INPUT, "end-of-input in read_integer"},
        {"SizePast64Bits",
         one_window({.target_length = 4, .instructions = cat({0x01}, nine_ff_7f)}),
         DECODE_INVALID_INPUT, "overflow in read_intger"},
        {"SameModeWithoutByte",
         one_window(
             {.indicator = 1, .source_length = 16, .target_length = 4, .instructions = {116}}),
         DECODE_INVALID_INPUT, "address underflow"},
        {"AddressCutOff",
         one_window({.indicator = 1,
                     .source_length = 16,
                     .target_length = 4,
                     .instructions = {20},
                     .addresses = {0x80}}),
         DECODE_INVALID_INPUT, "end-of-input in read_integer"},
        {"CopyAtWritePosition",
         one_window({.target_length = 4, .instructions = {20}, .addresses = {0}}),
         DECODE_INVALID_INPUT, "address too large"},
        {"HereBeforeAddressZero",
         one_window({.indicator = 1,
                     .source_length = 16,
                     .target_length = 4,
                     .instructions = {36},
                     .addresses = {17}}),
         DECODE_INVALID_INPUT, "address too large"},
        {"SourceCopyIntoTarget",
         one_window({.indicator = 1,
                     .source_length = 16,
                     .target_length = 4,
                     .instructions = {20},
                     .addresses = {14}}),
         DECODE_INVALID_INPUT, "size too large"},
        {"PastTargetWindow",
         one_window({.target_length = 4, .data = {1, 2, 3, 4, 5}, .instructions = {6}}),
         DECODE_INVALID_INPUT, "size too large"},
        {"AddWithoutData", one_window({.target_length = 3, .data = {1, 2}, .instructions = {4}}),
         DECODE_INVALID_INPUT, "data underflow"},
        {"RunWithoutData", one_window({.target_length = 3, .instructions = {0, 3}}),
         DECODE_INVALID_INPUT, "data underflow"},
        {"SourceShortBlock",
         one_window({.indicator = 1,
                     .source_length = 16,
                     .target_length = 16,
                     .instructions = {19, 16},
                     .addresses = {0}}),
         DECODE_INVALID_INPUT, "source file too short", &TEN},
        // The source ends exactly at a block boundary; the next block is empty.
        {"SourceEmptyNextBlock",
         one_window({.indicator = 1,
                     .source_length = 20,
                     .target_length = 20,
                     .instructions = {19, 20},
                     .addresses = {0}}),
         DECODE_INVALID_INPUT, "source file too short", &SIXTEEN, 16},
        {"ZeroSizeRunAndAdd",
         one_window({.target_length = 0, .data = {'x'}, .instructions = {0, 0, 1, 0}}), 0, ""},
        {"ZeroSizeSourceCopy",
         one_window(
             {.indicator = 1, .source_length = 16, .instructions = {19, 0}, .addresses = {3}}),
         0, ""},
    });
}

TEST(MalformedDelta, Completion) {
    const std::uint32_t abcd = adler_of("abcd");
    const RawWindow add_abcd = {.indicator = 4,
                                .target_length = 4,
                                .data = {'a', 'b', 'c', 'd'},
                                .instructions = {5},
                                .checksum = abcd ^ 1};
    RawWindow good = add_abcd;
    good.checksum = abcd;
    check_rows({
        {"TooFewBytes", one_window({.target_length = 5, .data = {1, 2, 3, 4}, .instructions = {5}}),
         DECODE_INVALID_INPUT, "wrong window length"},
        {"TooFewBytesAndExtraData",
         one_window({.target_length = 5, .data = {1, 2, 3, 4, 5}, .instructions = {5}}),
         DECODE_INVALID_INPUT, "wrong window length"},
        {"ExtraData",
         one_window({.target_length = 4, .data = {1, 2, 3, 4, 5}, .instructions = {5}}),
         DECODE_INVALID_INPUT, "extra data section"},
        {"ExtraAddressBeforeChecksum",
         one_window({.indicator = 4,
                     .target_length = 8,
                     .data = {'a', 'b', 'c', 'd'},
                     .instructions = {172},
                     .addresses = {0, 0},
                     .checksum = 0}),
         DECODE_INVALID_INPUT, "extra address section"},
        {"ChecksumMismatch", one_window(add_abcd), DECODE_CHECKSUM_MISMATCH,
         "target window checksum mismatch"},
        {"ChecksumSkipped", one_window(add_abcd), 0, "", &SIXTEEN, 16384,
         FLAG_ADLER32 | FLAG_SKIP_CHECKSUM},
        {"ChecksumMatches", one_window(good), 0, ""},
        {"EndsInsideWindow", cat(plain_header(), {0x00, 0x06, 0x04, 0x00, 0x02, 0x01}),
         DECODE_INVALID_INPUT, "eof in decode"},
    });
}

TEST(MalformedDelta, StreamConfiguration) {
    struct ConfigRow {
        std::uint32_t flags;
        usize_t sprevsz;
        std::int32_t status;
        const char* message;
    };
    const ConfigRow rows[] = {
        {0x40, 0, DECODE_INTERNAL, "unavailable secondary compressor: FGK Adaptive Huffman"},
        {0x20, 0, DECODE_INTERNAL, "unavailable secondary compressor: DJW Static Huffman"},
        {0x1000000, 0, DECODE_INTERNAL, "unavailable secondary compressor: LZMA"},
        {0x60, 0, DECODE_INTERNAL, "too many secondary compressor types set"},
        {0x1000060, 0, DECODE_INTERNAL, "too many secondary compressor types set"},
        {0x80, 0, DECODE_INTERNAL, "SEC flags require a secondary compressor type"},
        {0x200, 0, DECODE_INTERNAL, "SEC flags require a secondary compressor type"},
        {0x400, 3, DECODE_INTERNAL, "sprevsz is required to be a power of two"},
        {0x400, 0, 0, nullptr},
        {0x410, 1, 0, nullptr},
        {0x400, std::uint64_t{1} << 63, 0, nullptr},
    };
    for (const ConfigRow& row : rows) {
        SCOPED_TRACE(row.flags);
        DeltaConfig config = {};
        config.flags = row.flags;
        config.sprevsz = row.sprevsz;
        DeltaStream stream;
        EXPECT_EQ(configure_stream(&stream, &config), row.status);
        EXPECT_EQ(stream.message == nullptr ? std::string("(null)") : std::string(stream.message),
                  row.message == nullptr ? "(null)" : row.message);
        // A refused configuration decodes nothing afterwards.
        const unsigned char byte = 0xD6;
        stream.next_in = &byte;
        stream.avail_in = 1;
        EXPECT_EQ(decode_input(&stream), row.status == 0 ? DECODE_NEED_INPUT : row.status);
        free_stream(&stream);
    }
}

} // namespace
