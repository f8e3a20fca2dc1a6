#include "platform/file.h"

#include "platform/held_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Opens without waiting: a pipe would hold the open until a writer came, and
// a signal handler that lets calls resume would keep it waiting. Only a
// regular file is read (a folder opens read-only here but never on
// Windows); what is written may also be a device.
static int open_without_waiting(const char* path, int flags, bool only_regular) {
    const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat status;
    const bool refused = fstat(fd, &status) != 0 || S_ISDIR(status.st_mode) ||
                         (only_regular && !S_ISREG(status.st_mode));
    if (refused || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// A file the run created and holds is opened through what holds it: a
// descriptor of the same open file, at its start (emptied for 'w'). -1 when
// path names no held file, or the descriptor cannot be had (errno says).
static int open_held(const char* path, bool empty, bool* held) {
    const std::intptr_t holder = find_held_file(path);
    *held = holder >= 0;
    if (!*held) {
        return -1;
    }
    const int fd = fcntl(static_cast<int>(holder), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if ((empty && ftruncate(fd, 0) != 0) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int open_existing_file(const char* path, FileMode mode) {
    bool held = false;
    const int held_fd = open_held(path, false, &held);
    if (held) {
        return held_fd;
    }
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
    return open_without_waiting(path, flags, true);
}

FileKind file_kind(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) {
        return KIND_MISSING;
    }
    if (S_ISREG(status.st_mode)) {
        return KIND_REGULAR;
    }
    return S_ISDIR(status.st_mode) ? KIND_FOLDER : KIND_SPECIAL;
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
    int flags = O_RDONLY;
    const bool update = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        flags = update ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    bool held = false;
    int fd = open_held(path, mode[0] == 'w', &held);
    if (!held) {
        fd = open_without_waiting(path, flags, mode[0] == 'r');
    }
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
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

// The image was read whole to identify it just before it is patched, so the
// system's cache holds it: a read there is a copy, and a hint adds nothing.
void advise_file_reads(int fd, std::uint64_t offset, std::uint64_t length) {
    (void)fd;
    (void)offset;
    (void)length;
}

int stream_seek(std::FILE* stream, std::uint64_t position) {
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET);
}
