#include "platform/file.h"

#include <cerrno>
#include <cstring>

// In the browser the program sees two files, both held by the page's worker
// (web/worker.js): the source image and the patched image, each opened by
// name through the worker's library (platform/web/library.js), which moves
// bytes straight between the browser's file and this module's memory. The
// source is the picked File while it is identified, and for the patch a copy
// of it in the origin's private storage: the decoder reads it at thousands
// of scattered places, which a sync access handle serves in microseconds and
// a picked File in milliseconds each. Positions are doubles there, exact
// below 2^53.
extern "C" {
int web_file_open(const char* name, int writable);
double web_file_size(int id);
double web_file_read(int id, double position, void* buffer, double count);
double web_file_write(int id, double position, const void* buffer, double count);
int web_file_flush(int id);
void web_file_close(int id);
}

namespace {

constexpr int MAXIMUM_OPEN_FILES = 8;

struct WebFile {
    bool open;
    bool writable;
    int id; // the worker's number for the file
    std::int64_t position;
};

// The descriptor table: what the kernel keeps for a native program.
WebFile open_files[MAXIMUM_OPEN_FILES];

WebFile* open_file(int fd) {
    if (fd < 0 || fd >= MAXIMUM_OPEN_FILES || !open_files[fd].open) {
        errno = EBADF;
        return nullptr;
    }
    return &open_files[fd];
}

} // namespace

int open_existing_file(const char* path, FileMode mode) {
    int fd = 0;
    while (fd < MAXIMUM_OPEN_FILES && open_files[fd].open) {
        ++fd;
    }
    if (fd == MAXIMUM_OPEN_FILES) {
        errno = EMFILE;
        return -1;
    }
    const bool writable = mode != FILE_READ;
    const int id = web_file_open(path, writable ? 1 : 0);
    if (id < 0) {
        errno = ENOENT;
        return -1;
    }
    open_files[fd] = WebFile{true, writable, id, 0};
    return fd;
}

std::int64_t file_length(int fd) {
    const WebFile* file = open_file(fd);
    if (file == nullptr) {
        return -1;
    }
    const double size = web_file_size(file->id);
    return size < 0 ? -1 : static_cast<std::int64_t>(size);
}

std::int64_t file_seek(int fd, std::int64_t position) {
    WebFile* file = open_file(fd);
    if (file == nullptr || position < 0) {
        return -1;
    }
    file->position = position;
    return position;
}

std::int64_t file_read(int fd, void* buffer, std::size_t count) {
    WebFile* file = open_file(fd);
    if (file == nullptr) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    const double moved = web_file_read(file->id, static_cast<double>(file->position), buffer,
                                       static_cast<double>(count));
    if (moved < 0) {
        errno = EIO;
        return -1;
    }
    file->position += static_cast<std::int64_t>(moved);
    return static_cast<std::int64_t>(moved);
}

std::int64_t file_write(int fd, const void* buffer, std::size_t count) {
    WebFile* file = open_file(fd);
    if (file == nullptr || !file->writable) {
        errno = EBADF;
        return -1;
    }
    // A full quota shows as a short write (or none) in some browsers and as
    // an exception in others; both come back as fewer bytes than asked.
    const double moved = web_file_write(file->id, static_cast<double>(file->position), buffer,
                                        static_cast<double>(count));
    if (moved < 0) {
        errno = ENOSPC;
        return -1;
    }
    file->position += static_cast<std::int64_t>(moved);
    return static_cast<std::int64_t>(moved);
}

int file_close(int fd) {
    const WebFile* file = open_file(fd);
    if (file == nullptr) {
        return -1;
    }
    // No flush: the stored image is read back from the browser's own storage
    // when it is saved, and a tab that dies first loses it anyway; a flush
    // of the whole image to the disk costs seconds.
    web_file_close(file->id);
    open_files[fd].open = false;
    return 0;
}

// The browser files are opened through descriptors only; the program's C
// streams are for files of its own, which the page never has.
std::FILE* open_file_stream(const char* path, const char* mode) {
    (void)path;
    (void)mode;
    errno = ENOENT;
    return nullptr;
}

bool same_file(const char* first, const char* second) {
    return std::strcmp(first, second) == 0;
}

// The worker creates, removes and names the stored files itself, with the
// browser's own calls; the patch and the movie rewrite never need to.
int remove_file(const char* path) {
    (void)path;
    errno = EPERM;
    return -1;
}

int replace_file(const char* from, const char* to) {
    (void)from;
    (void)to;
    errno = EPERM;
    return -1;
}

int flush_file(int fd) {
    const WebFile* file = open_file(fd);
    if (file == nullptr) {
        return -1;
    }
    return file->writable ? web_file_flush(file->id) : 0;
}

int stream_seek(std::FILE* stream, std::uint64_t position) {
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET);
}
