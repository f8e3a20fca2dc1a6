// Every Adler-32 kernel against a plain byte-at-a-time reference: lengths on
// both sides of the block and reduction sizes, any alignment, any start
// value (also unreduced ones), and the all-0xFF data that pushes the 32-bit
// sums closest to overflow.

#include "delta/adler32.h"
#include "tests/delta/adler32_reference.h"
#include "tests/support/random/random.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> random_bytes(std::size_t n, std::uint64_t seed) {
    std::vector<unsigned char> bytes(n);
    for (unsigned char& b : bytes) {
        b = static_cast<unsigned char>(next_random(&seed));
    }
    return bytes;
}

// Start values: fresh, reduced extremes, and unreduced halves (65521..65535)
// that a caller may pass and that every kernel must take the same way.
constexpr std::uint32_t START_VALUES[] = {1,           0,           0xFFF0FFF0u, 0xFFFFFFFFu,
                                          0xFFF1FFF1u, 0x0000FFFFu, 0xFFFF0000u};

// Lengths around the 16/32/64-byte steps of the kernels, their chunk sizes
// (5504, 5536) and the reduction bound 5552 and its multiples.
constexpr std::size_t EDGE_LENGTHS[] = {
    0,     1,     2,     15,    16,    17,    31,    32,    33,    47,    48,    63,    64,   65,
    95,    96,    127,   128,   129,   191,   192,   255,   256,   257,   1023,  1024,  1025, 5503,
    5504,  5505,  5535,  5536,  5537,  5550,  5551,  5552,  5553,  5567,  5568,  5569,  5616, 11008,
    11040, 11072, 11103, 11104, 11105, 16655, 16656, 16657, 22208, 65535, 65536, 65537, 70000};

const char* kernel_name(Adler32Kernel kernel) {
    switch (kernel) {
    case ADLER32_KERNEL_SCALAR:
        return "Scalar";
    case ADLER32_KERNEL_SSSE3:
        return "Ssse3";
    case ADLER32_KERNEL_AVX2:
        return "Avx2";
    case ADLER32_KERNEL_AVX512_VNNI:
        return "Avx512Vnni";
    case ADLER32_KERNEL_COUNT:
        break;
    }
    return "Unknown";
}

class Adler32Kernels : public testing::TestWithParam<Adler32Kernel> {
  protected:
    void SetUp() override {
        if (!adler32_kernel_available(GetParam())) {
            GTEST_SKIP() << kernel_name(GetParam()) << " is not available on this processor";
        }
    }
    std::uint32_t run(std::uint32_t start, const unsigned char* p, std::size_t n) const {
        return adler32_with_kernel(GetParam(), start, p, n);
    }
};

TEST_P(Adler32Kernels, EdgeLengthsAtEveryAlignment) {
    const std::vector<unsigned char> bytes = random_bytes(70000 + 64, 7);
    for (std::size_t length : EDGE_LENGTHS) {
        for (std::size_t align = 0; align < 64; align += (length > 5000 ? 7 : 1)) {
            for (std::uint32_t start : START_VALUES) {
                const unsigned char* p = bytes.data() + align;
                ASSERT_EQ(run(start, p, length), reference_adler(start, p, length))
                    << "length " << length << " align " << align << " start " << start;
            }
        }
    }
}

TEST_P(Adler32Kernels, RandomLengthsAlignmentsAndStarts) {
    const std::vector<unsigned char> bytes = random_bytes(70000 + 64, 11);
    std::uint64_t random = 99;
    for (int i = 0; i < 400; i++) {
        const std::size_t length = next_random(&random) % 70001;
        const std::size_t align = next_random(&random) % 64;
        // Any 32-bit start: the halves may be unreduced.
        const std::uint32_t start = static_cast<std::uint32_t>(next_random(&random));
        const unsigned char* p = bytes.data() + align;
        ASSERT_EQ(run(start, p, length), reference_adler(start, p, length))
            << "length " << length << " align " << align << " start " << start;
    }
}

