#include "platform/file.h"

#include <cerrno>
#include <cstring>
#include <sys/types.h>

// In the browser the program sees two files, both held by the page's worker
// (web/worker.js): the source image, the File the player picked, and the
// patched image, a file in the origin's private storage. Each is opened by
// name through the worker's library (platform/web/library.js), which moves
// bytes straight between the browser's file and this module's memory.
// Every read of a picked File costs milliseconds whatever its length, so the
// worker reads the range a window copies from in a few large slices when
// told it (advise_file_reads) and serves the window's reads from them.
// Positions are doubles there, exact below 2^53.
extern "C" {
int web_file_open(const char* name, int writable);
double web_file_size(int id);
double web_file_read(int id, double position, void* buffer, double count);
double web_file_write(int id, double position, const void* buffer, double count);
int web_file_flush(int id);
void web_file_close(int id);
void web_file_advise(int id, double offset, double length);
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

// The driver writes its output through a C stream: here one over the
// worker's file, moving each write straight to it (the stream is unbuffered).
static ssize_t read_cookie(void* cookie, char* buffer, size_t count) {
    const std::int64_t moved =
        file_read(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buffer, count);
    return moved < 0 ? -1 : static_cast<ssize_t>(moved);
}

static ssize_t write_cookie(void* cookie, const char* buffer, size_t count) {
    const std::int64_t moved =
        file_write(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buffer, count);
    // A stream takes 0 for a failed write.
    return moved < 0 ? 0 : static_cast<ssize_t>(moved);
}

static int seek_cookie(void* cookie, off_t* position, int whence) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    WebFile* file = open_file(fd);
    if (file == nullptr) {
        return -1;
    }
    std::int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = file->position;
    } else if (whence == SEEK_END) {
        base = file_length(fd);
        if (base < 0) {
            return -1;
        }
    }
    const std::int64_t target = base + static_cast<std::int64_t>(*position);
    if (file_seek(fd, target) < 0) {
        return -1;
    }
    *position = static_cast<off_t>(target);
    return 0;
}

static int close_cookie(void* cookie) {
    return file_close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

// Opens one of the worker's files as a stream. None is created or
// truncated here: the worker makes the output empty before the patch.
std::FILE* open_file_stream(const char* path, const char* mode) {
    const bool writes = std::strchr(mode, 'w') != nullptr || std::strchr(mode, '+') != nullptr ||
                        std::strchr(mode, 'a') != nullptr;
    const int fd = open_existing_file(path, writes ? FILE_READ_WRITE : FILE_READ);
    if (fd < 0) {
        return nullptr;
    }
    const cookie_io_functions_t functions = {read_cookie, write_cookie, seek_cookie, close_cookie};
    std::FILE* stream =
        fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, functions);
    if (stream == nullptr) {
        file_close(fd);
    }
    return stream;
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

// The storage writes as it sees fit; nothing to start.
void start_stream_writeback(std::FILE* stream, std::uint64_t offset, std::uint64_t length) {
    (void)stream;
    (void)offset;
    (void)length;
}

void advise_file_reads(int fd, std::uint64_t offset, std::uint64_t length) {
    const WebFile* file = open_file(fd);
    if (file != nullptr && !file->writable) {
        web_file_advise(file->id, static_cast<double>(offset), static_cast<double>(length));
    }
}

int stream_seek(std::FILE* stream, std::uint64_t position) {
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET);
}
