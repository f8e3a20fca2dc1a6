// check-resources PATCH RU_OP RY_OP
//
// The build's check of the three files a patcher is about to carry: the
// patch must make exactly the image the patcher expects (its windows' target
// lengths add up to that size, and an application header that names sizes
// names that one and the Japanese image's), and each soundtrack must be
// whole 16-byte blocks whose decoded PCM fits the movies' buffer. A patcher
// built with the patch of another image would otherwise tell every player
// that a wrong image is right. One line on standard error for each file that
// fails; exit status 0 only when all three pass.

#include "app/run.h"
#include "delta/summary.h"
#include "io/file_access.h"
#include "movie/adpcm.h"
#include "movie/rewrite.h"
#include "platform/file.h"

#include <cstdio>
#include <cstdlib>

namespace {

unsigned long long as_number(usize_t value) {
    return static_cast<unsigned long long>(value);
}

bool check_patch(const char* path) {
    int handle = open_existing_file(path, FILE_READ);
    unsigned char* bytes = nullptr;
    std::uint32_t length = 0;
    if (handle < 0 || !read_file_region(&handle, path, &bytes, &length, 0, 0)) {
        std::fprintf(stderr, "check-resources: cannot read the patch %s\n", path);
        return false;
    }
    PatchSummary summary;
    const char* why = nullptr;
    const std::int32_t status = summarize_patch(bytes, length, &summary, &why);
    std::free(bytes);
    if (status != 0) {
        std::fprintf(stderr, "check-resources: %s is no patch the patcher can apply: %s\n", path,
                     why);
        return false;
    }
    if (summary.target_bytes != EXPECTED_OUTPUT_SIZE) {
        std::fprintf(stderr,
                     "check-resources: the patch %s makes %llu bytes in %llu windows; the "
                     "patcher writes an image of exactly %llu bytes\n",
                     path, as_number(summary.target_bytes), as_number(summary.windows),
                     as_number(EXPECTED_OUTPUT_SIZE));
        return false;
    }
    if (summary.sizes_announced && (summary.announced_source_bytes != SOURCE_IMAGE_SIZE ||
                                    summary.announced_target_bytes != EXPECTED_OUTPUT_SIZE)) {
        std::fprintf(stderr,
                     "check-resources: the patch %s was made from %llu to %llu bytes; the "
                     "patcher goes from %llu to %llu\n",
                     path, as_number(summary.announced_source_bytes),
                     as_number(summary.announced_target_bytes), as_number(SOURCE_IMAGE_SIZE),
                     as_number(EXPECTED_OUTPUT_SIZE));
        return false;
    }
    return true;
}

// Length of the file at path, or -1.
std::int64_t file_bytes(const char* path) {
    const int fd = open_existing_file(path, FILE_READ);
    if (fd < 0) {
        return -1;
    }
    const std::int64_t bytes = file_length(fd);
    file_close(fd);
    return bytes;
}

bool check_soundtrack(const char* path) {
    const std::int64_t length = file_bytes(path);
    if (length < 0) {
        std::fprintf(stderr, "check-resources: cannot read the soundtrack %s\n", path);
        return false;
    }
    if (length % ADPCM_BLOCK_BYTES != 0) {
        std::fprintf(stderr,
                     "check-resources: the soundtrack %s is %lld bytes, not whole %u-byte "
                     "PS-ADPCM blocks\n",
                     path, static_cast<long long>(length),
                     static_cast<unsigned>(ADPCM_BLOCK_BYTES));
        return false;
    }
    // Past 32 bits the decoder's own arithmetic would wrap; such a file is
    // far past the buffer anyway.
    if (length > 0xFFFFFFFFll ||
        stereo_pcm_bytes(static_cast<std::uint32_t>(length)) > PCM_BUFFER_BYTES) {
        std::fprintf(stderr,
                     "check-resources: the soundtrack %s decodes to more than the %llu bytes of "
                     "PCM the movies take\n",
                     path, as_number(PCM_BUFFER_BYTES));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: check-resources PATCH RU_OP RY_OP\n");
        return 2;
    }
    const bool patch = check_patch(argv[1]);
    const bool ru_op = check_soundtrack(argv[2]);
    const bool ry_op = check_soundtrack(argv[3]);
    return patch && ru_op && ry_op ? 0 : 1;
}
