#include "platform/temporary_file.h"

#include "platform/held_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// flock, not fcntl: an fcntl lock belongs to the process and goes the moment
// any descriptor of the file is closed, and the patch driver and the movie
// rewrite open and close their own descriptors of the file while the run
// holds it.
//
// Every name is looked up in the folder the file was made in, through a
// descriptor of that folder taken at creation: a folder renamed or moved
// while the run works still has the file removed or renamed where it now is,
// instead of a name that no longer leads there.

namespace {

// Times a leftover is removed and the name tried again before the run gives
// way to whoever keeps putting files there.
constexpr int CREATE_ATTEMPTS = 4;

// The folder part of path ("." for a bare name) and the name within it.
void split_path(const char* path, std::string* folder, const char** leaf) {
    const char* separator = std::strrchr(path, '/');
    if (separator == nullptr) {
        folder->assign(1, '.');
        *leaf = path;
        return;
    }
    const std::size_t length = separator == path ? 1 : static_cast<std::size_t>(separator - path);
    folder->assign(path, length);
    *leaf = separator + 1;
}

// true when leaf in folder, as a name and not through a link, is the open
// file fd.
bool names_file(int folder, const char* leaf, int fd) {
    struct stat named;
    struct stat held;
    return fstatat(folder, leaf, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// What stands at leaf and is not held: removed (TEMPORARY_CREATED says the
// name may be tried again). Nothing is opened through a link, and a special
// file is opened without waiting for a writer.
TemporaryStatus remove_leftover(int folder, const char* leaf) {
    const int fd = openat(folder, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return TEMPORARY_CREATED;
        }
        // A link (ELOOP), or a special file that does not open this way. A
        // file that cannot be opened cannot be asked whether it is held.
        struct stat status;
        const bool removable = fstatat(folder, leaf, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                               !S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode);
        if (removable && unlinkat(folder, leaf, 0) == 0) {
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
    const bool removed = !names_file(folder, leaf, fd) || unlinkat(folder, leaf, 0) == 0;
    close(fd);
    return removed ? TEMPORARY_CREATED : TEMPORARY_REFUSED;
}

// Creates leaf in folder and holds it; -1 with the status in *status.
int create_held(int folder, const char* leaf, TemporaryStatus* status) {
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        const int fd =
            openat(folder, leaf, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno != EEXIST) {
                *status = TEMPORARY_REFUSED;
                return -1;
            }
            const TemporaryStatus cleared = remove_leftover(folder, leaf);
            if (cleared != TEMPORARY_CREATED) {
                *status = cleared;
                return -1;
            }
            continue;
        }
        // Another copy that found the file in the instant before the lock
        // took it for a leftover and removed it: it is that copy's turn.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !names_file(folder, leaf, fd)) {
            close(fd);
            *status = TEMPORARY_HELD;
            return -1;
        }
        *status = TEMPORARY_CREATED;
        return fd;
    }
    *status = TEMPORARY_HELD;
    return -1;
}

} // namespace

TemporaryStatus create_temporary_file(const char* path, TemporaryFile* file) {
    file->holder = -1;
    file->folder = -1;
    std::string folder_path;
    const char* leaf = nullptr;
    split_path(path, &folder_path, &leaf);
    const int folder = open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 || *leaf == '\0') {
        if (folder >= 0) {
            close(folder);
        }
        return TEMPORARY_REFUSED;
    }
    TemporaryStatus status = TEMPORARY_REFUSED;
    const int fd = create_held(folder, leaf, &status);
    if (fd < 0) {
        close(folder);
        return status;
    }
    // Held but unknown to the opens that follow, the file would be written
    // by name after all: better not to start.
    if (!remember_held_file(path, fd)) {
        unlinkat(folder, leaf, 0);
        close(fd);
        close(folder);
        return TEMPORARY_REFUSED;
    }
    file->holder = fd;
    file->folder = folder;
    return TEMPORARY_CREATED;
}

int flush_temporary_file(const TemporaryFile* file) {
    return fsync(static_cast<int>(file->holder));
}

int rename_temporary_file(const TemporaryFile* file, const char* path, const char* final_path) {
    const int folder = static_cast<int>(file->folder);
    std::string folder_path;
    std::string final_folder_path;
    const char* leaf = nullptr;
    const char* final_leaf = nullptr;
    split_path(path, &folder_path, &leaf);
    split_path(final_path, &final_folder_path, &final_leaf);
    // No system call renames a descriptor; the name is checked instead. While
    // the file is held no other copy removes or replaces it.
    if (file->holder < 0 || folder_path != final_folder_path ||
        !names_file(folder, leaf, static_cast<int>(file->holder))) {
        errno = ENOENT;
        return -1;
    }
    return renameat(folder, leaf, folder, final_leaf);
}

void discard_temporary_file(TemporaryFile* file, const char* path) {
    if (file->holder >= 0) {
        std::string folder_path;
        const char* leaf = nullptr;
        split_path(path, &folder_path, &leaf);
        const int folder = static_cast<int>(file->folder);
        if (names_file(folder, leaf, static_cast<int>(file->holder))) {
            unlinkat(folder, leaf, 0);
        }
    }
    release_temporary_file(file);
}

void release_temporary_file(TemporaryFile* file) {
    if (file->holder >= 0) {
        forget_held_file(file->holder);
        close(static_cast<int>(file->holder));
        close(static_cast<int>(file->folder));
        file->holder = -1;
        file->folder = -1;
    }
}
