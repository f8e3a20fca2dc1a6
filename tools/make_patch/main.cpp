// make-patch [--no-checksum] SOURCE TARGET PATCH
//
// Options may stand before, between or after the operands; "--" ends them.
//
// For translators: writes the VCDIFF patch that turns SOURCE (the Japanese
// image) into TARGET (the translated one), in the form the patcher carries
// and applies. Every window is decoded again with the patcher's own decoder
// and compared with TARGET before it counts; exit status 0 only when PATCH
// holds a patch that reproduces TARGET exactly. On failure the reason goes
// to standard error and no PATCH is written (an older one stays as it was).

#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "tools/make_patch/make_patch.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

static int usage() {
    std::fprintf(stderr, "usage: make-patch [--no-checksum] [--] SOURCE TARGET PATCH\n"
                         "  --no-checksum  plain RFC 3284: no window checksums, no application "
                         "header\n");
    return 2;
}

// Options anywhere, as translators type them after the files as often as
// before; after "--" every argument is an operand, so that a file whose name
// starts with a dash can still be named. An option it does not know is
// refused rather than taken for a file.
static bool parse_arguments(int argc, char** argv, MakePatchOptions* options) {
    const char* operands[3] = {};
    int count = 0;
    bool options_ended = false;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (!options_ended && argument[0] == '-' && argument[1] != '\0') {
            if (std::strcmp(argument, "--") == 0) {
                options_ended = true;
            } else if (std::strcmp(argument, "--no-checksum") == 0) {
                options->with_checksum = false;
            } else {
                return false;
            }
            continue;
        }
        if (count == 3) {
            return false;
        }
        operands[count++] = argument;
    }
    options->source_path = operands[0];
    options->target_path = operands[1];
    options->patch_path = operands[2];
    return count == 3;
}

int main(int argc, char** argv) {
    open_standard_streams();
    // Paths in UTF-8 on every platform, as the program's file functions take them.
    ProgramArguments arguments;
    if (!read_program_arguments(&argc, &argv, &arguments)) {
        std::fprintf(stderr, "cannot read the command line\n");
        return 2;
    }
    MakePatchOptions options = {};
    options.with_checksum = true;
    options.show_progress = true;
    if (!parse_arguments(argc, argv, &options)) {
        return usage();
    }
    // Nothing is created or removed before the inputs are known to be files
    // to read. PATCH is replaced at the end and PATCH.incomplete cleared at
    // the start: neither may be one of the inputs, under any name.
    for (const char* input : {options.source_path, options.target_path}) {
        const FileKind kind = file_kind(input);
        if (kind == KIND_FOLDER || kind == KIND_SPECIAL) {
            std::fprintf(stderr, "make-patch: %s is not a file\n", input);
            return 1;
        }
    }
    const std::string temporary = std::string(options.patch_path) + ".incomplete";
    for (const char* input : {options.source_path, options.target_path}) {
        if (same_file(input, options.patch_path) || same_file(input, temporary.c_str())) {
            std::fprintf(stderr,
                         "make-patch: PATCH and PATCH.incomplete must not be SOURCE or TARGET\n");
            return 2;
        }
    }
    if (file_kind(options.patch_path) == KIND_FOLDER) {
        std::fprintf(stderr, "make-patch: %s is a folder\n", options.patch_path);
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    MakePatchResult result = {};
    char reason[512];
    start_interrupt_watch();
    const bool made = make_patch(options, &result, reason, sizeof reason);
    stop_interrupt_watch();
    if (!made) {
        std::fprintf(stderr, "make-patch: %s; no patch written\n", reason);
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("make-patch: %s: %llu bytes in %llu windows, verified against the target "
                "(%llu bytes from a source of %llu) in %.1f s\n",
                options.patch_path, static_cast<unsigned long long>(result.patch_bytes),
                static_cast<unsigned long long>(result.windows),
                static_cast<unsigned long long>(result.target_bytes),
                static_cast<unsigned long long>(result.source_bytes), seconds);
    return 0;
}
