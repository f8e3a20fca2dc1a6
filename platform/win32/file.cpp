#include "platform/file.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

int open_existing_file(const char* path, FileMode mode) {
    switch (mode) {
    case FILE_READ:
        return _open(path, _O_RDONLY | _O_BINARY);
    case FILE_WRITE:
        return _open(path, _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    case FILE_READ_WRITE:
        return _open(path, _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    }
    return -1;
}

std::int64_t file_length(int fd) {
    return _filelengthi64(fd);
}

std::int64_t file_seek(int fd, std::int64_t position) {
    return _lseeki64(fd, position, SEEK_SET);
}

// The C runtime moves at most INT_MAX bytes per call; callers loop on the rest.
static unsigned clamp_count(std::size_t count) {
    return count > 0x40000000u ? 0x40000000u : static_cast<unsigned>(count);
}

std::int64_t file_read(int fd, void* buffer, std::size_t count) {
    return _read(fd, buffer, clamp_count(count));
}

std::int64_t file_write(int fd, const void* buffer, std::size_t count) {
    return _write(fd, buffer, clamp_count(count));
}

int file_close(int fd) {
    return _close(fd);
}

int remove_file(const char* path) {
    return std::remove(path);
}

int replace_file(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

int stream_seek(std::FILE* stream, std::uint64_t position) {
    return _fseeki64(stream, static_cast<__int64>(position), SEEK_SET);
}
