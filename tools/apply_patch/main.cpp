// apply-patch SOURCE PATCH OUTPUT
//
// For translators: applies a VCDIFF patch file to a source file the same way
// the patcher applies the patch it carries, with the same progress line.
// Exit status 0 only when the whole patch applied; otherwise the reason goes
// to standard error and an earlier OUTPUT is left as it was. The target is
// written as OUTPUT.part and takes the name OUTPUT only once whole, so that a
// kill or a power cut never leaves a partial target under that name.

#include "delta/driver.h"
#include "delta/format.h"
#include "io/file_access.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/temporary_file.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Reads one RFC 3284 integer; false at the end of the file or past 64 bits.
static bool read_integer(std::FILE* file, std::uint64_t* position, std::uint64_t* value) {
    std::uint64_t result = 0;
    for (;;) {
        const int byte = std::fgetc(file);
        if (byte == EOF) {
            return false;
        }
        ++*position;
        switch (add_integer_byte(&result, static_cast<unsigned>(byte))) {
        case INTEGER_MORE:
            break;
        case INTEGER_DONE:
            *value = result;
            return true;
        case INTEGER_OVERFLOW:
            return false;
        }
    }
}

// The target size the patch announces: the sum of its windows' target
// lengths, read from the window headers alone. 0 when it cannot be told (or
// does not fit the progress arithmetic); the patch is then applied without a
// progress line, and the driver reports whatever is wrong with it.
static std::uint32_t announced_target_bytes(const char* patch_path) {
    std::FILE* file = open_file_stream(patch_path, "rb");
    if (file == nullptr) {
        return 0;
    }
    std::uint64_t position = 0;
    std::uint64_t total = 0;
    bool ok = true;
    for (const unsigned char magic : VCDIFF_MAGIC) {
        ok = ok && std::fgetc(file) == magic;
    }
    position = sizeof VCDIFF_MAGIC;
    const int indicator = ok ? std::fgetc(file) : EOF;
    ++position;
    // Secondary compression and own code tables are refused by the decoder.
    ok = ok && indicator != EOF && (indicator & ~int{VCD_APPHEADER}) == 0;
    if (ok && (indicator & VCD_APPHEADER) != 0) {
        std::uint64_t length = 0;
        ok = read_integer(file, &position, &length) && stream_seek(file, position + length) == 0;
        position += length;
    }
    while (ok) {
        const int window = std::fgetc(file);
        if (window == EOF) {
            break;
        }
        ++position;
        std::uint64_t value = 0;
        const usize_t segment = static_cast<usize_t>(window) & (VCD_SOURCE | VCD_TARGET);
        if (segment == VCD_SOURCE || segment == VCD_TARGET) {
            ok = read_integer(file, &position, &value) && read_integer(file, &position, &value);
        }
        std::uint64_t encoding = 0;
        std::uint64_t target = 0;
        ok = ok && read_integer(file, &position, &encoding);
        const std::uint64_t next_window = position + encoding;
        ok = ok && read_integer(file, &position, &target) && next_window >= position &&
             stream_seek(file, next_window) == 0;
        position = next_window;
        total += target;
        ok = ok && total <= UINT32_MAX;
    }
    std::fclose(file);
    return ok ? static_cast<std::uint32_t>(total) : 0;
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
