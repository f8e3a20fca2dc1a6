// A COPY from the target window that reads bytes it writes itself repeats the
// stretch between its address and the write position. The decoder does that
// in whole doubling pieces: every distance and length here, including lengths
// that end inside a period and ones long past many doublings, must give the
// bytes of the one-byte-at-a-time rule.

#include "tests/delta/decode_helpers.h"
#include "tools/vcdiff/window_writer.h"

#include <gtest/gtest.h>

namespace {

constexpr std::size_t PREFIX = 80;

// The window: PREFIX new bytes, COPY length bytes from distance back, and 3
// new bytes after it, so that the copy's end is checked too.
Bytes byte_rule_target(const Bytes& prefix, std::size_t distance, std::size_t length,
                       const Bytes& tail) {
    Bytes target = prefix;
    for (std::size_t i = 0; i < length; i++) {
        target.push_back(target[target.size() - distance]);
    }
    target.insert(target.end(), tail.begin(), tail.end());
    return target;
}

TEST(OverlappingCopy, EveryDistanceAndLengthFollowsTheByteRule) {
    std::uint64_t random = 17;
    const Bytes prefix = random_bytes(&random, PREFIX);
    const Bytes tail = random_bytes(&random, 3);
    for (std::size_t distance = 1; distance <= 70; distance++) {
        std::vector<std::size_t> lengths;
        for (std::size_t length = distance + 1; length <= 4 * distance + 3; length++) {
            lengths.push_back(length);
        }
        for (std::size_t length : {std::size_t{1000}, std::size_t{4097}, std::size_t{65537}}) {
            lengths.push_back(length);
        }
        for (std::size_t length : lengths) {
            const Bytes target = byte_rule_target(prefix, distance, length, tail);
            const VcdiffWindowSpec window = {false, 0, 0, false, 0, target.size()};
            const VcdiffInstruction instructions[] = {
                {VCDIFF_ADD, PREFIX, 0, prefix.data()},
                {VCDIFF_COPY, length, PREFIX - distance, nullptr},
                {VCDIFF_ADD, tail.size(), 0, tail.data()},
            };
            Bytes delta;
            vcdiff_write_header(&delta, nullptr, 0);
            ASSERT_TRUE(vcdiff_write_window(&delta, window, instructions, 3));
            const DecodeResult result = decode_delta(delta, DecodeSetup{});
            ASSERT_EQ(result.status, 0) << result.message;
            ASSERT_TRUE(result.output == target) << "distance " << distance << " length " << length;
        }
    }
}

// A copy that does not reach its own output is one plain copy, also when it
// ends exactly at the write position.
TEST(OverlappingCopy, CopiesUpToTheWritePositionAreUnchanged) {
    std::uint64_t random = 23;
    const Bytes prefix = random_bytes(&random, PREFIX);
    for (std::size_t distance : {std::size_t{1}, std::size_t{7}, PREFIX}) {
        for (std::size_t length = 1; length <= distance; length++) {
            Bytes target = prefix;
            target.insert(target.end(), prefix.end() - static_cast<std::ptrdiff_t>(distance),
                          prefix.end() - static_cast<std::ptrdiff_t>(distance - length));
            const VcdiffWindowSpec window = {false, 0, 0, false, 0, target.size()};
            const VcdiffInstruction instructions[] = {
                {VCDIFF_ADD, PREFIX, 0, prefix.data()},
                {VCDIFF_COPY, length, PREFIX - distance, nullptr},
            };
            Bytes delta;
            vcdiff_write_header(&delta, nullptr, 0);
            ASSERT_TRUE(vcdiff_write_window(&delta, window, instructions, 2));
            const DecodeResult result = decode_delta(delta, DecodeSetup{});
            ASSERT_EQ(result.status, 0) << result.message;
            ASSERT_TRUE(result.output == target) << "distance " << distance << " length " << length;
        }
    }
}

} // namespace
