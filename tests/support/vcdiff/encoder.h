#pragma once

// The test encoder: whole files in memory, matched with a hash of fixed-size
// source blocks, written by the shared window writer. The tests, the fuzz
// targets and the benchmarks make their deltas with it; make-patch has a
// match finder of its own, for whole disc images.

#include "tools/vcdiff/window_writer.h"

#include <cstddef>
#include <vector>

// Matches target against the source with a hash of fixed-size source blocks,
// plus RUNs and target COPYs (including overlapping ones), and writes windows
// of window_size. A style with a seed draws from the tests' random source.
// Returns false for a window_size of 0 or above VCDIFF_MAX_WINDOW, or a
// match_block of 0.
bool vcdiff_encode(const unsigned char* source, std::size_t source_length,
                   const unsigned char* target, std::size_t target_length,
                   const VcdiffEncodeOptions& options, std::vector<unsigned char>* out);
