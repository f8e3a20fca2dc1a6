#include "io/file_access.h"

#include "io/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/memory.h"

#include <cstdio>
#include <cstdlib>

// Regions from this size on get the advice for large pages.
static constexpr std::int64_t LARGE_REGION_BYTES = 4194304;

int open_file_mode(int* handle, const char* path, int mode) {
    switch (mode) {
    case OPEN_READ:
        *handle = open_existing_file(path, FILE_READ);
        break;
    case OPEN_WRITE:
        *handle = open_existing_file(path, FILE_WRITE);
        break;
    case OPEN_READ_WRITE:
        *handle = open_existing_file(path, FILE_READ_WRITE);
        break;
    default:
        break;
    }
    return 1;
}

static void close_handle(int* handle) {
    file_close(*handle);
    *handle = -1;
}

int read_file_region(int* handle, const char* path, unsigned char** data, std::uint32_t* length,
                     std::uint32_t size, std::uint32_t offset) {
    if (*handle < 0) {
        *handle = open_existing_file(path, FILE_READ);
    }
    if (*handle < 0) {
        print_console_name("Impossible d'ouvrir %s", path);
        std::getchar();
        return 0;
    }

    // The region is cut at the end of the file; lengths are compared in full,
    // so a file past 4 GiB or an offset past the end never wraps around.
    const std::int64_t file_size = file_length(*handle);
    std::int64_t wanted = 0;
    if (size == 0) {
        wanted = file_size;
    } else if (file_size > static_cast<std::int64_t>(offset)) {
        wanted = file_size - offset < size ? file_size - offset : size;
    }
    if (file_size < 0 || wanted > 0xFFFFFFFFll) {
        close_handle(handle);
        return 0;
    }

    unsigned char* buffer = static_cast<unsigned char*>(std::malloc(wanted > 0 ? wanted : 1));
    // A movie region is tens of megabytes, read once and walked through.
    if (buffer != nullptr && wanted >= LARGE_REGION_BYTES) {
        advise_large_pages(buffer, static_cast<std::size_t>(wanted));
    }
    if (buffer == nullptr || file_seek(*handle, offset) != static_cast<std::int64_t>(offset)) {
        std::free(buffer);
        close_handle(handle);
        return 0;
    }
    // A file that shrinks under us yields fewer bytes; the caller sees how many.
    std::int64_t got = 0;
    while (got < wanted) {
        const std::int64_t n =
            file_read(*handle, buffer + got, static_cast<std::size_t>(wanted - got));
        if (n < 0) {
            std::free(buffer);
            close_handle(handle);
            return 0;
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    close_handle(handle);
    *data = buffer;
    *length = static_cast<std::uint32_t>(got);
    return 1;
}

PublishResult publish_file(TemporaryFile* file, const char* temporary_path,
                           const char* final_path) {
    if (flush_temporary_file(file) != 0) {
        return PUBLISH_NOT_WRITTEN;
    }
    // The flush may take seconds: an interrupt that came meanwhile still
    // ends the run before the file takes its name.
    if (interrupt_requested()) {
        return PUBLISH_INTERRUPTED;
    }
    if (rename_temporary_file(file, temporary_path, final_path) != 0) {
        return PUBLISH_NOT_RENAMED;
    }
    release_temporary_file(file);
    return PUBLISH_DONE;
}
