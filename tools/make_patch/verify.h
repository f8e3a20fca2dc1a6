#pragma once

// Proof that the patch is right, window by window as it is written: the
// patcher's own decoder runs on the new bytes against the source, and every
// window it produces is compared with the target bytes it was made from.

#include "delta/stream.h"

#include <cstddef>
#include <cstdint>

struct Verifier {
    DeltaStream stream;
    DeltaSource source;
    int descriptor;        // the source, -1 when it has none
    unsigned char* blocks; // VERIFY_READ_BLOCKS blocks read in one go
    usize_t first_block;   // block at blocks[0]
    usize_t held;          // bytes held from first_block on
};

// Starts the decoder on the patch's file header (header_length bytes).
// false with a static English reason.
bool start_verifier(Verifier* verifier, const char* source_path, std::uint64_t source_length,
                    const unsigned char* header, std::size_t header_length, const char** reason);

// Decodes one whole window of patch bytes and compares the result with
// target[0, target_length).
bool verify_window(Verifier* verifier, const unsigned char* patch, std::size_t patch_length,
                   const unsigned char* target, std::size_t target_length, const char** reason);

// The decoder must stand at a clean end.
bool finish_verifier(Verifier* verifier, const char** reason);

void free_verifier(Verifier* verifier);
