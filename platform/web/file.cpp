#include "platform/file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

// In the browser the program sees two files, both held by the page's worker:
// the image the player picked (a File, read only) and the patched image in the
// origin's private storage (a sync access handle). The worker's library
// (platform/web/library.js) opens them by name and moves bytes straight
// between them and this module's memory. Positions are doubles there, exact
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

// Each read of a picked File costs a few milliseconds whatever its size, and
// reading the image in 64 KiB pieces runs at a tenth of the speed of 32 MiB
// ones: reads of a read-only file are served from one slice this large.
constexpr std::size_t SLICE_BYTES = 32u << 20;

constexpr int MAXIMUM_OPEN_FILES = 8;

struct WebFile {
    bool open;
    bool writable;
    int id; // the worker's number for the file
    std::int64_t position;
};

struct ReadSlice {
    int descriptor; // whose bytes the slice holds; -1 for none
    unsigned char* bytes;
    std::int64_t start;
    std::size_t length;
};

// The descriptor table: what the kernel keeps for a native program.
WebFile open_files[MAXIMUM_OPEN_FILES];
ReadSlice read_slice = {-1, nullptr, 0, 0};

WebFile* open_file(int fd) {
    if (fd < 0 || fd >= MAXIMUM_OPEN_FILES || !open_files[fd].open) {
        errno = EBADF;
        return nullptr;
    }
    return &open_files[fd];
}

// Reads up to count bytes at position through the slice, refilling it when
// the first byte is not in it. Fewer bytes only at the end of the file.
std::int64_t read_through_slice(int fd, const WebFile& file, unsigned char* buffer,
                                std::size_t count) {
    if (read_slice.descriptor != fd || file.position < read_slice.start ||
        file.position >= read_slice.start + static_cast<std::int64_t>(read_slice.length)) {
        if (read_slice.bytes == nullptr) {
            read_slice.bytes = static_cast<unsigned char*>(std::malloc(SLICE_BYTES));
            if (read_slice.bytes == nullptr) {
                errno = ENOMEM;
                return -1;
            }
        }
        read_slice.descriptor = -1;
        const double got = web_file_read(file.id, static_cast<double>(file.position),
                                         read_slice.bytes, static_cast<double>(SLICE_BYTES));
        if (got < 0) {
            errno = EIO;
            return -1;
        }
        read_slice.descriptor = fd;
        read_slice.start = file.position;
        read_slice.length = static_cast<std::size_t>(got);
    }
    const std::size_t offset = static_cast<std::size_t>(file.position - read_slice.start);
    const std::size_t available = read_slice.length - offset;
    const std::size_t moved = count < available ? count : available;
    std::memcpy(buffer, read_slice.bytes + offset, moved);
    return static_cast<std::int64_t>(moved);
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
    // The output is read back whole regions at a time (the movies), and a
    // read as large as a slice gains nothing from one.
    std::int64_t got = 0;
    if (file->writable || count >= SLICE_BYTES) {
        const double moved = web_file_read(file->id, static_cast<double>(file->position), buffer,
                                           static_cast<double>(count));
        got = moved < 0 ? -1 : static_cast<std::int64_t>(moved);
    } else {
        got = read_through_slice(fd, *file, static_cast<unsigned char*>(buffer), count);
    }
    if (got < 0) {
        errno = EIO;
        return -1;
    }
    file->position += got;
    return got;
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
    WebFile* file = open_file(fd);
    if (file == nullptr) {
        return -1;
    }
    // What was written is in the storage once the handle's flush returns; a
    // close that cannot promise that fails, as close() does for a lost write.
    const int result = file->writable ? web_file_flush(file->id) : 0;
    web_file_close(file->id);
    file->open = false;
    if (read_slice.descriptor == fd) {
        std::free(read_slice.bytes);
        read_slice = ReadSlice{-1, nullptr, 0, 0};
    }
    if (result != 0) {
        errno = EIO;
        return -1;
    }
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
