#pragma once

// The one loop that drives a DeltaStream: the caller supplies the patch, the
// source and a place for the target through callbacks, and the loop answers
// the decoder's statuses with them. Every user of the decoder (the patch
// driver, the tools, the tests, the fuzz targets, the benchmark, the web
// build) runs through it rather than speaking the status protocol itself.

#include "delta/stream.h"

#include <cstdint>

// A write_target that returns this for a finished window ends the run there,
// the window handed over: the caller gets LOOP_PAUSED, and its next
// run_delta_stream goes on from the same place. Not a decoder status.
constexpr std::int32_t LOOP_PAUSED = -17790;

struct DeltaCallbacks {
    // Next piece of patch. *length 0: the patch is used up. The bytes stay
    // valid until the next call. 0, or a failure status that ends the run.
    std::int32_t (*read_patch)(void* opaque, const unsigned char** bytes, usize_t* length);
    // The decoder wants source (DECODE_NEED_SOURCE_BLOCK): either a range
    // (source->fill_length != 0: read it into fill_destination, set
    // filled_length) or block requested_block_number (the copy reaches
    // requested_last_block) pointed to by current_block/block_bytes.
    std::int32_t (*read_source)(void* opaque, DeltaSource* source);
    // Bytes [0, end) of the current target window are final. Called with
    // window_done = false while the window is produced (only to let the
    // caller start writing early; it may ignore such calls), and once with
    // window_done = true and end = the whole window when it is finished.
    std::int32_t (*write_target)(void* opaque, const unsigned char* window, usize_t end,
                                 bool window_done);
    // Polled between decoder steps; 0 to go on, or the status to end with
    // (an interrupt, a cancel). May be null.
    std::int32_t (*check_stop)(void* opaque);
    void* opaque;
};

// Runs a configured stream (source attached by the caller if it has one)
// until the patch ends and the stream closes cleanly (0), or a callback or
// the decoder fails (that status; stream->message or a message the loop
// sets says why).
//
// A callback's failure comes back unchanged and leaves stream->message
// alone: the callback knows its own reason. The loop's own failures are
// decoder statuses with a message in the stream: a patch that ends inside
// a window (close_stream's verdict), and a request for source where the
// caller gave no read_source. An empty patch closes cleanly, as it does for
// close_stream; a caller that needs a whole file header checks decode_state.
//
// The stream stays configured afterwards, so a caller that gets its patch a
// window at a time may run it again over the next piece: a patch that ends
// at a window boundary closes cleanly at every such run.
std::int32_t run_delta_stream(DeltaStream* stream, const DeltaCallbacks* callbacks);
