#pragma once

// The one driver loop's interface, as the web glue expects it from delta/.
// Stands in until that loop is merged; the glue includes only this header.

#include "delta/stream.h"

#include <cstdint>

struct DeltaCallbacks {
    // Next piece of patch; length 0: the patch is used up.
    std::int32_t (*read_patch)(void* opaque, const unsigned char** bytes, usize_t* length);
    // A range (fill_length != 0: read into fill_destination, set
    // filled_length) or block requested_block_number (up to
    // requested_last_block) through current_block and block_bytes.
    std::int32_t (*read_source)(void* opaque, DeltaSource* source);
    // [0, end) of window is final; window_done once per window, whole.
    std::int32_t (*write_target)(void* opaque, const unsigned char* window, usize_t end,
                                 bool window_done);
    // 0 to go on, else the status to end with; may be null.
    std::int32_t (*check_stop)(void* opaque);
    void* opaque;
};

// 0 when the patch ended and the stream closed cleanly.
std::int32_t run_delta_stream(DeltaStream* stream, const DeltaCallbacks* callbacks);
