#include "delta/adler32.h"
#include "delta/driver.h"
#include "delta/stream.h"
#include "platform/resource.h"
#include "tests/kit/test_patch.h"
#include "tests/support/console.h"
#include "tests/support/files.h"
#include "tools/vcdiff/window_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string as_string(const std::vector<unsigned char>& bytes, std::size_t length) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), length);
}

std::string as_string(const std::vector<unsigned char>& bytes) {
    return as_string(bytes, bytes.size());
}

// A temporary folder with the test source in it, removed at the end.
struct Workspace {
    fs::path folder;
    fs::path source;
    fs::path patch;
    fs::path output;

    Workspace()
        : folder(make_temp_folder("driver")), source(folder / "source.iso"),
          patch(folder / "patch.vcdiff"), output(folder / "output.iso") {
        write_file(source, as_string(make_test_source()));
    }
    ~Workspace() {
        remove_temp_folder(folder);
    }
};

std::int32_t apply_file(const Workspace& work, const char** message = nullptr) {
    return apply_delta_patch_ex(false, 0, 99, 0, nullptr, work.source.string().c_str(),
                                work.output.string().c_str(), work.patch.string().c_str(), message);
}

// The patch file, a window at a time. start_patch_run opens every file, so
// the paths need not outlive it.
std::int32_t start_file_run(const Workspace& work, PatchRun** run) {
    const std::string source = work.source.string();
    const std::string output = work.output.string();
    const std::string patch = work.patch.string();
    const PatchRequest request = {false,        0, 99, 0, nullptr, source.c_str(), output.c_str(),
                                  patch.c_str()};
    return start_patch_run(&request, run, nullptr);
}

} // namespace

TEST(PatchDriver, AppliesPatchFile) {
    Workspace work;
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(0, &patch));
    ASSERT_GT(patch.patch.size(), 2u * PATCH_CHUNK_SIZE); // several chunks, reused buffer
    write_file(work.patch, as_string(patch.patch));
    const char* message = "unset";
    EXPECT_EQ(apply_file(work, &message), 0);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(read_file(work.output), as_string(patch.target));
}

TEST(PatchDriver, AppliesEmbeddedPatchInPlace) {
    Workspace work;
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(0, &patch));
    const unsigned char* data = nullptr;
    std::uint32_t size = 0;
    ASSERT_TRUE(find_resource("Test_patch", &data, &size));
    ASSERT_GT(size, 2u * PATCH_CHUNK_SIZE);
    EXPECT_EQ(apply_delta_patch(false, 0, 99, 0, "Test_patch", work.source.string().c_str(),
                                work.output.string().c_str(), nullptr),
              0);
    EXPECT_EQ(read_file(work.output), as_string(patch.target));
}

TEST(PatchDriver, AppliesPatchOfWholeChunks) {
    // Never marked as the last piece, the patch must still decode to its end.
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(200, &patch));
    std::size_t header = 200 + (PATCH_CHUNK_SIZE - patch.patch.size() % PATCH_CHUNK_SIZE);
    ASSERT_TRUE(make_test_patch(header, &patch));
    ASSERT_EQ(patch.patch.size() % PATCH_CHUNK_SIZE, 0u) << "header " << header;
    Workspace work;
    write_file(work.patch, as_string(patch.patch));
    EXPECT_EQ(apply_file(work), 0);
    EXPECT_EQ(read_file(work.output), as_string(patch.target));
}

