#pragma once

// One fault case against the real program: it runs the program, checks what
// the player sees, that the source image stays as it was, that a failed
// patch leaves no output behind, that the program exits with status 0 and
// neither crashes nor hangs, and writes one row of the reliability report.
//
// When PATCHER_RELIABILITY_ROWS names a file, every case appends its row
// there (scripts/reliability-report renders them into docs/reliability.md).

#include "tests/faults/fault_platform.h"
#include "tests/support/files.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// The program's messages, in UTF-8 as the tests write them (to_console turns
// them into this platform's console bytes).
extern const char* const BANNER;
extern const char* const NOT_FOUND;
extern const char* const CLOSING;
extern const char* const FAILED;

constexpr std::uint64_t OUTPUT_IMAGE_BYTES = 1551040512;

// What the player saw, cut into the text before the progress lines, the
// percentages in the order printed and the text after them.
struct SeenOutput {
    std::string before;
    std::vector<int> percentages;
    std::string after;
    bool well_formed; // every progress line was "<number> %" and a carriage return
};

SeenOutput split_progress(const std::string& output);

// "ISO Jap detectado: <name>\n\nParche en progreso:\n" then the bad-CRC
// message for <name>: what a decoy brings, the name in raw bytes.
std::string decoy_verdict(const std::string& raw_name);

// The console text of a message with a raw path inside: prefix and suffix
// are converted, the path's bytes are not.
std::string console_with_path(const std::string& prefix, const std::string& raw_path,
                              const std::string& suffix);

// Path text as the program prints it: '/' becomes the platform's separator.
std::string native_separators(std::string path);

// How a player starts the program in folder: no arguments, Enter pressed.
ChildRun player_run(const fs::path& folder);

class FaultCase : public ::testing::Test {
  protected:
    void TearDown() override;

    // The row's title in the report.
    void describe(const std::string& title);

    // A file the run must leave exactly as it was (size and time); false
    // when the test cannot even look at it (a path too long for the
    // platform), and then it is not watched.
    bool watch_source(const fs::path& path);

    // An output the run must not leave behind; checked again at the end.
    void forbid_output(const fs::path& path);

    // An output that the case expects to exist (a successful run).
    void expect_output(const fs::path& path, std::uint64_t size);

    // What the report says about the output when neither of the above fits.
    void note_output(const std::string& note);

    // Added to the report's "unchanged" for the watched source (for a source
    // the case itself changed before watching it).
    void note_source(const std::string& note);

    // Put before the console output of the last run in the report, for a
    // case of many runs.
    void note_seen(const std::string& note);

    // The report's exit status, for a case whose runs do not end with 0.
    void note_exit(const std::string& note);

    // Runs the program and checks the things every case checks:
    // started, no hang, no crash, exit status 0. The output goes into the
    // report row.
    ChildResult run(ChildRun child);

    // Runs the program until the test kills it at its trigger or moment
    // (CHILD_SIGKILL): it started, the moment came before the program
    // ended, and nothing hung.
    ChildResult run_to_kill(ChildRun child);

    // Skips with a reason that also goes into the report.
    static std::string skip_reason();

    std::string title_;
    std::string seen_;
    bool ran_ = false;
    int exit_code_ = -1;
    std::vector<fs::path> sources_;
    std::vector<std::uint64_t> source_sizes_;
    std::vector<fs::file_time_type> source_times_;
    std::vector<fs::path> forbidden_;
    fs::path expected_output_;
    std::uint64_t expected_output_size_ = 0;
    std::string output_note_;
    std::string source_note_;
    std::string seen_note_;
    std::string exit_note_;
    int runs_ = 0;  // runs through run()
    int kills_ = 0; // runs through run_to_kill()
};

// The default time limits: a run over the small trees, and a full patch.
constexpr int QUICK_RUN_SECONDS = 60;
constexpr int FULL_RUN_SECONDS = 600;
