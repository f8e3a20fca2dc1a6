#pragma once

// The whole run of make-patch: index the source, plan and encode the target
// window by window on two threads, and decode every window again on a third
// as soon as it is encoded, before it counts. The patch is written under a temporary name beside
// PATCH and renamed to PATCH only once all of it decoded to TARGET exactly; on any failure the
// temporary file is removed and PATCH is left as it was.

#include <cstddef>
#include <cstdint>

// Target bytes per window. Three target windows are held (two being
// matched, one being verified) and the decoder holds a fourth; at 32 MiB
// they and the source index of a 1.5 GB image stay inside 512 MiB, and the
// per-window overhead is a few bytes in millions.
constexpr std::uint64_t PATCH_WINDOW_BYTES = std::uint64_t{32} << 20;

// Largest target: the patcher counts and announces its output in 32 bits.
constexpr std::uint64_t MAX_TARGET_BYTES = 0xFFFFFFFFu;

struct MakePatchOptions {
    const char* source_path;
    const char* target_path;
    const char* patch_path;
    bool with_checksum; // false: plain RFC 3284, no checksums, no application header
    bool show_progress;
};

struct MakePatchResult {
    std::uint64_t source_bytes;
    std::uint64_t target_bytes;
    std::uint64_t patch_bytes;
    std::uint64_t windows;
};

// true when PATCH now holds a verified patch. Otherwise false with an
// English reason in reason (a buffer of reason_size bytes).
bool make_patch(const MakePatchOptions& options, MakePatchResult* result, char* reason,
                std::size_t reason_size);
