#include "app/run.h"

#include "app/identify.h"
#include "app/messages.h"
#include "app/paths.h"
#include "app/search.h"
#include "delta/driver.h"
#include "delta/stream.h"
#include "io/console.h"
#include "io/file_access.h"
#include "movie/rewrite.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/temporary_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr char SEARCH_EXTENSION[] = "iso";
constexpr char TEMPORARY_SUFFIX[] = "_patched.tmp";
constexpr char PATCH_RESOURCE_NAME[] = "Delta_patch";

// Searches for the image; true with its path once one passes every test. On
// false the run is over: its message has been printed.
bool find_source_image(std::size_t start_length, std::string* found, std::string* display) {
    for (;;) {
        if (!find_next_file_by_extension(found, SEARCH_EXTENSION)) {
            print_not_found();
            return false;
        }
        *display = *found;
        display_name(display, start_length);

        const ImageCheck check = check_source_image(found->c_str());
        if (check == IMAGE_UNOPENABLE) {
            print_console_name(MESSAGE_CANNOT_OPEN, display->c_str());
            return false;
        }
        if (check == IMAGE_IS_OTHER) {
            continue;
        }
        return true;
    }
}

// The paths of one run and their forms in messages, relative to where the
// player started the program.
struct RunNames {
    std::string source;
    std::string source_display;
    std::string output;
    std::string temporary;
    std::string output_display;
};

// Everything that builds text in std::string happens here, before any output
// exists: the start directory, the search and the names. The standard
// library reports memory running out only by throwing, and that ends here
// as a plain failure. 1 when the image was found and named, 0 when the run
// is over with its message printed, -1 when memory ran out.
int find_and_name(RunNames* names) {
    try {
        // Found paths are the start directory, one separator and the rest
        // (the separator is the start directory's own last byte at a root).
        std::string start;
        std::size_t start_length = static_cast<std::size_t>(-1);
        if (get_current_directory(&start)) {
            start_length = start.size();
            if (!start.empty() && start.back() == PATH_SEPARATOR) {
                --start_length;
            }
        }
        if (!find_source_image(start_length, &names->source, &names->source_display)) {
            return 0;
        }
        // The image is written under a name of the same length whose
        // extension the search never takes (so no path that fits the output
        // fails for the temporary), and renamed once whole.
        names->output = names->source;
        strip_tail(&names->output, 4);
        names->temporary = names->output;
        names->output += OUTPUT_SUFFIX;
        names->temporary += TEMPORARY_SUFFIX;
        names->output_display = names->output;
        display_name(&names->output_display, start_length);
        return 1;
    } catch (const std::bad_alloc&) {
        end_search();
        return -1;
    }
}

// How writing the image ended.
enum ImageOutcome {
    IMAGE_PUBLISHED,      // whole, under its final name
    IMAGE_BAD_CRC,        // a window's checksum: the source is not the image
    IMAGE_FAILED,         // the patch failed, was interrupted or cannot be named
    IMAGE_REWRITE_FAILED, // the movie rewrite failed and said so
    IMAGE_NOT_WRITTEN,    // the finished image could not be brought to the disk
};

// Patches source into temporary, re-dubs it and gives it the name output.
// Whatever happens, nothing but the whole image ever has the name output,
// and an earlier image of that name stays until the new one replaces it.
ImageOutcome write_image(const std::string& source, const std::string& temporary,
                         const std::string& output, const std::string& output_display,
                         TemporaryFile* file) {
    // A folder at the output name could never take the image: better to say
    // so now than after the whole patch.
    if (file_kind(output.c_str()) == KIND_FOLDER) {
        return IMAGE_FAILED;
    }
    // What a killed run left under the temporary name goes; a file another
    // running copy writes there ends this run, its files left alone.
    if (create_temporary_file(temporary.c_str(), file) != TEMPORARY_CREATED) {
        return IMAGE_FAILED;
    }
    const std::int32_t result =
        apply_delta_patch(true, 0, 99, EXPECTED_OUTPUT_SIZE, PATCH_RESOURCE_NAME, source.c_str(),
                          temporary.c_str(), nullptr);
    if (result == DECODE_CHECKSUM_MISMATCH) {
        return IMAGE_BAD_CRC;
    }
    if (result != 0 || interrupt_requested()) {
        return IMAGE_FAILED;
    }
    // The player is shown the name the image will have.
    int handle = -1;
    if (!rewrite_movie_audio(temporary.c_str(), output_display.c_str(), &handle)) {
        return IMAGE_REWRITE_FAILED;
    }
    if (file_close(handle) != 0) {
        return IMAGE_NOT_WRITTEN;
    }
    if (interrupt_requested()) {
        return IMAGE_FAILED;
    }
    const PublishResult published = publish_file(file, temporary.c_str(), output.c_str());
    if (published == PUBLISH_NOT_WRITTEN) {
        return IMAGE_NOT_WRITTEN;
    }
    return published == PUBLISH_DONE ? IMAGE_PUBLISHED : IMAGE_FAILED;
}

void patch_image(const RunNames& names) {
    print_console_name(MESSAGE_DETECTED, names.source_display.c_str());
    print_console_text(MESSAGE_IN_PROGRESS);

    // An interrupt from before the image exists until it has its name ends
    // the run like any failed patch: the unfinished image goes, and only
    // then may the process end.
    start_interrupt_watch();
    TemporaryFile file{-1, -1};
    const ImageOutcome outcome =
        write_image(names.source, names.temporary, names.output, names.output_display, &file);
    if (outcome != IMAGE_PUBLISHED) {
        discard_temporary_file(&file, names.temporary.c_str());
    }
    stop_interrupt_watch();
    switch (outcome) {
    case IMAGE_PUBLISHED:
        print_console_text(MESSAGE_FULL_PROGRESS);
        print_console_text(MESSAGE_SUCCESS);
        print_console_text(MESSAGE_OUTPUT_IS);
        print_console_name(MESSAGE_OUTPUT_NAME, names.output_display.c_str());
        return;
    case IMAGE_BAD_CRC:
        print_console_name(MESSAGE_BAD_CRC, names.source_display.c_str());
        return;
    case IMAGE_FAILED:
        print_console_text(MESSAGE_FAILED);
        return;
    case IMAGE_REWRITE_FAILED:
        return;
    case IMAGE_NOT_WRITTEN:
        print_console_text(MESSAGE_CANNOT_WRITE);
        return;
    }
}

} // namespace

int run_patcher() {
    print_console_text(MESSAGE_BANNER);

    RunNames names;
    const int found = find_and_name(&names);
    if (found > 0) {
        patch_image(names);
    } else if (found < 0) {
        print_console_text(MESSAGE_FAILED);
    }

    print_console_text(MESSAGE_PRESS_ENTER);
    std::getchar();
    return 0;
}
