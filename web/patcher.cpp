// The patcher as the web page runs it, in a dedicated worker: the page picks
// the image instead of a search, and the output is a file in the origin's
// private storage that the page then saves. Identification, the patch
// driver, the movie rewrite and every message are the console program's
// own; this file only holds the calls the worker makes.

#include "app/identify.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/run.h"
#include "delta/driver.h"
#include "delta/stream.h"
#include "io/console.h"
#include "movie/rewrite.h"
#include "platform/file.h"

#include <emscripten/emscripten.h>

#include <cstring>
#include <string>

// The worker's names for the two files (platform/web/library.js).
static constexpr char SOURCE_NAME[] = "source";
static constexpr char TARGET_NAME[] = "target";
static constexpr char PATCH_RESOURCE_NAME[] = "Delta_patch";

// How a call ended, for the worker to choose what it does next.
enum WebOutcome {
    WEB_PATCHED = 0,        // the whole image, re-dubbed, is in the target
    WEB_BAD_CRC = 1,        // a window's checksum: the picked file is not the image
    WEB_FAILED = 2,         // the patch failed
    WEB_REWRITE_FAILED = 3, // the movie rewrite failed and said why
    WEB_NOT_WRITTEN = 4,    // the finished image could not be stored
    WEB_WINDOW_DONE = 5,    // one more window is written: call web_patch_step again
    WEB_DECODED = 6,        // the whole patch is in the target: web_redub comes next
};

// The page's progress bar and phases (platform/web/library.js).
extern "C" void web_report_progress(double written, double total);
extern "C" void web_report_redub();

// The run between two calls from the worker, which waits for its writes to
// land between windows. The module serves one page, so one run at a time.
static PatchRun* current_run = nullptr;
static std::string picked_display;

// Ends the run with result, saying how it went in the program's words.
static int end_web_run(std::int32_t result) {
    end_patch_run(current_run);
    current_run = nullptr;
    if (result == DECODE_CHECKSUM_MISMATCH) {
        print_console_name(MESSAGE_BAD_CRC, picked_display.c_str());
        return WEB_BAD_CRC;
    }
    if (result != 0) {
        print_console_text(MESSAGE_FAILED);
        return WEB_FAILED;
    }
    return WEB_DECODED;
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

// Bytes the patched image takes, for the page's storage check.
extern "C" EMSCRIPTEN_KEEPALIVE double web_target_bytes() {
    return EXPECTED_OUTPUT_SIZE;
}

// Starts patching the picked image into the target with the console
// program's own driver: WEB_WINDOW_DONE, or how it ended.
extern "C" EMSCRIPTEN_KEEPALIVE int web_patch_start(const char* display) {
    print_console_text(MESSAGE_IN_PROGRESS);
    picked_display = display;
    end_patch_run(current_run);
    // The page shows its own progress bar rather than the console's line.
    const PatchRequest request = {
        false, 0, 0, EXPECTED_OUTPUT_SIZE, PATCH_RESOURCE_NAME, SOURCE_NAME, TARGET_NAME, nullptr};
    const std::int32_t result = start_patch_run(&request, &current_run, nullptr);
    return result == PATCH_WINDOW_WRITTEN ? WEB_WINDOW_DONE : end_web_run(result);
}

// Decodes and writes the next window: WEB_WINDOW_DONE, WEB_DECODED once the
// whole patch is in the target, or how it failed.
extern "C" EMSCRIPTEN_KEEPALIVE int web_patch_step() {
    if (current_run == nullptr) {
        return end_web_run(PATCH_NOT_FOUND);
    }
    const std::int32_t result = continue_patch_run(current_run, nullptr);
    web_report_progress(static_cast<double>(patch_run_written(current_run)), EXPECTED_OUTPUT_SIZE);
    return result == PATCH_WINDOW_WRITTEN ? WEB_WINDOW_DONE : end_web_run(result);
}

// The worker could not store what the run wrote (a full quota): the run
// ends as a failed patch.
extern "C" EMSCRIPTEN_KEEPALIVE int web_patch_abandon() {
    return end_web_run(PATCH_OUTPUT_FAILED);
}

// Re-dubs the movies of the patched image in the target, saying how it went
// in the program's words. A WebOutcome.
extern "C" EMSCRIPTEN_KEEPALIVE int web_redub(const char* output_display) {
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
