#include "platform/file.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int open_existing_file(const char* path, FileMode mode) {
    int flags = 0;
    switch (mode) {
    case FILE_READ:
        flags = O_RDONLY;
        break;
    case FILE_WRITE:
        flags = O_WRONLY;
        break;
    case FILE_READ_WRITE:
        flags = O_RDWR;
        break;
    }
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // A directory opens read-only here but never on Windows; neither is a file.
    struct stat status;
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::int64_t file_length(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

std::int64_t file_seek(int fd, std::int64_t position) {
    return static_cast<std::int64_t>(lseek(fd, static_cast<off_t>(position), SEEK_SET));
}

std::int64_t file_read(int fd, void* buffer, std::size_t count) {
    return static_cast<std::int64_t>(read(fd, buffer, count));
}

std::int64_t file_write(int fd, const void* buffer, std::size_t count) {
    return static_cast<std::int64_t>(write(fd, buffer, count));
}

int file_close(int fd) {
    return close(fd);
}

std::FILE* open_file_stream(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool same_file(const char* first, const char* second) {
    struct stat a;
    struct stat b;
    return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int remove_file(const char* path) {
    return unlink(path);
}

int replace_file(const char* from, const char* to) {
    return std::rename(from, to);
}

int flush_file(int fd) {
    return fsync(fd);
}

void start_stream_writeback(std::FILE* stream, std::uint64_t offset, std::uint64_t length) {
#ifdef __linux__
    sync_file_range(fileno(stream), static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
#else
    (void)stream;
    (void)offset;
    (void)length;
#endif
}

int stream_seek(std::FILE* stream, std::uint64_t position) {
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET);
}
