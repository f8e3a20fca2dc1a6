#include "delta/adler32.h"
#include "tests/delta/adler32_reference.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::uint32_t of(const std::string& s) {
    return adler32(1, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

TEST(Adler32, KnownValues) {
    EXPECT_EQ(adler32(1, nullptr, 0), 1u);
    EXPECT_EQ(adler32(0x12345678, nullptr, 0), 0x12345678u);
    EXPECT_EQ(of("a"), 0x00620062u);
    EXPECT_EQ(of("abc"), 0x024D0127u);
    EXPECT_EQ(of("Wikipedia"), 0x11E60398u);
    EXPECT_EQ(of("abcdefghijklmnopqrstuvwxyz"), 0x90860B20u);
}

TEST(Adler32, LongRunsOfFF) {
    // Lengths around the 5552-byte reduction interval and far beyond it,
    // where unreduced 32-bit sums would overflow first.
    struct Row {
        std::size_t length;
        std::uint32_t expected;
    };
    const Row rows[] = {
        {5551, 0x56039A8Du},   {5552, 0xF18F9B8Cu},    {5553, 0x8E299C8Bu},
        {100000, 0x149A302Cu}, {1 << 20, 0x8E88EF11u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        const std::vector<unsigned char> bytes(row.length, 0xFF);
        EXPECT_EQ(adler32(1, bytes.data(), bytes.size()), row.expected);
        EXPECT_EQ(reference_adler(1, bytes.data(), bytes.size()), row.expected);
    }
}

TEST(Adler32, AnySplitGivesTheSameValue) {
    std::vector<unsigned char> bytes(20000);
    std::uint32_t x = 12345;
    for (unsigned char& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 23);
    }
    const std::uint32_t whole = reference_adler(1, bytes.data(), bytes.size());
    for (std::size_t split : {0u, 1u, 15u, 16u, 17u, 5552u, 5553u, 11104u, 19999u, 20000u}) {
        SCOPED_TRACE(split);
        const std::uint32_t first = adler32(1, bytes.data(), split);
        EXPECT_EQ(adler32(first, bytes.data() + split, bytes.size() - split), whole);
    }
}

} // namespace
