// apply-patch SOURCE PATCH OUTPUT
//
// For translators: applies a VCDIFF patch file to a source file the same way
// the patcher applies the patch it carries, with the same progress line.
// Exit status 0 only when the whole patch applied; otherwise the reason goes
// to standard error and an earlier OUTPUT is left as it was. The target is
// written as OUTPUT.part and takes the name OUTPUT only once whole, so that a
// kill or a power cut never leaves a partial target under that name.

#include "delta/driver.h"
#include "delta/summary.h"
#include "io/file_access.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/temporary_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// The target size the patch announces: the sum of its windows' target
// lengths, read from the window headers alone. 0 when it cannot be told (a
// patch cut or malformed in its headers, or a total past the progress
// arithmetic); the patch is then applied without a progress line, and the
// driver reports whatever is wrong with it.
static std::uint32_t announced_target_bytes(const char* patch_path) {
    int handle = open_existing_file(patch_path, FILE_READ);
    unsigned char* bytes = nullptr;
    std::uint32_t length = 0;
    if (handle < 0 || !read_file_region(&handle, patch_path, &bytes, &length, 0, 0)) {
        return 0;
    }
    PatchSummary summary;
    const char* why = nullptr;
    const bool known =
        summarize_patch(bytes, length, &summary, &why) == 0 && summary.target_bytes <= UINT32_MAX;
    std::free(bytes);
    return known ? static_cast<std::uint32_t>(summary.target_bytes) : 0;
}

int main(int argc, char** argv) {
    open_standard_streams();
    // Paths in UTF-8 on every platform, as the program's file functions take them.
    ProgramArguments arguments;
    if (!read_program_arguments(&argc, &argv, &arguments)) {
        std::fprintf(stderr, "cannot read the command line\n");
        return 2;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: apply-patch SOURCE PATCH OUTPUT\n");
        return 2;
    }
    const char* source = argv[1];
    const char* patch = argv[2];
    const char* output = argv[3];
    const std::string temporary = std::string(output) + ".part";
    // Nothing is created or removed before the inputs are known to be files
    // this run may read, and neither output name one of them.
    for (const char* input : {source, patch}) {
        const FileKind kind = file_kind(input);
        if (kind == KIND_FOLDER || kind == KIND_SPECIAL) {
            std::fprintf(stderr, "apply-patch: %s is not a file\n", input);
            return 1;
        }
    }
    if (same_file(source, output) || same_file(patch, output) ||
        same_file(source, temporary.c_str()) || same_file(patch, temporary.c_str())) {
        std::fprintf(stderr, "usage: apply-patch SOURCE PATCH OUTPUT (OUTPUT and OUTPUT.part "
                             "must be new files)\n");
        return 2;
    }
    if (file_kind(output) == KIND_FOLDER) {
        std::fprintf(stderr, "apply-patch: %s is a folder\n", output);
        return 1;
    }
    std::FILE* probe = open_file_stream(source, "rb");
    if (probe == nullptr) {
        std::fprintf(stderr, "apply-patch: cannot open the source %s\n", source);
        return 1;
    }
    std::fclose(probe);

    const std::uint32_t expected = announced_target_bytes(patch);
    const char* message = nullptr;
    // Watched from before the target exists until it has its name.
    start_interrupt_watch();
    std::int32_t result = PATCH_OUTPUT_FAILED;
    TemporaryFile file{-1, -1};
    // An earlier OUTPUT stays until the new one replaces it.
    const TemporaryStatus created = create_temporary_file(temporary.c_str(), &file);
    if (created == TEMPORARY_HELD) {
        message = "another running program is writing OUTPUT.part";
    } else if (created != TEMPORARY_CREATED) {
        message = "cannot create OUTPUT.part";
    } else {
        result = apply_delta_patch_ex(true, 0, 100, expected, nullptr, source, temporary.c_str(),
                                      patch, &message);
    }
    if (result == 0) {
        const PublishResult published = publish_file(&file, temporary.c_str(), output);
        if (published != PUBLISH_DONE) {
            result = published == PUBLISH_INTERRUPTED ? PATCH_INTERRUPTED : PATCH_OUTPUT_FAILED;
            message = published == PUBLISH_INTERRUPTED   ? "interrupted"
                      : published == PUBLISH_NOT_WRITTEN ? "cannot bring the target to the disk"
                                                         : "cannot rename OUTPUT.part to OUTPUT";
        }
    }
    if (result != 0) {
        discard_temporary_file(&file, temporary.c_str());
    }
    stop_interrupt_watch();
    if (expected != 0) {
        std::printf("\n");
    }
    if (result != 0) {
        std::fprintf(stderr, "apply-patch: %s (status %d)\n",
                     message != nullptr ? message : "patch failed", static_cast<int>(result));
        return 1;
    }
    return 0;
}
