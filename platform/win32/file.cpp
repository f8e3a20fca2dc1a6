#include "platform/file.h"

#include "platform/win32/wide.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

int open_existing_file(const char* path, FileMode mode) {
    std::wstring name;
    if (!extended_path(path, &name)) {
        return -1;
    }
    switch (mode) {
    case FILE_READ:
        return _wopen(name.c_str(), _O_RDONLY | _O_BINARY);
    case FILE_WRITE:
        return _wopen(name.c_str(), _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    case FILE_READ_WRITE:
        return _wopen(name.c_str(), _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    }
    return -1;
}

std::FILE* open_file_stream(const char* path, const char* mode) {
    std::wstring name;
    std::wstring wide_mode;
    if (!extended_path(path, &name) || !widen(mode, &wide_mode)) {
        return nullptr;
    }
    return _wfopen(name.c_str(), wide_mode.c_str());
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
    std::wstring name;
    if (!extended_path(path, &name)) {
        return -1;
    }
    return _wremove(name.c_str());
}

int stream_seek(std::FILE* stream, std::uint64_t position) {
    return _fseeki64(stream, static_cast<__int64>(position), SEEK_SET);
}
