#pragma once

// The target windows go to the output file on a thread of their own, so that
// the kernel's copying of them into the file overlaps the decoding of what
// follows. Where no thread can be had, the same calls write on the caller's
// thread instead.

#include "delta/stream.h"

#include <cstdio>

// Largest write of one call: the kernel takes many megabytes markedly slower
// in one call than in pieces, and a piece this size is still in the cache
// from being produced. Callers hand bytes over in whole pieces while a
// window is produced.
constexpr usize_t WRITE_PIECE_BYTES = 262144;

// Once this many bytes have reached the file since the last time, the system
// is asked to start writing them to the disk: the flush that ends the run
// then waits only for the last few megabytes instead of the whole image. In
// steps this large each request is one long run of pages for the disk.
constexpr usize_t WRITEBACK_STEP_BYTES = 8388608;

struct Monitor;
struct WorkerThread;

struct OutputWriter {
    std::FILE* file;
    Monitor* monitor;     // null: writes happen on the caller's thread
    WorkerThread* thread; // null: likewise
    // Shared with the thread, under monitor.
    const unsigned char* window; // the window being written
    usize_t handed;              // bytes of the window handed over
    usize_t written;             // bytes of the window in the file
    bool failed;                 // a write fell short; nothing more is written
    bool stopping;               // the thread is to end
    // Only the writing thread touches these.
    std::uint64_t file_bytes;      // bytes written to the file in all
    std::uint64_t writeback_start; // first byte not yet handed to the disk's writeback
};

// Prepares writer for file, with a thread when the system gives one.
void start_output_writer(OutputWriter* writer, std::FILE* file);

// Hands over bytes [0, end) of window, which stay in place and unchanged until
// finish_window_writes. Window and the bytes already handed over are the same
// as on the call before, since the window began. Returns false once a write
// has fallen short.
bool hand_over_window_bytes(OutputWriter* writer, const unsigned char* window, usize_t end);

// Waits until every byte handed over is in the file, or a write fell short,
// and starts the next window. Returns the bytes of the window that reached
// the file; *complete tells whether they are all of them.
usize_t finish_window_writes(OutputWriter* writer, bool* complete);

// Ends the thread after its current write, if any; nothing more is written.
// Before the file is closed and before any handed window is released.
void stop_output_writer(OutputWriter* writer);
