#pragma once

// What a patch makes, read from its headers alone: no source, no decoding.
// The build reads the patch it is about to carry with it, so that a patcher
// whose patch makes another image than the one it expects is never built;
// apply-patch reads it for its progress line.

#include "delta/format.h"

#include <cstdint>

struct PatchSummary {
    usize_t windows;
    usize_t target_bytes; // the sum of the windows' target lengths
    // From the application header, where it names both sizes (make-patch's
    // patches do; other encoders' need not).
    bool sizes_announced;
    usize_t announced_source_bytes;
    usize_t announced_target_bytes;
};

// Room for the longest application header write_sizes_header makes.
constexpr std::size_t SIZES_HEADER_CAPACITY = 96;

// The application header that names both sizes, as summarize_patch reads it
// back, into text (SIZES_HEADER_CAPACITY bytes); returns its length.
std::size_t write_sizes_header(usize_t source_bytes, usize_t target_bytes, char* text);

// Walks the file header and every window header of the patch in bytes; 0,
// or DECODE_INVALID_INPUT with *message saying why (a cut or malformed
// header, a sum past 64 bits). Sections are skipped, not checked: the
// decoder judges them.
std::int32_t summarize_patch(const unsigned char* bytes, usize_t length, PatchSummary* summary,
                             const char** message);
