#pragma once

// A planned window as VCDIFF bytes: the source segment is the span of source
// the window's COPYs use, and the instructions go through the shared window
// writer (code table pairs, address cache).

#include "tools/make_patch/match.h"

#include <cstddef>
#include <vector>

// Appends the window for target[0, length) to out. false if the writer
// refuses the plan, which would be a fault of the match finder.
bool encode_window(const std::vector<PlannedOp>& plan, const unsigned char* target,
                   std::size_t length, bool with_checksum, std::vector<VcdiffInstruction>* scratch,
                   std::vector<unsigned char>* out);
