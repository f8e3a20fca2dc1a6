// The patcher as the web page runs it, in a dedicated worker: the page picks
// the image instead of a search, and the output is a file in the origin's
// private storage that the page then saves. Identification, the decoder, the
// movie rewrite and every message are the console program's own.

#include "app/identify.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/run.h"
#include "delta/driver.h"
#include "delta/loop.h"
#include "delta/source_reader.h"
#include "delta/stream.h"
#include "io/console.h"
#include "movie/rewrite.h"
#include "platform/file.h"
#include "platform/resource.h"

#include <emscripten/emscripten.h>

#include <cstdlib>
#include <cstring>
#include <string>

// The worker's names for the two files (platform/web/library.js).
static constexpr char SOURCE_NAME[] = "source";
static constexpr char TARGET_NAME[] = "target";
static constexpr char PATCH_RESOURCE_NAME[] = "Delta_patch";

// How web_patch ended, for the page to choose what it offers next.
enum WebOutcome {
    WEB_PATCHED = 0,        // the whole image, re-dubbed, is in the target
    WEB_BAD_CRC = 1,        // a window's checksum: the picked file is not the image
    WEB_FAILED = 2,         // the patch failed
    WEB_REWRITE_FAILED = 3, // the movie rewrite failed and said why
    WEB_NOT_WRITTEN = 4,    // the finished image could not be stored
};

// The page's progress bar and phases (platform/web/library.js).
extern "C" void web_report_progress(double written, double total);
extern "C" void web_report_redub();

struct WebPatch {
    DeltaStream stream;
    DeltaSource source;
    SourceReader source_reader;
    int target_fd;
    const unsigned char* patch;
    usize_t patch_remaining;
    usize_t written; // target bytes in the file
};

static std::int32_t read_patch(void* opaque, const unsigned char** bytes, usize_t* length) {
    WebPatch* patch = static_cast<WebPatch*>(opaque);
    const usize_t count =
        patch->patch_remaining < PATCH_CHUNK_SIZE ? patch->patch_remaining : PATCH_CHUNK_SIZE;
    *bytes = patch->patch;
    *length = count;
    patch->patch += count;
    patch->patch_remaining -= count;
    return 0;
}

// The source is the copy in the origin's private storage, read as the
// console program reads its image.
static std::int32_t read_source(void* opaque, DeltaSource* source) {
    WebPatch* patch = static_cast<WebPatch*>(opaque);
    return read_requested_source(&patch->source_reader, source);
}

// Each window goes to the storage whole, in one call: a call into the page
// costs the same for a few bytes as for many megabytes.
static std::int32_t write_target(void* opaque, const unsigned char* window, usize_t end,
                                 bool window_done) {
    WebPatch* patch = static_cast<WebPatch*>(opaque);
    if (!window_done) {
        return 0;
    }
    usize_t done = 0;
    while (done < end) {
        const std::int64_t count =
            file_write(patch->target_fd, window + done, static_cast<std::size_t>(end - done));
        // A full quota shows as a write of nothing in some browsers.
        if (count <= 0) {
            return PATCH_OUTPUT_FAILED;
        }
        done += static_cast<usize_t>(count);
    }
    patch->written += end;
    web_report_progress(static_cast<double>(patch->written), EXPECTED_OUTPUT_SIZE);
    return 0;
}

static void release_patch(WebPatch* patch) {
    free_stream(&patch->stream);
    close_source_reader(&patch->source_reader);
}

// Decodes the patch into the target; 0, a decoder status or a driver failure.
static std::int32_t patch_target(WebPatch* patch) {
    std::uint32_t patch_size = 0;
    if (!find_resource(PATCH_RESOURCE_NAME, &patch->patch, &patch_size)) {
        return PATCH_NOT_FOUND;
    }
    patch->patch_remaining = patch_size;
    const int source_fd = open_existing_file(SOURCE_NAME, FILE_READ);
    if (source_fd < 0) {
        return PATCH_SOURCE_UNUSABLE;
    }
    configure_stream(&patch->stream, nullptr);
    std::int32_t result =
        start_source_reader(&patch->source_reader, source_fd, &patch->stream, &patch->source);
    if (result != 0) {
        return result;
    }

    const DeltaCallbacks callbacks = {read_patch, read_source, write_target, nullptr, patch};
    result = run_delta_stream(&patch->stream, &callbacks);
    if (result != 0) {
        return result;
    }
    // An empty patch, or one cut inside its header, closes cleanly: no patch.
    return patch->stream.decode_state == STATE_WINDOW_INDICATOR ? 0 : DECODE_INVALID_INPUT;
}

