#include "platform/temporary_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// flock, not fcntl: an fcntl lock belongs to the process and goes the moment
// any descriptor of the file is closed, and the patch driver and the movie
// rewrite open and close the file by name while the run holds it.

namespace {

// Times a leftover is removed and the name tried again before the run gives
// way to whoever keeps putting files there.
constexpr int CREATE_ATTEMPTS = 4;

// true when path, as a name and not through a link, is the open file fd.
bool names_file(const char* path, int fd) {
    struct stat named;
    struct stat held;
    return lstat(path, &named) == 0 && fstat(fd, &held) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

// What stands at path and is not held: removed (TEMPORARY_CREATED says the
// name may be tried again). Nothing is opened through a link, and a special
// file is opened without waiting for a writer.
TemporaryStatus remove_leftover(const char* path) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return TEMPORARY_CREATED;
        }
        // A link (ELOOP), or a special file that does not open this way. A
        // file that cannot be opened cannot be asked whether it is held.
        struct stat status;
        const bool removable =
            lstat(path, &status) == 0 && !S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode);
        if (removable && unlink(path) == 0) {
            return TEMPORARY_CREATED;
        }
        return errno == ENOENT ? TEMPORARY_CREATED : TEMPORARY_REFUSED;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(fd);
        return TEMPORARY_REFUSED;
    }
    if (S_ISREG(status.st_mode) && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return errno == EWOULDBLOCK ? TEMPORARY_HELD : TEMPORARY_REFUSED;
    }
    // Held now, so no other copy takes it meanwhile; the name is checked to
    // still be this file before it goes (one that changed is tried again).
    const bool removed = !names_file(path, fd) || unlink(path) == 0;
    close(fd);
    return removed ? TEMPORARY_CREATED : TEMPORARY_REFUSED;
}

} // namespace

TemporaryStatus create_temporary_file(const char* path, TemporaryFile* file) {
    file->holder = -1;
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno != EEXIST) {
                return TEMPORARY_REFUSED;
            }
            const TemporaryStatus cleared = remove_leftover(path);
            if (cleared != TEMPORARY_CREATED) {
                return cleared;
            }
            continue;
        }
        // Another copy that found the file in the instant before the lock
        // took it for a leftover and removed it: it is that copy's turn.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !names_file(path, fd)) {
            close(fd);
            return TEMPORARY_HELD;
        }
        file->holder = fd;
        return TEMPORARY_CREATED;
    }
    return TEMPORARY_HELD;
}

int flush_temporary_file(const TemporaryFile* file) {
    return fsync(static_cast<int>(file->holder));
}

int rename_temporary_file(const TemporaryFile* file, const char* path, const char* final_path) {
    // No system call renames a descriptor; the name is checked instead. While
    // the file is held no other copy removes or replaces it.
    if (!names_file(path, static_cast<int>(file->holder))) {
        errno = ENOENT;
        return -1;
    }
    return std::rename(path, final_path);
}

void discard_temporary_file(TemporaryFile* file, const char* path) {
    if (file->holder >= 0 && names_file(path, static_cast<int>(file->holder))) {
        unlink(path);
    }
    release_temporary_file(file);
}

void release_temporary_file(TemporaryFile* file) {
    if (file->holder >= 0) {
        close(static_cast<int>(file->holder));
        file->holder = -1;
    }
}
