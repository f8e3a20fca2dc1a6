#pragma once

// Writes VCDIFF (RFC 3284) deltas in the form our decoder reads: default
// code table, optional application header, windows with or without a source
// segment and with or without the 4-byte Adler-32 of the target window.
// make-patch writes its windows with it, and so do the demo kit and the test
// encoder (tests/support/vcdiff).

#include "delta/format.h"

#include <cstddef>
#include <cstdint>
#include <vector>

enum VcdiffKind { VCDIFF_ADD = 1, VCDIFF_RUN = 2, VCDIFF_COPY = 3 };

struct VcdiffInstruction {
    VcdiffKind kind;
    std::uint64_t size;
    std::uint64_t address;      // COPY: address in the window's combined space (source segment
                                // first, then target)
    const unsigned char* bytes; // ADD: size bytes; RUN: the one byte to repeat
};

struct VcdiffWindowSpec {
    bool has_source; // VCD_SOURCE with the segment below
    std::uint64_t source_offset;
    std::uint64_t source_length;
    bool with_checksum;     // write the Adler-32 of the target window
    std::uint32_t checksum; // Adler-32 of the window's target bytes (delta/adler32.h)
    std::uint64_t target_length;
};

// How codes and COPY address modes are picked. All zero: the cheapest
// encoding, pairs and immediate sizes wherever the table has them.
struct VcdiffStyle {
    // Nonzero: pick at random (seeded) among every valid code and mode, so
    // that a set of windows reaches all classes of the code table.
    std::uint64_t seed;
    // The generator those picks come from, needed with a seed: the tests'
    // own, which the test encoder sets, so that nothing shipped carries it.
    std::uint64_t (*draw)(std::uint64_t* state);
    // Nonzero: prefer COPY mode prefer_mode - 1 (0 SELF, 1 HERE, 2-5 NEAR,
    // 6-8 SAME) whenever it can express the address.
    std::uint32_t prefer_mode;
    // Single codes only, with every size written explicitly.
    bool explicit_sizes_only;
    // Not null: 256 counters, raised for every instruction code written.
    std::uint64_t* code_counts;
};

// Largest target window the decoder accepts.
constexpr std::uint64_t VCDIFF_MAX_WINDOW = HARD_MAX_WINDOW;

// Appends the file header (magic, version 0, Hdr_Indicator) and, when
// app_header is not null, the application header.
void vcdiff_write_header(std::vector<unsigned char>* out, const unsigned char* app_header,
                         std::size_t app_header_length);

// Appends one window made of these instructions, choosing code-table entries
// (single and ADD+COPY / COPY+ADD pairs, immediate sizes where the table has
// them) and the cheapest COPY address mode (SELF, HERE, NEAR 0-3, SAME 0-2)
// with an address cache that mirrors the decoder's. Returns false, writing
// nothing, if the instructions do not produce exactly target_length bytes or
// address outside the window.
bool vcdiff_write_window(std::vector<unsigned char>* out, const VcdiffWindowSpec& window,
                         const VcdiffInstruction* instructions, std::size_t count);

// The same with the choices of style.
bool vcdiff_write_window_styled(std::vector<unsigned char>* out, const VcdiffWindowSpec& window,
                                const VcdiffInstruction* instructions, std::size_t count,
                                const VcdiffStyle& style);

// How a window is written. The fields marked so are read by the test
// encoder's vcdiff_encode alone.
struct VcdiffEncodeOptions {
    std::uint64_t window_size; // test encoder: target bytes per window
    bool with_checksum;
    const unsigned char* app_header; // test encoder
    std::size_t app_header_length;   // test encoder
    std::uint64_t match_block; // test encoder: block size of its source block hash (e.g. 16 or 32)
    VcdiffStyle style;         // code and mode choices, as for vcdiff_write_window_styled
    std::uint64_t min_run;     // test encoder: shortest run of one byte written as RUN; 0: 8
    bool whole_source_segment; // every window's segment is the whole source, used or not
};

// One instruction of a window as a match finder plans it, before the
// window's address space (source segment first, then target) is known.
struct PlannedOp {
    VcdiffKind kind;
    std::uint64_t at; // window offset of the first byte it produces
    std::uint64_t size;
    std::uint64_t from; // COPY: source position, or window offset when !from_source
    bool from_source;
};

// Appends the window for target[0, length) that plan describes (its ops
// cover the window in order). The source segment is the span of source the
// COPYs use, or the whole source_length when options.whole_source_segment is
// set; the checksum and the style come from options. scratch is reused from
// window to window. false if the writer refuses the plan, which would be a
// fault of the match finder.
bool vcdiff_write_planned_window(std::vector<unsigned char>* out,
                                 const std::vector<PlannedOp>& plan, const unsigned char* target,
                                 std::size_t length, std::uint64_t source_length,
                                 const VcdiffEncodeOptions& options,
                                 std::vector<VcdiffInstruction>* scratch);
