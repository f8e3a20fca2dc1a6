#pragma once

// The decoder's readers of integers and addresses from a window section in
// memory; the code table and the address cache themselves are in format.h.

#include "delta/format.h"
#include "delta/stream.h"

#include <cstdint>

// Reads one base-128 integer from [*cursor, end). On success moves *cursor
// past it; on failure leaves *cursor alone and sets stream->message.
std::int32_t read_integer(DeltaStream* stream, const unsigned char** cursor,
                          const unsigned char* end, usize_t* value);

// Decodes the address of a COPY parsed at window position here in the given
// mode, reading from the addresses section, and enters it into the cache.
std::int32_t decode_address(DeltaStream* stream, usize_t here, usize_t mode,
                            const unsigned char** cursor, const unsigned char* end,
                            usize_t* address);