TEST(PatchDriver, PatchCutShortFailsUnlessBetweenWindows) {
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(20, &patch));
    const std::size_t two_windows = patch.window_lengths[0] + patch.window_lengths[1];
    const char* const NO_HEADER = "patch ends inside its header";
    const char* const CUT = "eof in decode";
    const struct {
        const char* what;
        std::size_t patch_bytes;
        std::int32_t result;
        const char* message;
        std::size_t output_bytes;
    } CUTS[] = {
        {"empty", 0, DECODE_INVALID_INPUT, NO_HEADER, 0},
        // The decoder may report this cut itself or leave it to the driver.
        {"inside the magic bytes", 2, DECODE_INVALID_INPUT, nullptr, 0},
        {"inside the application header", patch.header_bytes - 5, DECODE_INVALID_INPUT, CUT, 0},
        {"inside a window header", patch.header_bytes + 3, DECODE_INVALID_INPUT, CUT, 0},
        {"inside the first window's sections", patch.window_ends[0] - 100, DECODE_INVALID_INPUT,
         CUT, 0},
        {"one byte short", patch.patch.size() - 1, DECODE_INVALID_INPUT, CUT,
         patch.target.size() - patch.window_lengths.back()},
        {"right after the header", patch.header_bytes, 0, nullptr, 0},
        {"right after two windows", patch.window_ends[1], 0, nullptr, two_windows},
    };
    for (const auto& cut : CUTS) {
        Workspace work;
        write_file(work.patch, as_string(patch.patch, cut.patch_bytes));
        const char* message = nullptr;
        EXPECT_EQ(apply_file(work, &message), cut.result) << cut.what;
        if (cut.message != nullptr) {
            EXPECT_STREQ(message, cut.message) << cut.what;
        } else {
            EXPECT_EQ(message != nullptr, cut.result != 0) << cut.what;
        }
        EXPECT_EQ(read_file(work.output), as_string(patch.target, cut.output_bytes)) << cut.what;
    }
}

TEST(PatchDriver, FailsWhenTheOutputDeviceIsFull) {
    // Writes that fail at once, and writes that only fail when the file is
    // closed (everything still sat in the stdio buffer).
    // Only where the C runtime itself reports a full device at close.
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr) {
        GTEST_SKIP() << "no /dev/full here";
    }
    std::fputc('x', full);
    if (std::fclose(full) == 0) {
        GTEST_SKIP() << "closing a file on /dev/full does not fail here";
    }
    const struct {
        const char* what;
        std::uint64_t window_bytes;
    } CASES[] = {{"large windows", 1 << 20}, {"a few bytes", 10}};
    for (const auto& c : CASES) {
        std::vector<unsigned char> patch;
        vcdiff_write_header(&patch, nullptr, 0);
        const unsigned char fill = 0x3C;
        const VcdiffInstruction run{VCDIFF_RUN, c.window_bytes, 0, &fill};
        const VcdiffWindowSpec spec{false, 0, 0, false, 0, c.window_bytes};
        ASSERT_TRUE(vcdiff_write_window(&patch, spec, &run, 1));
        Workspace work;
        write_file(work.patch, as_string(patch));
        const char* message = nullptr;
        EXPECT_EQ(apply_delta_patch_ex(false, 0, 99, 0, nullptr, work.source.string().c_str(),
                                       "/dev/full", work.patch.string().c_str(), &message),
                  PATCH_OUTPUT_FAILED)
            << c.what;
        EXPECT_STREQ(message, "cannot write the output") << c.what;
    }
}

TEST(PatchDriver, WrongSourceIsChecksumMismatchAfterEarlierWindows) {
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(0, &patch));
    Workspace work;
    std::vector<unsigned char> source = make_test_source();
    source[TEST_THIRD_WINDOW_ONLY_BYTE] ^= 0x40;
    write_file(work.source, as_string(source));
    write_file(work.patch, as_string(patch.patch));
    const char* message = nullptr;
    EXPECT_EQ(apply_file(work, &message), DECODE_CHECKSUM_MISMATCH);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, "target window checksum mismatch");
    EXPECT_EQ(read_file(work.output),
              as_string(patch.target, patch.window_lengths[0] + patch.window_lengths[1]));
}

