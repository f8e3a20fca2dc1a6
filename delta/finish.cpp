// End of a window: exact length, no leftover data or addresses, and the
// stored Adler-32 when the window carries one.

#include "delta/adler32.h"
#include "delta/internal.h"
#include "delta/stream.h"

std::int32_t finish_window(DeltaStream* stream) {
    if (stream->avail_out != stream->target_window_length) {
        stream->message = "wrong window length";
        return DECODE_INVALID_INPUT;
    }
    if (stream->data_section.cursor != stream->data_section.end) {
        stream->message = "extra data section";
        return DECODE_INVALID_INPUT;
    }
    if (stream->address_section.cursor != stream->address_section.end) {
        stream->message = "extra address section";
        return DECODE_INVALID_INPUT;
    }
    if ((stream->window_indicator & VCD_ADLER32) != 0 &&
        (stream->flags & FLAG_SKIP_CHECKSUM) == 0) {
        const std::uint32_t sum = adler32(1, stream->next_out, stream->avail_out);
        if (sum != stream->window_checksum) {
            stream->message = "target window checksum mismatch";
            return DECODE_CHECKSUM_MISMATCH;
        }
    }
    stream->window_section_bytes = 0;
    stream->data_section.position = 0;
    stream->instruction_section.position = 0;
    stream->address_section.position = 0;
    stream->decode_state = STATE_WINDOW_FINISHED;
    return DECODE_HAVE_OUTPUT;
}
