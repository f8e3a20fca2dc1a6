#include "demo_kit/source_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string source_string(std::uint64_t offset, std::size_t length) {
    std::string bytes(length, '?');
    kit_source_bytes(offset, reinterpret_cast<unsigned char*>(bytes.data()), length);
    return bytes;
}

} // namespace

TEST(KitSourceImage, CarriesBothSignatures) {
    EXPECT_EQ(source_string(593928, 21), "cdrom0:\\SXKQ_805.17;1");
    EXPECT_EQ(source_string(2398042, 8), ".unknvma");
    // Read as part of larger ranges too.
    EXPECT_EQ(source_string(593928 - 1000, 3000).substr(1000, 21), "cdrom0:\\SXKQ_805.17;1");
}

TEST(KitSourceImage, HasDataInEveryQuarterMebibyteUpToItsEnd) {
    const std::size_t CELL = 262144;
    std::vector<unsigned char> bytes(CELL);
    for (std::uint64_t offset = 0; offset < KIT_SOURCE_SIZE; offset += CELL) {
        const std::size_t length = KIT_SOURCE_SIZE - offset < CELL
                                       ? static_cast<std::size_t>(KIT_SOURCE_SIZE - offset)
                                       : CELL;
        kit_source_bytes(offset, bytes.data(), length);
        std::size_t nonzero = 0;
        for (std::size_t i = 0; i < length; ++i) {
            nonzero += bytes[i] != 0 ? 1 : 0;
        }
        ASSERT_GT(nonzero, 3800u) << "cell at " << offset;
        ASSERT_LT(nonzero, 4200u) << "cell at " << offset;
    }
    // The image ends in data, and nothing lies beyond it.
    EXPECT_NE(source_string(KIT_SOURCE_SIZE - 64, 64), std::string(64, '\0'));
    EXPECT_EQ(source_string(KIT_SOURCE_SIZE - 10, 20).substr(10), std::string(10, '\0'));
    EXPECT_EQ(source_string(KIT_SOURCE_SIZE + 5, 7), std::string(7, '\0'));
}

TEST(KitSourceImage, AnyRangeReadsTheSameWhateverItIsCutInto) {
    const struct {
        std::uint64_t offset;
        std::size_t length;
    } RANGES[] = {
        {0, 300000},
        {593928 - 17, 5000},
        {(1ull << 30) - 100000, 400000},
        {KIT_SOURCE_SIZE - 300000, 300000},
    };
    for (const auto& range : RANGES) {
        const std::string whole = source_string(range.offset, range.length);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{4095}, std::size_t{65536}}) {
            std::string pieces;
            for (std::size_t at = 0; at < range.length; at += piece) {
                const std::size_t take = range.length - at < piece ? range.length - at : piece;
                pieces += source_string(range.offset + at, take);
            }
            ASSERT_EQ(pieces, whole) << range.offset << " in pieces of " << piece;
        }
    }
}
