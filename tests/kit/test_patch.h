#pragma once

// A small source file and a VCDIFF patch built on it, shared by the driver
// tests and by the build step that embeds the same patch into them.

#include <cstddef>
#include <cstdint>
#include <vector>

// Five whole 16 KiB blocks and a short sixth one.
constexpr std::size_t TEST_SOURCE_BYTES = 5 * 16384 + 1000;

// A source byte that the third window copies and no earlier window reads.
constexpr std::size_t TEST_THIRD_WINDOW_ONLY_BYTE = 16395;

std::vector<unsigned char> make_test_source();

struct TestPatch {
    std::vector<unsigned char> patch;
    std::vector<unsigned char> target;
    std::size_t header_bytes;                // patch bytes before the first window
    std::vector<std::size_t> window_ends;    // patch offset after each window
    std::vector<std::size_t> window_lengths; // target bytes of each window
};

// Five windows over make_test_source(): source copies in scrambled block
// order (across block boundaries, into the short last block, up to the
// source's end), windows without a source, ADDs large enough to spread the
// patch over several 16 KiB chunks, RUNs, and target copies, some
// overlapping. Every window carries its Adler-32. An application header of
// app_header_bytes is written when that is not 0.
bool make_test_patch(std::size_t app_header_bytes, TestPatch* out);
