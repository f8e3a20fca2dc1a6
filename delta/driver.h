#pragma once

#include <cstdint>

// Source block size and largest piece of patch handed to the decoder at once.
constexpr std::uint32_t SOURCE_BLOCK_SIZE = 16384;
constexpr std::uint32_t PATCH_CHUNK_SIZE = 16384;

// Failures of the driver itself. Decoder statuses come back unchanged, and a
// window written short returns the count that did reach the file; none of
// these collide with DECODE_CHECKSUM_MISMATCH, the one the run tells apart.
constexpr std::int32_t PATCH_SOURCE_UNUSABLE = -1; // source cannot be positioned or read
constexpr std::int32_t PATCH_NOT_FOUND = -2;       // no patch resource, or patch file unopenable
constexpr std::int32_t PATCH_OUTPUT_FAILED = -3;   // output not created, written or closed
constexpr std::int32_t PATCH_READ_FAILED = -4;     // reading the patch file failed
constexpr std::int32_t PATCH_INTERRUPTED = -5;     // the player interrupted the program
constexpr std::int32_t PATCH_WRONG_SIZE = -6;      // the target is not expected_output_bytes long

// Applies the VCDIFF patch carried as resource patch_resource_name (or, when
// that is null, read from patch_file_path) to source_path, writing
// output_path. Returns 0 on success, a negative decoder status, -1 when the
// source cannot be examined or positioned, or another nonzero value when the
// output cannot be written. Prints the progress line when show_progress is set.
// An expected_output_bytes other than 0 is the exact size the target must
// have: a patch that makes more fails before any byte past it is written,
// and one that makes less fails at its end (PATCH_WRONG_SIZE), so a patch
// for another image is never taken for a success.
std::int32_t apply_delta_patch(bool show_progress, std::int32_t progress_start,
                               std::int32_t progress_end, std::uint32_t expected_output_bytes,
                               const char* patch_resource_name, const char* source_path,
                               const char* output_path, const char* patch_file_path);

// The same, also handing back a static English text that says why a call
// failed (the decoder's own message for decoder statuses); null on success.
// message may be null.
std::int32_t apply_delta_patch_ex(bool show_progress, std::int32_t progress_start,
                                  std::int32_t progress_end, std::uint32_t expected_output_bytes,
                                  const char* patch_resource_name, const char* source_path,
                                  const char* output_path, const char* patch_file_path,
                                  const char** message);

// The same application of a patch, a window at a time, for a caller that
// must go back to its own event loop between windows (the web page waits
// there for its writes to land).
struct PatchRequest {
    bool show_progress;
    std::int32_t progress_start;
    std::int32_t progress_end;
    std::uint32_t expected_output_bytes;
    const char* patch_resource_name;
    const char* source_path;
    const char* output_path;
    const char* patch_file_path;
};

struct PatchRun;

// Not a failure: the run has written one more whole window (or has just
// opened everything) and goes on with continue_patch_run.
constexpr std::int32_t PATCH_WINDOW_WRITTEN = -7;

// Opens the patch, the source and the output into *run, which the caller
// releases with end_patch_run whatever happens (*run is null only when
// there was no memory for it). PATCH_WINDOW_WRITTEN, or a failure as
// apply_delta_patch_ex returns it, with *message (when not null) saying why.
std::int32_t start_patch_run(const PatchRequest* request, PatchRun** run, const char** message);

// Decodes up to the end of the next window and writes it. PATCH_WINDOW_WRITTEN
// while windows may follow; otherwise the run's result as apply_delta_patch_ex
// returns it (0 once the whole output is written and closed), the same on
// every later call.
std::int32_t continue_patch_run(PatchRun* run, const char** message);

// Target bytes written so far.
std::uint64_t patch_run_written(const PatchRun* run);

// Releases everything the run holds; the output is closed, not removed.
// run may be null.
void end_patch_run(PatchRun* run);

// The progress percentage after written of expected_output_bytes: the share
// in extended precision, scaled to the range, rounded to a double and
// truncated toward zero. expected_output_bytes must not be 0.
std::int32_t progress_percentage(std::uint64_t written, std::uint32_t expected_output_bytes,
                                 std::int32_t progress_start, std::int32_t progress_end);