// Long copies read straight into the window and short ones through the
// block read-ahead: copies that jump back, one that crosses a block border,
// one that ends at the short last block; in a window large enough to go to
// the output in several pieces while it is decoded. The same patch on a
// source cut short fails at the first copy past its end.
TEST(PatchDriver, ReadsEveryCopyOfTheSourceWhereverItJumps) {
    constexpr std::uint64_t SOURCE_BYTES = (6u << 20) + 5000;
    std::mt19937 random(11);
    std::string source(SOURCE_BYTES, '\0');
    for (char& byte : source) {
        byte = static_cast<char>(random());
    }
    const unsigned char added[] = {1, 2, 3, 4, 5, 6, 7};
    const struct {
        std::uint64_t size;
        std::uint64_t from; // source offset, or for a target copy (target bit) a target offset
        bool target;
    } PIECES[] = {
        {(3u << 20) + 100, 12345, false},   // long, from mid-block
        {5000, 100, false},                 // back to block 0
        {20000, 64 * 16384 - 10, false},    // short, across a block border
        {5000, 16384 * 50 + 100, false},    // short, one block
        {5000, 16384 * 51 + 100, false},    // short, the block right after it
        {777, SOURCE_BYTES - 777, false},   // the short last block
        {16384 * 3, 16384 * 40 + 1, false}, // long, at a block just past one
        {300000, 7000, true},               // target bytes already written
        {1, SOURCE_BYTES - 1, false},       // the very last byte
    };
    std::vector<VcdiffInstruction> instructions;
    std::string target;
    for (const auto& piece : PIECES) {
        const std::uint64_t address = piece.target ? SOURCE_BYTES + piece.from : piece.from;
        instructions.push_back({VCDIFF_COPY, piece.size, address, nullptr});
        target += piece.target ? target.substr(piece.from, piece.size)
                               : source.substr(piece.from, piece.size);
        instructions.push_back({VCDIFF_ADD, sizeof added, 0, added});
        target.append(reinterpret_cast<const char*>(added), sizeof added);
    }
    const std::uint32_t checksum =
        adler32(1, reinterpret_cast<const unsigned char*>(target.data()), target.size());
    std::vector<unsigned char> patch;
    vcdiff_write_header(&patch, nullptr, 0);
    const VcdiffWindowSpec spec{true, 0, SOURCE_BYTES, true, checksum, target.size()};
    ASSERT_TRUE(vcdiff_write_window(&patch, spec, instructions.data(), instructions.size()));

    Workspace work;
    write_file(work.source, source);
    write_file(work.patch, as_string(patch));
    const char* message = "unset";
    EXPECT_EQ(apply_file(work, &message), 0);
    EXPECT_EQ(message, nullptr);
    EXPECT_TRUE(read_file(work.output) == target);

    write_file(work.source, source.substr(0, 2u << 20));
    EXPECT_EQ(apply_file(work, &message), DECODE_INVALID_INPUT);
    EXPECT_STREQ(message, "source file too short");
}

TEST(PatchDriver, MissingSourceFailsAtFirstWindowThatNeedsIt) {
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(0, &patch));
    Workspace work;
    fs::remove(work.source);
    write_file(work.patch, as_string(patch.patch));
    EXPECT_EQ(apply_file(work), DECODE_INVALID_INPUT);
    EXPECT_EQ(read_file(work.output), "");
}

TEST(PatchDriver, FailsWithoutWritingWhenOutputCannotBeCreated) {
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(0, &patch));
    Workspace work;
    write_file(work.patch, as_string(patch.patch));
    const fs::path output = work.folder / "missing" / "output.iso";
    const char* message = nullptr;
    const std::int32_t result =
        apply_delta_patch_ex(true, 0, 99, 1000, nullptr, work.source.string().c_str(),
                             output.string().c_str(), work.patch.string().c_str(), &message);
    EXPECT_EQ(result, PATCH_OUTPUT_FAILED);
    EXPECT_NE(message, nullptr);
    EXPECT_FALSE(fs::exists(output));
}

TEST(PatchDriver, MissingPatchFailsBeforeCreatingOutput) {
    Workspace work;
    const struct {
        const char* resource;
        fs::path file;
    } MISSING[] = {
        {"No_such_patch", fs::path()},
        {nullptr, work.folder / "no_such_patch.vcdiff"},
        {nullptr, fs::path()},
    };
    for (const auto& missing : MISSING) {
        const std::string file = missing.file.string();
        const char* message = nullptr;
        EXPECT_EQ(apply_delta_patch_ex(false, 0, 99, 0, missing.resource,
                                       work.source.string().c_str(), work.output.string().c_str(),
                                       missing.file.empty() ? nullptr : file.c_str(), &message),
                  PATCH_NOT_FOUND);
        EXPECT_NE(message, nullptr);
        EXPECT_FALSE(fs::exists(work.output));
    }
}