// Identifies the picked file and says so in the program's words: 1 when it
// is the image, 0 otherwise.
extern "C" EMSCRIPTEN_KEEPALIVE int web_identify(const char* source_display) {
    switch (check_source_image(SOURCE_NAME)) {
    case IMAGE_IS_SOURCE:
        print_console_name(MESSAGE_DETECTED, source_display);
        return 1;
    case IMAGE_IS_OTHER:
        print_not_found();
        return 0;
    case IMAGE_UNOPENABLE:
        print_console_name(MESSAGE_CANNOT_OPEN, source_display);
        return 0;
    }
    return 0;
}

// The name the patched image is saved under, into output (capacity bytes):
// the picked file's name with its last four characters replaced, as the
// console program names it. 0 when it does not fit.
extern "C" EMSCRIPTEN_KEEPALIVE int web_output_name(const char* source_name, char* output,
                                                    int capacity) {
    std::string name = source_name;
    strip_tail(&name, 4);
    name += OUTPUT_SUFFIX;
    if (name.size() >= static_cast<std::size_t>(capacity)) {
        return 0;
    }
    std::memcpy(output, name.c_str(), name.size() + 1);
    return 1;
}

// The patch could not even start (the picked image could not be copied into
// the storage): the program's words for a failed patch.
extern "C" EMSCRIPTEN_KEEPALIVE void web_patch_not_started() {
    print_console_text(MESSAGE_IN_PROGRESS);
    print_console_text(MESSAGE_FAILED);
}

// Bytes the patched image takes, for the page's storage check.
extern "C" EMSCRIPTEN_KEEPALIVE double web_target_bytes() {
    return EXPECTED_OUTPUT_SIZE;
}

// Patches the picked image into the target and re-dubs its movies, saying
// how it went in the program's words. A WebOutcome.
extern "C" EMSCRIPTEN_KEEPALIVE int web_patch(const char* source_display,
                                              const char* output_display) {
    print_console_text(MESSAGE_IN_PROGRESS);
    WebPatch* patch = static_cast<WebPatch*>(std::calloc(1, sizeof(WebPatch)));
    if (patch == nullptr) {
        print_console_text(MESSAGE_FAILED);
        return WEB_FAILED;
    }
    patch->source_reader.descriptor = -1;
    patch->target_fd = open_existing_file(TARGET_NAME, FILE_READ_WRITE);
    std::int32_t result = patch->target_fd < 0 ? PATCH_OUTPUT_FAILED : patch_target(patch);
    // The window buffers go before the movies need their memory.
    release_patch(patch);
    if (patch->target_fd >= 0 && file_close(patch->target_fd) != 0 && result == 0) {
        result = PATCH_OUTPUT_FAILED;
    }
    std::free(patch);
    if (result == DECODE_CHECKSUM_MISMATCH) {
        print_console_name(MESSAGE_BAD_CRC, source_display);
        return WEB_BAD_CRC;
    }
    if (result != 0) {
        print_console_text(MESSAGE_FAILED);
        return WEB_FAILED;
    }
    web_report_redub();
    int handle = -1;
    if (!rewrite_movie_audio(TARGET_NAME, output_display, &handle)) {
        return WEB_REWRITE_FAILED;
    }
    if (file_close(handle) != 0) {
        print_console_text(MESSAGE_CANNOT_WRITE);
        return WEB_NOT_WRITTEN;
    }
    print_console_text(MESSAGE_SUCCESS);
    print_console_text(MESSAGE_OUTPUT_IS);
    print_console_name(MESSAGE_OUTPUT_NAME, output_display);
    return WEB_PATCHED;
}
