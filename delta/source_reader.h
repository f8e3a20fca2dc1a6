#pragma once

// The source image as the decoder reads it from an open file: a long copy
// straight into the target window, a short one through a read-ahead buffer
// that fetches, in one read, the blocks the copy still needs. The patch
// driver and the web page both answer the decoder's source requests with it.

#include "delta/stream.h"

#include <cstdint>

struct SourceReader {
    int descriptor;         // the source, open for reading; -1 when none
    unsigned char* buffer;  // the read-ahead; the decoder reads blocks in place
    usize_t first_block;    // block at the start of buffer
    usize_t held_bytes;     // file bytes in buffer from first_block on
    std::uint64_t position; // file position after the last read
    const DeltaStream* stream;
    usize_t advised_windows; // windows whose source segment the file was told of
};

// Takes over descriptor (closed by close_source_reader), reads block 0 and
// attaches source, so prepared, to stream. 0, DECODE_OUT_OF_MEMORY, or
// PATCH_SOURCE_UNUSABLE when the file cannot be positioned or read.
std::int32_t start_source_reader(SourceReader* reader, int descriptor, DeltaStream* stream,
                                 DeltaSource* source);

// Answers the decoder's DECODE_NEED_SOURCE_BLOCK: 0, or PATCH_SOURCE_UNUSABLE.
// Past the end of the file fewer bytes, or none, arrive; the decoder judges.
std::int32_t read_requested_source(SourceReader* reader, DeltaSource* source);

// Releases the buffer and closes the file; the reader may never have started.
void close_source_reader(SourceReader* reader);