TEST_P(Adler32Kernels, LongRunsOfFFAroundTheReductionPoints) {
    // 0xFF everywhere with both halves of the start at their largest gives
    // the largest sums the reduction bound allows.
    const std::vector<unsigned char> bytes(200000 + 64, 0xFF);
    const std::size_t lengths[] = {5503,  5504,  5505,  5535,  5536,   5537,   5551,   5552,
                                   5553,  11103, 11104, 11105, 16656,  16657,  55520,  55552,
                                   65472, 65536, 65600, 99999, 100000, 131072, 131200, 200000};
    for (std::size_t length : lengths) {
        for (std::uint32_t start : {1u, 0xFFFFFFFFu, 0xFFF0FFF0u}) {
            for (std::size_t align : {0u, 1u, 31u, 63u}) {
                const unsigned char* p = bytes.data() + align;
                ASSERT_EQ(run(start, p, length), reference_adler(start, p, length))
                    << "length " << length << " align " << align << " start " << start;
            }
        }
    }
}

TEST_P(Adler32Kernels, AnySplitChainsToTheWholeValue) {
    const std::vector<unsigned char> bytes = random_bytes(40000, 5);
    const std::uint32_t whole = reference_adler(1, bytes.data(), bytes.size());
    std::uint64_t random = 3;
    for (int i = 0; i < 100; i++) {
        std::size_t at = 0;
        std::uint32_t value = 1;
        while (at < bytes.size()) {
            std::size_t piece = next_random(&random) % 12000;
            piece = piece < bytes.size() - at ? piece : bytes.size() - at;
            value = run(value, bytes.data() + at, piece);
            at += piece;
        }
        ASSERT_EQ(value, whole);
    }
}

INSTANTIATE_TEST_SUITE_P(, Adler32Kernels,
                         testing::Values(ADLER32_KERNEL_SCALAR, ADLER32_KERNEL_SSSE3,
                                         ADLER32_KERNEL_AVX512_VNNI, ADLER32_KERNEL_AVX2),
                         [](const testing::TestParamInfo<Adler32Kernel>& param) {
                             return std::string(kernel_name(param.param));
                         });

// The switch the tests and benchmarks use to reach every kernel through the
// public adler32 (as the decoder calls it).
TEST(Adler32Dispatch, ForcingAKernelRoutesAdler32ThroughIt) {
    const std::vector<unsigned char> bytes = random_bytes(9000, 1);
    const std::uint32_t expected = reference_adler(1, bytes.data(), bytes.size());
    for (std::uint8_t k = 0; k < ADLER32_KERNEL_COUNT; k++) {
        const Adler32Kernel kernel = static_cast<Adler32Kernel>(k);
        SCOPED_TRACE(kernel_name(kernel));
        if (!adler32_kernel_available(kernel)) {
            EXPECT_FALSE(adler32_force_kernel(kernel));
            continue;
        }
        ASSERT_TRUE(adler32_force_kernel(kernel));
        EXPECT_EQ(adler32_current_kernel(), kernel);
        EXPECT_EQ(adler32(1, bytes.data(), bytes.size()), expected);
    }
    adler32_reset_kernel();
    EXPECT_TRUE(adler32_kernel_available(adler32_current_kernel()));
    EXPECT_EQ(adler32(1, bytes.data(), bytes.size()), expected);
}

TEST(Adler32Dispatch, ChoosesTheWidestAvailableKernel) {
    adler32_reset_kernel();
    Adler32Kernel widest = ADLER32_KERNEL_SCALAR;
    for (std::uint8_t k = 0; k < ADLER32_KERNEL_COUNT; k++) {
        if (adler32_kernel_available(static_cast<Adler32Kernel>(k))) {
            widest = static_cast<Adler32Kernel>(k);
        }
    }
    EXPECT_EQ(adler32_current_kernel(), widest);
    EXPECT_FALSE(adler32_force_kernel(ADLER32_KERNEL_COUNT));
    EXPECT_EQ(adler32_current_kernel(), widest);
}

} // namespace
