#pragma once

// File helpers shared by the run, the movie rewrite and the patch driver.
// A handle is a low-level descriptor; -1 means that no file is open.

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
