#pragma once

// Operations shared between the decoder's own files; not for callers.

#include "delta/stream.h"

#include <cstdint>

// Runs the window's instructions into the target buffer; ends with
// finish_window once the instructions are used up.
std::int32_t decode_window_body(DeltaStream* stream);

// Adds the target bytes produced and not yet summed to the window's running
// Adler-32, when the window carries one that is to be verified.
void checksum_produced_bytes(DeltaStream* stream);

// Checks a fully executed window and hands it out (DECODE_HAVE_OUTPUT).
std::int32_t finish_window(DeltaStream* stream);

// No range request of the source is pending: run by set_source and at every
// window start, since no request outlives the window that made it.
void clear_source_range(DeltaSource* source);

// Whether a status is a failure rather than a request or a report.
bool is_decode_failure(std::int32_t status);
