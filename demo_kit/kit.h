#pragma once

// The full-scale demo kit: everything a patcher build embeds and everything
// an end-to-end test needs to check its result.

#include <cstdint>
#include <vector>

struct KitSummary {
    std::uint64_t patch_bytes;
    std::uint64_t window_count;
    char digest[65]; // SHA-256 of the final image, lower-case hex
};

// The PS-ADPCM soundtrack of movie 0 (Ru_op) or 1 (Ry_op).
void kit_make_soundtrack(unsigned movie, std::vector<unsigned char>* adpcm);

// Writes Delta_patch.vcdiff, Ru_op.adpcm, Ry_op.adpcm and expected.sha256
// into folder. On failure returns false with a static English reason.
bool make_demo_kit(const char* folder, KitSummary* summary, const char** reason);
