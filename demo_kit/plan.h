#pragma once

// The demo target image, window by window: which source segment each window
// uses, the instructions that build it, and the bytes they produce. The kit
// builds, checksums, encodes and hashes one window at a time, so the 1.5 GB
// target is never held whole.

#include "demo_kit/movie.h"
#include "tools/vcdiff/window_writer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::uint64_t KIT_TARGET_SIZE = 1551040512;
constexpr std::uint64_t KIT_WINDOW_BYTES = 8388608;
// One window is as large as the decoder allows.
constexpr std::uint64_t KIT_LARGE_WINDOW_BYTES = 67108864;
constexpr std::uint64_t KIT_LARGE_WINDOW_OFFSET = 0x10000000;

struct KitWindow {
    std::uint64_t target_offset;
    std::uint64_t length;
    bool has_source;
    std::uint64_t source_offset;
    std::uint64_t source_length;
};

// One instruction; data indexes the plan's byte store (ADD bytes, RUN byte).
struct KitOp {
    VcdiffKind kind;
    std::uint64_t size;
    std::uint64_t address; // COPY: in the window's combined space, source segment first
    std::size_t data;
};

struct WindowPlan {
    KitWindow window;
    std::vector<KitOp> ops;
    std::vector<unsigned char> data;
};

// The windows of the target, in order.
std::vector<KitWindow> kit_windows();

// Instructions of one window. movies are the two laid-out movie regions.
void kit_plan_window(const KitWindow& window, std::size_t index, const MovieLayout movies[2],
                     WindowPlan* plan);

// Runs the plan's instructions the way the decoder does, into target (the
// window's length in bytes).
void kit_build_window(const WindowPlan& plan, unsigned char* target);

// The plan as the encoder takes it; pointers into plan.data.
std::vector<VcdiffInstruction> kit_encoder_instructions(const WindowPlan& plan);
