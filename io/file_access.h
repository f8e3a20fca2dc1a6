#pragma once

// File helpers shared by the run, the movie rewrite and the patch driver.
// A handle is a low-level descriptor; -1 means that no file is open.

#include "platform/temporary_file.h"

#include <cstdint>

enum OpenMode { OPEN_READ = 0, OPEN_WRITE = 1, OPEN_READ_WRITE = 2 };

// Opens an existing file in byte mode (never creates or truncates it). Always
// returns 1; a failure shows as a negative handle. Any other mode leaves the
// handle unchanged.
int open_file_mode(int* handle, const char* path, int mode);

// Reads the whole file (size 0) or size bytes from offset (cut at the end of
// the file) into a new malloc'd buffer that the caller frees. Uses the open
// handle when there is one (positioned anywhere), otherwise opens path read
// only. On success returns 1, hands over the buffer and the number of bytes
// actually read, closes the file and sets the handle to -1. When the file
// cannot be opened, prints "Impossible d'ouvrir %s", waits for one character
// and returns 0; when memory or the read fails, returns 0 with the file closed.
// No buffer is handed over on failure.
int read_file_region(int* handle, const char* path, unsigned char** data, std::uint32_t* length,
                     std::uint32_t size, std::uint32_t offset);

// How publish_file ended.
enum PublishResult {
    PUBLISH_DONE = 0,        // the file is on the disk under its final name
    PUBLISH_NOT_WRITTEN = 1, // its data could not be brought to the disk
    PUBLISH_INTERRUPTED = 2, // an interrupt was noted before the rename
    PUBLISH_NOT_RENAMED = 3, // the rename was refused
};

// Gives the finished file that file holds at temporary_path its final name:
// its data goes to the disk first and only then is it renamed, replacing
// whatever has that name, so that a power cut can leave the finished name
// only on whole data, and an earlier file of that name stays until then.
// Every other descriptor of the file must be closed. On success the file is
// let go; on failure it is left to the caller (discard_temporary_file).
PublishResult publish_file(TemporaryFile* file, const char* temporary_path, const char* final_path);
