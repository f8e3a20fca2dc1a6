#pragma once

// Operations shared between the decoder's own files; not for callers.

#include "delta/stream.h"

#include <cstdint>

// Runs the window's instructions into the target buffer; ends with
// finish_window once the instructions are used up.
std::int32_t decode_window_body(DeltaStream* stream);

// Adds the target bytes produced since the last call to the window's running
// Adler-32, when the window carries one that is to be verified.
void checksum_produced_bytes(DeltaStream* stream);

// Checks a fully executed window and hands it out (DECODE_HAVE_OUTPUT).
std::int32_t finish_window(DeltaStream* stream);
