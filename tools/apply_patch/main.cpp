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
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/temporary_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The patch file read a piece at a time, for the few header bytes the scan
// below looks at: a window header takes at most 41.
struct PatchBytes {
    std::FILE* file;
    std::uint64_t position; // file offset of the next byte
    std::size_t length;     // bytes in piece
    std::size_t used;       // of those, taken
    unsigned char piece[64];
};

static bool next_byte(PatchBytes* in, unsigned* byte) {
    if (in->used == in->length) {
        in->length = std::fread(in->piece, 1, sizeof in->piece, in->file);
        in->used = 0;
        if (in->length == 0) {
            return false;
        }
    }
    *byte = in->piece[in->used++];
    ++in->position;
    return true;
}

// Goes on from position, which may lie past the end of the file.
static bool move_to(PatchBytes* in, std::uint64_t position) {
    in->position = position;
    in->length = 0;
    in->used = 0;
    return stream_seek(in->file, position) == 0;
}

// One RFC 3284 integer, by the decoder's rule (delta/format.h); false at the
// end of the file or past 64 bits.
static bool read_integer(PatchBytes* in, std::uint64_t* value) {
    std::uint64_t result = 0;
    unsigned byte = 0;
    while (next_byte(in, &byte)) {
        switch (add_integer_byte(&result, byte)) {
        case INTEGER_MORE:
            break;
        case INTEGER_DONE:
            *value = result;
            return true;
        case INTEGER_OVERFLOW:
            return false;
        }
    }
    return false;
}

// The target size the patch announces: the sum of its windows' target
// lengths, read from the window headers alone. 0 when it cannot be told (or
// does not fit the progress arithmetic); the patch is then applied without a
// progress line, and the driver reports whatever is wrong with it.
static std::uint32_t announced_target_bytes(const char* patch_path) {
    PatchBytes in = {open_file_stream(patch_path, "rb"), 0, 0, 0, {}};
    if (in.file == nullptr) {
        return 0;
    }
    std::uint64_t total = 0;
    unsigned byte = 0;
    bool ok = true;
    for (const unsigned char magic : VCDIFF_MAGIC) {
        ok = ok && next_byte(&in, &byte) && byte == magic;
    }
    // Secondary compression and own code tables are refused by the decoder.
    ok = ok && next_byte(&in, &byte) && (byte & ~unsigned{VCD_APPHEADER}) == 0;
    if (ok && (byte & VCD_APPHEADER) != 0) {
        std::uint64_t length = 0;
        ok = read_integer(&in, &length) && move_to(&in, in.position + length);
    }
    while (ok && next_byte(&in, &byte)) {
        std::uint64_t value = 0;
        const usize_t segment = usize_t{byte} & (VCD_SOURCE | VCD_TARGET);
        if (segment == VCD_SOURCE || segment == VCD_TARGET) {
            ok = read_integer(&in, &value) && read_integer(&in, &value);
        }
        std::uint64_t encoding = 0;
        std::uint64_t target = 0;
        ok = ok && read_integer(&in, &encoding);
        const std::uint64_t next_window = in.position + encoding;
        ok = ok && read_integer(&in, &target) && next_window >= in.position &&
             move_to(&in, next_window);
        total += target;
        ok = ok && total <= UINT32_MAX;
    }
    std::fclose(in.file);
    return ok ? static_cast<std::uint32_t>(total) : 0;
}

int main(int argc, char** argv) {
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
    TemporaryFile file{-1};
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
