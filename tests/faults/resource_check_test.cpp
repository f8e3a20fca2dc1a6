// The build's check of what a patcher carries, run as the build runs it: a
// patch that makes another image than the patcher's, and soundtracks that
// are not whole blocks or do not fit the movies' buffer, are refused with
// one line that says why; the right files pass.

#include "app/run.h"
#include "delta/format.h"
#include "delta/summary.h"
#include "movie/rewrite.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A patch whose windows make bytes bytes in all, each window one RUN: only
// the headers are read, so a full-size target takes a few hundred bytes.
std::string run_patch(std::uint64_t bytes, const std::string& app_header) {
    std::vector<unsigned char> out(VCDIFF_MAGIC, VCDIFF_MAGIC + 4);
    out.push_back(app_header.empty() ? 0 : VCD_APPHEADER);
    if (!app_header.empty()) {
        append_integer(&out, app_header.size());
        out.insert(out.end(), app_header.begin(), app_header.end());
    }
    while (bytes > 0) {
        const std::uint64_t window = bytes < HARD_MAX_WINDOW ? bytes : HARD_MAX_WINDOW;
        std::vector<unsigned char> instructions = {0}; // RUN, its size next
        append_integer(&instructions, window);
        std::vector<unsigned char> encoding;
        append_integer(&encoding, window);
        encoding.push_back(0); // Delta_Indicator
        append_integer(&encoding, 1);
        append_integer(&encoding, instructions.size());
        append_integer(&encoding, 0);
        encoding.push_back(0x20); // the byte the RUN repeats
        encoding.insert(encoding.end(), instructions.begin(), instructions.end());
        out.push_back(0); // Win_Indicator: no source
        append_integer(&out, encoding.size());
        out.insert(out.end(), encoding.begin(), encoding.end());
        bytes -= window;
    }
    return std::string(out.begin(), out.end());
}

std::string sizes_header(std::uint64_t source, std::uint64_t target) {
    char text[SIZES_HEADER_CAPACITY];
    return std::string(text, write_sizes_header(source, target, text));
}

TEST(ResourceCheck, RefusesWhatCannotMakeTheExpectedImage) {
    const std::string ru_op(SHIPPED_RU_OP_BYTES, '\0');
    const std::string ry_op(SHIPPED_RY_OP_BYTES, '\0');
    const std::string right = run_patch(EXPECTED_OUTPUT_SIZE, "");
    const struct {
        const char* what;
        std::string patch;
        std::string ru_op;
        std::string ry_op;
        const char* said; // in the one line of the refusal; null: accepted
    } CASES[] = {
        {"the expected image", right, ru_op, ry_op, nullptr},
        {"sizes announced and right",
         run_patch(EXPECTED_OUTPUT_SIZE, sizes_header(SOURCE_IMAGE_SIZE, EXPECTED_OUTPUT_SIZE)),
         ru_op, ry_op, nullptr},
        {"no sizes, only a name", run_patch(EXPECTED_OUTPUT_SIZE, "another encoder"), ru_op, ry_op,
         nullptr},
        {"64 MiB longer", run_patch(EXPECTED_OUTPUT_SIZE + HARD_MAX_WINDOW, ""), ru_op, ry_op,
         "makes 1618149376 bytes"},
        {"one window short", run_patch(EXPECTED_OUTPUT_SIZE - 16384, ""), ru_op, ry_op,
         "makes 1551024128 bytes"},
        {"a patch of no windows", run_patch(0, ""), ru_op, ry_op, "makes 0 bytes"},
        {"a file of 0 bytes", "", ru_op, ry_op, "not a VCDIFF patch"},
        {"cut inside a window", right.substr(0, right.size() - 1), ru_op, ry_op,
         "ends inside a window"},
        {"made for another source",
         run_patch(EXPECTED_OUTPUT_SIZE,
                   sizes_header(SOURCE_IMAGE_SIZE + 2048, EXPECTED_OUTPUT_SIZE)),
         ru_op, ry_op, "was made from 1455589376"},
        {"a soundtrack of 15 bytes", right, std::string(15, '\0'), ry_op, "not whole 16-byte"},
        {"a soundtrack too long for the buffer", right, ru_op,
         std::string(SHIPPED_RY_OP_BYTES + 16 * 10, '\0'), "decodes to more than"},
    };
    const fs::path folder = make_temp_folder("resource-check");
    for (const auto& c : CASES) {
        write_file(folder / "Delta_patch.vcdiff", c.patch);
        write_file(folder / "Ru_op.adpcm", c.ru_op);
        write_file(folder / "Ry_op.adpcm", c.ry_op);
        const ProcessResult result =
            run_process(CHECK_RESOURCES, folder, "",
                        {(folder / "Delta_patch.vcdiff").string(),
                         (folder / "Ru_op.adpcm").string(), (folder / "Ry_op.adpcm").string()},
                        true);
        ASSERT_TRUE(result.started);
        if (c.said == nullptr) {
            EXPECT_EQ(result.exit_code, 0) << c.what << ": " << result.output;
            EXPECT_EQ(result.output, "") << c.what;
            continue;
        }
        EXPECT_EQ(result.exit_code, 1) << c.what;
        EXPECT_NE(result.output.find(c.said), std::string::npos) << c.what << ": " << result.output;
        EXPECT_EQ(result.output.find('\n'), result.output.size() - 1) << c.what << ": one line";
    }
    remove_temp_folder(folder);
}

} // namespace
