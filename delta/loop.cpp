#include "delta/loop.h"

// Points the stream at the next piece of patch; *more is false once the
// patch is used up.
static std::int32_t next_patch_piece(DeltaStream* stream, const DeltaCallbacks* callbacks,
                                     bool* more) {
    const unsigned char* bytes = nullptr;
    usize_t length = 0;
    const std::int32_t status = callbacks->read_patch(callbacks->opaque, &bytes, &length);
    if (status != 0) {
        return status;
    }
    stream->next_in = bytes;
    stream->avail_in = length;
    *more = length != 0;
    return 0;
}

std::int32_t run_delta_stream(DeltaStream* stream, const DeltaCallbacks* callbacks) {
    // The decoder asks for patch when it has none left, so a run resumed
    // after a pause goes on with the rest of the piece it had.
    bool more = true;
    std::int32_t status = 0;
    while (more) {
        // A stop is honoured between two steps of the decoder, at most one
        // window (64 MiB) after it was asked for.
        if (callbacks->check_stop != nullptr) {
            status = callbacks->check_stop(callbacks->opaque);
            if (status != 0) {
                return status;
            }
        }
        status = decode_input(stream);
        switch (status) {
        case DECODE_GOT_HEADER:
        case DECODE_WINDOW_START:
        case DECODE_WINDOW_FINISH:
            break;
        case DECODE_NEED_SOURCE_BLOCK:
            // Only a stream with a source asks; the check keeps a caller
            // without one from being called with nothing to read.
            if (callbacks->read_source == nullptr || stream->source == nullptr) {
                stream->message = "source input required";
                return DECODE_INVALID_INPUT;
            }
            // What the window holds so far is final and still in the cache.
            if (stream->avail_out != 0) {
                status = callbacks->write_target(callbacks->opaque, stream->next_out,
                                                 stream->avail_out, false);
                if (status != 0) {
                    return status;
                }
            }
            status = callbacks->read_source(callbacks->opaque, stream->source);
            if (status != 0) {
                return status;
            }
            break;
        case DECODE_HAVE_OUTPUT:
            status = callbacks->write_target(callbacks->opaque, stream->next_out, stream->avail_out,
                                             true);
            if (status != 0 && status != LOOP_PAUSED) {
                return status;
            }
            stream->avail_out = 0;
            if (status == LOOP_PAUSED) {
                return LOOP_PAUSED;
            }
            break;
        case DECODE_NEED_INPUT:
            status = next_patch_piece(stream, callbacks, &more);
            if (status != 0) {
                return status;
            }
            break;
        case 0:
            // decode_input always stops with a request, a report or a
            // failure; going on would spin.
            stream->message = "the decoder stopped without a status";
            return DECODE_INTERNAL;
        default:
            return status;
        }
    }

    // Every patch byte is consumed. A patch cut inside a window has not
    // produced the whole target: close_stream says so.
    return close_stream(stream);
}
