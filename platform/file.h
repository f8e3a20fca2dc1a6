#pragma once

// Low-level files and C streams: the only file interfaces the patcher uses.
// Every file is opened in byte mode; no line-end translation happens anywhere.
// Paths are UTF-8 on every platform.

#include <cstddef>
#include <cstdint>
#include <cstdio>

// open_existing_file modes. None of them creates or truncates a file: the file
// must exist, and writing overwrites bytes in place.
enum FileMode { FILE_READ = 0, FILE_WRITE = 1, FILE_READ_WRITE = 2 };

// Opens an existing regular file; returns a descriptor, or -1. A folder, a
// pipe or a device is refused without waiting for it.
int open_existing_file(const char* path, FileMode mode);

// What a name stands for, through links.
enum FileKind {
    KIND_MISSING = 0, // nothing of that name (or it cannot be looked at)
    KIND_REGULAR = 1, // a file of data
    KIND_FOLDER = 2,
    KIND_SPECIAL = 3, // a pipe, device or socket
};

FileKind file_kind(const char* path);

// Full 64-bit length of an open file, or -1.
std::int64_t file_length(int fd);

// Moves to an absolute position; returns it, or -1.
std::int64_t file_seek(int fd, std::int64_t position);

// One read or write of at most count bytes; returns the bytes moved, or -1.
std::int64_t file_read(int fd, void* buffer, std::size_t count);
std::int64_t file_write(int fd, const void* buffer, std::size_t count);

int file_close(int fd);

// std::fopen for the program's paths (UTF-8, of any length), never waiting
// for a pipe; for reading, only a regular file opens.
std::FILE* open_file_stream(const char* path, const char* mode);

// 0 on success; otherwise errno says why (ENOENT: nothing of that name).
int remove_file(const char* path);

// true when both paths name one existing file (through links too).
bool same_file(const char* first, const char* second);

// Renames from to to, replacing a file named to; 0 on success.
int replace_file(const char* from, const char* to);

// Writes what the system holds of fd's data to the disk; 0 on success.
int flush_file(int fd);

// Asks the system to start bringing length bytes of stream's data from offset
// on to the disk, without waiting for it, so that a flush_file at the end
// finds little left to write. The stream must be unbuffered. Where the system
// has no such request, or refuses it, nothing happens: it is only a head start.
void start_stream_writeback(std::FILE* stream, std::uint64_t offset, std::uint64_t length);

// Tells the system that the reads to come lie in [offset, offset + length)
// of fd, so that it can fetch that range in a few large reads. Only a hint:
// where reads are cheap one by one, or the range too large to hold, nothing
// happens.
void advise_file_reads(int fd, std::uint64_t offset, std::uint64_t length);

// C streams with positions past 2 GiB: seeks to an absolute 64-bit offset,
// 0 on success.
int stream_seek(std::FILE* stream, std::uint64_t position);
