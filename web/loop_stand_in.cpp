#include "web/loop_stand_in.h"

std::int32_t run_delta_stream(DeltaStream* stream, const DeltaCallbacks* callbacks) {
    void* opaque = callbacks->opaque;
    const unsigned char* bytes = nullptr;
    usize_t length = 0;
    std::int32_t result = callbacks->read_patch(opaque, &bytes, &length);
    if (result != 0) {
        return result;
    }
    stream->next_in = bytes;
    stream->avail_in = length;
    while (length != 0) {
        if (callbacks->check_stop != nullptr) {
            result = callbacks->check_stop(opaque);
            if (result != 0) {
                return result;
            }
        }
        const std::int32_t status = decode_input(stream);
        if (status == DECODE_GOT_HEADER || status == DECODE_WINDOW_START ||
            status == DECODE_WINDOW_FINISH) {
            continue;
        }
        if (status == DECODE_NEED_SOURCE_BLOCK) {
            if (stream->source == nullptr) {
                return DECODE_INVALID_INPUT;
            }
            result = callbacks->write_target(opaque, stream->next_out, stream->avail_out, false);
            if (result == 0) {
                result = callbacks->read_source(opaque, stream->source);
            }
            if (result != 0) {
                return result;
            }
            continue;
        }
        if (status == DECODE_HAVE_OUTPUT) {
            result = callbacks->write_target(opaque, stream->next_out, stream->avail_out, true);
            if (result != 0) {
                return result;
            }
            stream->avail_out = 0;
            continue;
        }
        if (status == DECODE_NEED_INPUT) {
            result = callbacks->read_patch(opaque, &bytes, &length);
            if (result != 0) {
                return result;
            }
            stream->next_in = bytes;
            stream->avail_in = length;
            continue;
        }
        return status;
    }
    result = close_stream(stream);
    if (result != 0) {
        return result;
    }
    return stream->decode_state == STATE_WINDOW_INDICATOR ? 0 : DECODE_INVALID_INPUT;
}