TEST(PatchDriver, PrintsProgressWhenThePercentageChanges) {
    const struct {
        const char* what;
        int windows;
        std::uint64_t window_bytes;
        std::uint32_t expected_bytes;
        std::int32_t start;
        std::int32_t end;
        bool show;
        const char* printed;
    } CASES[] = {
        {"quarters", 4, 25000, 100000, 0, 99, true,
         "Progresión: 24 %\rProgresión: 49 %\rProgresión: 74 %\rProgresión: 99 %\r"},
        {"never past 0 %", 8, 1000, 8000, 0, 0, true, ""},
        {"from 10 to 20", 2, 50, 100, 10, 20, true, "Progresión: 15 %\rProgresión: 20 %\r"},
        {"a percentage is printed once", 4, 25, 100, 0, 2, true,
         "Progresión: 1 %\rProgresión: 2 %\r"},
        {"hidden", 4, 25000, 100000, 0, 99, false, ""},
        {"size not known", 4, 25000, 0, 0, 99, true, ""},
    };
    for (const auto& c : CASES) {
        std::vector<unsigned char> patch;
        vcdiff_write_header(&patch, nullptr, 0);
        std::vector<unsigned char> target;
        const unsigned char fill = 0x3C;
        for (int w = 0; w < c.windows; ++w) {
            const VcdiffInstruction run{VCDIFF_RUN, c.window_bytes, 0, &fill};
            std::vector<unsigned char> window(c.window_bytes, fill);
            VcdiffWindowSpec spec{false, 0, 0, false, 0, c.window_bytes};
            ASSERT_TRUE(vcdiff_write_window(&patch, spec, &run, 1));
            target.insert(target.end(), window.begin(), window.end());
        }
        Workspace work;
        write_file(work.patch, as_string(patch));
        StdoutCapture capture = start_stdout_capture();
        const std::int32_t result = apply_delta_patch(
            c.show, c.start, c.end, c.expected_bytes, nullptr, work.source.string().c_str(),
            work.output.string().c_str(), work.patch.string().c_str());
        const std::string printed = finish_stdout_capture(&capture);
        EXPECT_EQ(result, 0) << c.what;
        EXPECT_EQ(printed, to_console(c.printed)) << c.what;
        EXPECT_EQ(read_file(work.output), as_string(target)) << c.what;
    }
}

// A patch that makes another size than the image expected is a failed patch,
// not a success: nothing past the expected size reaches the file, and the
// progress never passes its end.
TEST(PatchDriver, RefusesATargetOfAnotherSizeThanExpected) {
    std::vector<unsigned char> patch;
    vcdiff_write_header(&patch, nullptr, 0);
    const unsigned char fill = 0x3C;
    for (int w = 0; w < 4; ++w) {
        const VcdiffInstruction run{VCDIFF_RUN, 25000, 0, &fill};
        ASSERT_TRUE(
            vcdiff_write_window(&patch, VcdiffWindowSpec{false, 0, 0, false, 0, 25000}, &run, 1));
    }
    const struct {
        std::uint32_t expected;
        std::int32_t result;
    } CASES[] = {
        {100000, 0},
        {99999, PATCH_WRONG_SIZE},  // a byte longer than expected
        {60000, PATCH_WRONG_SIZE},  // past it inside a window
        {100001, PATCH_WRONG_SIZE}, // a byte short
        {200000, PATCH_WRONG_SIZE}, // windows short
    };
    for (const auto& c : CASES) {
        Workspace work;
        write_file(work.patch, as_string(patch));
        StdoutCapture capture = start_stdout_capture();
        const std::int32_t result =
            apply_delta_patch(true, 0, 100, c.expected, nullptr, work.source.string().c_str(),
                              work.output.string().c_str(), work.patch.string().c_str());
        const std::string printed = finish_stdout_capture(&capture);
        EXPECT_EQ(result, c.result) << c.expected;
        EXPECT_LE(fs::file_size(work.output), c.expected) << c.expected;
        for (std::size_t at = printed.find(": "); at != std::string::npos;
             at = printed.find(": ", at + 1)) {
            EXPECT_LE(std::stoi(printed.substr(at + 2)), 100) << c.expected << ": " << printed;
        }
    }
}

