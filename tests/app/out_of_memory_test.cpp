// The player's run in this process, with memory running out at each of the
// standard library's allocations in turn (and staying out, as it does on a
// machine that has none left): every run must still end through its normal
// road, with a message and the closing prompt, never through an exception
// that ends the program without a word.

#include "app/run.h"
#include "tests/support/console.h"
#include "tests/support/files.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace fs = std::filesystem;

namespace {

// Allocations that still succeed; negative while none is to fail.
long allocations_left = -1;
bool allocation_failed = false;

} // namespace

// The test binary's own allocation functions, as the standard allows: they
// fail the way the library's do, by throwing. The compiler, seeing the
// pairing of new with free, would take it for a mismatch; here both sides
// are ours.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (allocations_left == 0) {
        allocation_failed = true;
        throw std::bad_alloc();
    }
    if (allocations_left > 0) {
        --allocations_left;
    }
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

TEST(OutOfMemory, EveryRunEndsWithAMessageAndTheClosingPrompt) {
    const fs::path folder = make_temp_folder("memory");
    // Folders and candidates for the search to walk, none of them the image.
    fs::create_directories(folder / "a_folder" / "inner");
    write_file(folder / "a_folder" / "inner" / "small.iso", "not an image");
    write_file(folder / "a_folder" / "notes.txt", "text");
    write_file(folder / "b_small.ISO", "not an image either");
    write_file(folder / "input", "\n");
    std::FILE* input = std::freopen((folder / "input").string().c_str(), "r", stdin);
    ASSERT_NE(input, nullptr);
    const fs::path start = fs::current_path();

    const std::string banner =
        to_console("\n*** Parche al Español para Veltrane para PS2 (v1.0) ***\n\n\n");
    const std::string not_found =
        to_console("Incapaz de hallar el ISO Jap de Veltrane para PS2.\n\n"
                   "El tamaño del archivo debe ser de 1 455 587 328 bytes.\n\n"
                   "El CRC32 del archivo debe ser 0xDED23029.\n");
    const std::string failed = to_console("\n\nEl parche falló.\n");
    const std::string closing = to_console("\nPresiona Enter para salir del programa.");

    long failures = 0;
    for (long allowed = 0; allowed < 100000; ++allowed) {
        fs::current_path(folder);
        std::rewind(stdin);
        StdoutCapture capture = start_stdout_capture();
        allocation_failed = false;
        allocations_left = allowed;
        const int status = run_patcher();
        allocations_left = -1;
        const bool ran_out = allocation_failed;
        const std::string seen = finish_stdout_capture(&capture);

        EXPECT_EQ(status, 0);
        EXPECT_EQ(seen, banner + (ran_out ? failed : not_found) + closing)
            << "with " << allowed << " allocations allowed";
        if (!ran_out) {
            break; // the whole run needs fewer: every one of them has failed once
        }
        ++failures;
    }
    EXPECT_GT(failures, 3) << "the run allocates; each allocation must have been made to fail";
    fs::current_path(start);
    remove_temp_folder(folder);
}

} // namespace
