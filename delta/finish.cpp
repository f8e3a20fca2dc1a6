// End of a window: exact length, no leftover data or addresses, and the
// stored Adler-32 when the window carries one.

#include "delta/adler32.h"
#include "delta/internal.h"
#include "delta/stream.h"

void checksum_produced_bytes(DeltaStream* stream) {
    if ((stream->window_indicator & VCD_ADLER32) == 0) {
        stream->checksummed_bytes = stream->avail_out;
        return;
    }
    // The caller may change FLAG_SKIP_CHECKSUM between any two calls; the
    // flag as it stands at the window's end decides. Bytes made while it is
    // set stay unsummed, and are summed at the end if it is clear by then.
    if ((stream->flags & FLAG_SKIP_CHECKSUM) != 0) {
        return;
    }
    // Only a caller that rewound avail_out gets here with fewer bytes than
    // were summed; the window is then summed again from its start.
    if (stream->checksummed_bytes > stream->avail_out) {
        stream->running_checksum = 1;
        stream->checksummed_bytes = 0;
    }
    stream->running_checksum =
        adler32(stream->running_checksum, stream->next_out + stream->checksummed_bytes,
                stream->avail_out - stream->checksummed_bytes);
    stream->checksummed_bytes = stream->avail_out;
}

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
        checksum_produced_bytes(stream);
        if (stream->running_checksum != stream->window_checksum) {
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
