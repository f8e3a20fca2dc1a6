#include "app/identify.h"

#include "app/messages.h"
#include "app/run.h"
#include "io/console.h"
#include "io/file_access.h"
#include "platform/file.h"

#include <cstdlib>
#include <cstring>

// Reads size bytes at offset and compares them with signature. A failed read
// hands back no data and counts as a mismatch.
static bool region_matches(int* handle, const char* path, std::uint32_t offset,
                           const char* signature, std::uint32_t size) {
    unsigned char* data = nullptr;
    std::uint32_t length = 0;
    if (!read_file_region(handle, path, &data, &length, size, offset)) {
        return false;
    }
    const bool same = length == size && std::memcmp(data, signature, size) == 0;
    std::free(data);
    return same;
}

ImageCheck check_source_image(const char* path) {
    // Only read: an image with the read-only attribute, or on a medium or
    // share that allows no writing, patches like any other.
    int handle = -1;
    open_file_mode(&handle, path, OPEN_READ);
    if (handle < 0) {
        return IMAGE_UNOPENABLE;
    }
    if (file_length(handle) != SOURCE_IMAGE_SIZE) {
        file_close(handle);
        return IMAGE_IS_OTHER;
    }
    // Each region read closes the file, success or not.
    if (!region_matches(&handle, path, BOOT_PATH_OFFSET, BOOT_PATH_SIGNATURE,
                        sizeof BOOT_PATH_SIGNATURE - 1) ||
        !region_matches(&handle, path, SECOND_SIGNATURE_OFFSET, SECOND_SIGNATURE,
                        sizeof SECOND_SIGNATURE - 1)) {
        return IMAGE_IS_OTHER;
    }
    return IMAGE_IS_SOURCE;
}

void print_not_found() {
    print_console_text(MESSAGE_NOT_FOUND);
    print_console_text(MESSAGE_SIZE_HINT);
    print_console_text(MESSAGE_CRC_HINT);
}