TEST(ProgressPercentage, ScalesInExtendedPrecisionAndTruncates) {
    const struct {
        std::uint64_t written;
        std::uint32_t expected;
        std::int32_t start;
        std::int32_t end;
        std::int32_t percentage;
    } CASES[] = {
        {775520256, 1551040512, 0, 99, 49}, // 49.5
        {1551040512, 1551040512, 0, 99, 99},
        {15510405, 1551040512, 0, 99, 0}, // 0.99
        {15667077, 1551040512, 0, 99, 1},
        {0, 100, 7, 99, 7},
        // 3/11 * 99 is 27 in extended precision, 26.999... in doubles.
        {3, 11, 0, 99, 27},
        {7, 10, 0, 90, 63},
        // Toward zero on a falling range.
        {1, 1000, 0, -99, 0},
        {7, 1000, 0, -1000, -7},
        {10, 100, 50, 0, 45},
        // Far more than announced: held at the integer range, not undefined.
        {UINT64_MAX, 1, 0, 99, INT32_MAX},
    };
    for (const auto& c : CASES) {
        EXPECT_EQ(progress_percentage(c.written, c.expected, c.start, c.end), c.percentage)
            << c.written << " of " << c.expected;
    }
}

// A run a window at a time (the web page's way) has each window in the file
// when it returns, and keeps its last word: success, or the mismatch of a
// wrong source at its third window.
TEST(PatchRun, WritesAWindowAtEachStepAndKeepsItsResult) {
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(0, &patch));
    for (const bool wrong_source : {false, true}) {
        SCOPED_TRACE(wrong_source ? "wrong source" : "right source");
        Workspace work;
        std::vector<unsigned char> source = make_test_source();
        if (wrong_source) {
            source[TEST_THIRD_WINDOW_ONLY_BYTE] ^= 0x40;
        }
        write_file(work.source, as_string(source));
        write_file(work.patch, as_string(patch.patch));
        PatchRun* run = nullptr;
        ASSERT_EQ(start_file_run(work, &run), PATCH_WINDOW_WRITTEN);
        std::size_t expected = 0;
        std::int32_t result = PATCH_WINDOW_WRITTEN;
        for (std::size_t window = 0; result == PATCH_WINDOW_WRITTEN; window++) {
            result = continue_patch_run(run, nullptr);
            if (result == PATCH_WINDOW_WRITTEN) {
                ASSERT_LT(window, patch.window_lengths.size());
                expected += patch.window_lengths[window];
                EXPECT_EQ(patch_run_written(run), expected);
                EXPECT_EQ(fs::file_size(work.output), expected);
            }
        }
        const std::int32_t final_result = wrong_source ? DECODE_CHECKSUM_MISMATCH : 0;
        EXPECT_EQ(result, final_result);
        const char* message = "unset";
        EXPECT_EQ(continue_patch_run(run, &message), final_result);
        EXPECT_EQ(message == nullptr, !wrong_source);
        end_patch_run(run);
        EXPECT_EQ(read_file(work.output),
                  wrong_source ? as_string(patch.target, expected) : as_string(patch.target));
    }
}

// A run given up after its first window (the page's storage refused the
// window's writes) releases everything and leaves that window in the file,
// for the caller to remove.
TEST(PatchRun, EndedMidwayReleasesItAndKeepsTheWindowsWritten) {
    TestPatch patch;
    ASSERT_TRUE(make_test_patch(0, &patch));
    Workspace work;
    write_file(work.patch, as_string(patch.patch));
    PatchRun* run = nullptr;
    ASSERT_EQ(start_file_run(work, &run), PATCH_WINDOW_WRITTEN);
    ASSERT_EQ(continue_patch_run(run, nullptr), PATCH_WINDOW_WRITTEN);
    end_patch_run(run);
    EXPECT_EQ(read_file(work.output), as_string(patch.target, patch.window_lengths[0]));
}
