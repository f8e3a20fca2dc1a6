#include "tests/faults/fault_case.h"

#include "tests/support/console.h"
#include "tests/support/files.h"

#include <cstdio>
#include <cstdlib>

const char* const BANNER = "\n*** Parche al Español para Veltrane para PS2 (v1.0) ***\n\n\n";
const char* const NOT_FOUND = "Incapaz de hallar el ISO Jap de Veltrane para PS2.\n\n"
                              "El tamaño del archivo debe ser de 1 455 587 328 bytes.\n\n"
                              "El CRC32 del archivo debe ser 0xDED23029.\n";
const char* const CLOSING = "\nPresiona Enter para salir del programa.";
const char* const FAILED = "\n\nEl parche falló.\n";

namespace {

// Report cells keep lines short: a path thousands of bytes long shows its
// two ends and how much lies between.
constexpr std::size_t LONGEST_SHOWN_LINE = 160;
constexpr std::size_t SHOWN_END_BYTES = 60;

// Length of the UTF-8 sequence at text[i], or 0 when there is none.
std::size_t utf8_sequence(const std::string& text, std::size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    }
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; k++) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// One line of console output as Markdown table text: raw bytes that are
// not text show as \xNN, and nothing in a path can break the table.
std::string markdown_cell_text(const std::string& line) {
    std::string out;
    for (std::size_t i = 0; i < line.size();) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8_sequence(line, i);
            if (length != 0) {
                out.append(line, i, length);
                i += length;
                continue;
            }
        }
        char escaped[8];
        if (c < 0x20 || c >= 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\\\x%02X", c);
            out += escaped;
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '|' || c == '\\' || c == '*' || c == '_' || c == '`' || c == '[' ||
                   c == ']') {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(c);
        }
        i++;
    }
    return out;
}

std::string shortened(const std::string& line) {
    if (line.size() <= LONGEST_SHOWN_LINE) {
        return markdown_cell_text(line);
    }
    std::size_t head = SHOWN_END_BYTES;
    while (head > 0 && (static_cast<unsigned char>(line[head]) & 0xC0) == 0x80) {
        head--;
    }
    std::size_t tail = line.size() - SHOWN_END_BYTES;
    while (tail < line.size() && (static_cast<unsigned char>(line[tail]) & 0xC0) == 0x80) {
        tail++;
    }
    return markdown_cell_text(line.substr(0, head)) + " … (" + std::to_string(tail - head) +
           " bytes) … " + markdown_cell_text(line.substr(tail));
}

void add_lines(const std::string& text, std::vector<std::string>* parts) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            parts->push_back(shortened(line));
        }
        start = end + 1;
    }
}

// What the player saw, in one table cell: the banner and the closing prompt
// in brackets, the progress lines as their first and last percentage.
std::string summarise_console(const std::string& output) {
    std::string text = output;
    std::vector<std::string> parts;
    const std::string banner = to_console(BANNER);
    if (text.compare(0, banner.size(), banner) == 0) {
        parts.push_back("[banner]");
        text.erase(0, banner.size());
    }
    const std::string closing = to_console(CLOSING);
    bool closed = false;
    if (text.size() >= closing.size() &&
        text.compare(text.size() - closing.size(), closing.size(), closing) == 0) {
        closed = true;
        text.erase(text.size() - closing.size());
    }
    const SeenOutput seen = split_progress(text);
    add_lines(seen.before, &parts);
    if (!seen.percentages.empty()) {
        std::string progress = "Progresión: " + std::to_string(seen.percentages.front()) + " %";
        if (seen.percentages.size() > 1) {
            progress += " … " + std::to_string(seen.percentages.back()) + " %";
        }
        parts.push_back(progress);
    }
    add_lines(seen.after, &parts);
    if (closed) {
        parts.push_back("[Presiona Enter para salir del programa.]");
    }
    if (parts.empty()) {
        return "(nothing)";
    }
    std::string cell;
    for (const std::string& part : parts) {
        cell += (cell.empty() ? "" : "<br>") + part;
    }
    return cell;
}

void append_report_row(const std::string& row) {
    const char* path = std::getenv("PATCHER_RELIABILITY_ROWS");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::FILE* file = std::fopen(path, "ab");
    ASSERT_NE(file, nullptr) << "cannot append to " << path;
    std::fputs(row.c_str(), file);
    std::fclose(file);
}

} // namespace

SeenOutput split_progress(const std::string& output) {
    const std::string prefix = to_console("Progresión: ");
    SeenOutput seen;
    seen.well_formed = true;
    std::size_t at = output.find(prefix);
    seen.before = output.substr(0, at);
    while (at != std::string::npos && output.compare(at, prefix.size(), prefix) == 0) {
        const std::size_t end = output.find('\r', at);
        const std::size_t digits = at + prefix.size();
        const std::string line = output.substr(digits, end - digits);
        seen.percentages.push_back(std::atoi(line.c_str()));
        if (end == std::string::npos || line != std::to_string(seen.percentages.back()) + " %") {
            seen.well_formed = false;
        }
        at = end == std::string::npos ? end : end + 1;
    }
    seen.after = at == std::string::npos ? "" : output.substr(at);
    return seen;
}

std::string console_with_path(const std::string& prefix, const std::string& raw_path,
                              const std::string& suffix) {
    return to_console(prefix) + raw_path + to_console(suffix);
}

std::string decoy_verdict(const std::string& raw_name) {
    return console_with_path("ISO Jap detectado: ", raw_name, "\n\nParche en progreso:\n") +
           console_with_path("\n\nEl parcheo ha fallado por un mal CRC32. La entrada del archivo "
                             "ISO \"",
                             raw_name, "\" no es correcto.\n");
}

std::string native_separators(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = static_cast<char>(fs::path::preferred_separator);
        }
    }
    return path;
}

ChildRun player_run(const fs::path& folder) {
    ChildRun child = {.program = PATCHER_PROGRAM,
                      .arguments = {},
                      .folder = folder,
                      .input = std::string(1, '\n'),
                      .no_input = false,
                      .unprivileged = false,
                      .file_size_limit = 0,
                      .timeout_seconds = QUICK_RUN_SECONDS,
                      .trigger = {},
                      .trigger_signal = 0,
                      .on_trigger = nullptr,
                      .context = nullptr,
                      .moment = nullptr,
                      .keep_input_open = false,
                      .output_limit = 0};
    return child;
}

void FaultCase::describe(const std::string& title) {
    title_ = title;
}

bool FaultCase::watch_source(const fs::path& path) {
    std::error_code size_error;
    std::error_code time_error;
    const std::uint64_t size = fs::file_size(path, size_error);
    const fs::file_time_type time = fs::last_write_time(path, time_error);
    if (size_error || time_error) {
        return false;
    }
    sources_.push_back(path);
    source_sizes_.push_back(size);
    source_times_.push_back(time);
    return true;
}

void FaultCase::forbid_output(const fs::path& path) {
    forbidden_.push_back(path);
}

void FaultCase::expect_output(const fs::path& path, std::uint64_t size) {
    expected_output_ = path;
    expected_output_size_ = size;
}

void FaultCase::note_output(const std::string& note) {
    output_note_ = note;
}

void FaultCase::note_source(const std::string& note) {
    source_note_ = note;
}

void FaultCase::note_seen(const std::string& note) {
    seen_note_ = note;
}

void FaultCase::note_exit(const std::string& note) {
    exit_note_ = note;
}

ChildResult FaultCase::run(ChildRun child) {
    const ChildResult result = run_child(child);
    ran_ = true;
    seen_ = result.output;
    const int exit_code = result.timed_out ? -2 : result.killed ? -3 : result.exit_code;
    // Over several runs the row shows the first that went wrong.
    if (runs_ == 0 || exit_code_ == 0) {
        exit_code_ = exit_code;
    }
    runs_++;
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.timed_out) << "the program hung";
    EXPECT_FALSE(result.killed) << "the program crashed or was killed";
    EXPECT_EQ(result.exit_code, 0);
    return result;
}

ChildResult FaultCase::run_to_kill(ChildRun child) {
    child.trigger_signal = CHILD_SIGKILL;
    const ChildResult result = run_child(child);
    ran_ = true;
    kills_++;
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.timed_out) << "the moment to kill the program never came";
    EXPECT_TRUE(result.triggered) << "the program ended before its moment";
    EXPECT_TRUE(result.killed);
    return result;
}

std::string FaultCase::skip_reason() {
    const ::testing::TestResult* result =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = 0; i < result->total_part_count(); i++) {
        const ::testing::TestPartResult& part = result->GetTestPartResult(i);
        if (part.skipped()) {
            return part.message();
        }
    }
    return "";
}

void FaultCase::TearDown() {
    std::string source_state = "—";
    if (!sources_.empty()) {
        bool unchanged = true;
        for (std::size_t i = 0; i < sources_.size(); i++) {
            std::error_code size_error;
            std::error_code time_error;
            const std::uint64_t size = fs::file_size(sources_[i], size_error);
            const fs::file_time_type time = fs::last_write_time(sources_[i], time_error);
            const bool same =
                !size_error && !time_error && size == source_sizes_[i] && time == source_times_[i];
            EXPECT_TRUE(same) << sources_[i] << ": the source image must never change";
            unchanged = unchanged && same;
        }
        source_state = unchanged ? "yes" : "**no**";
        if (unchanged && !source_note_.empty()) {
            source_state += " (" + markdown_cell_text(source_note_) + ")";
        }
    }
    std::string output_state = "—";
    if (!forbidden_.empty()) {
        bool left = false;
        for (const fs::path& path : forbidden_) {
            std::error_code error;
            const bool exists = fs::exists(fs::symlink_status(path, error));
            EXPECT_FALSE(exists) << path << ": a failed patch leaves no output behind";
            left = left || exists;
        }
        output_state = left ? "**left behind**" : "none";
    }
    if (!expected_output_.empty()) {
        std::error_code error;
        const bool whole =
            fs::file_size(expected_output_, error) == expected_output_size_ && !error;
        EXPECT_TRUE(whole) << expected_output_ << ": the patched image should be there, whole";
        output_state = whole ? "the patched image" : "**missing or short**";
    }

    if (!output_note_.empty()) {
        output_state = markdown_cell_text(output_note_);
    }

    std::string result = HasFailure() ? "**FAIL**" : "pass";
    std::string seen = ran_ && runs_ != 0 ? summarise_console(seen_) : "—";
    std::string exit = "—";
    if (ran_ && runs_ != 0) {
        exit = exit_code_ == -2   ? "**hung**"
               : exit_code_ == -3 ? "**crashed**"
                                  : std::to_string(exit_code_);
    }
    if (kills_ != 0) {
        exit += " (" + std::to_string(kills_) + " runs killed by the test)";
    }
    if (!seen_note_.empty()) {
        seen = markdown_cell_text(seen_note_) + (seen == "—" ? "" : "<br>" + seen);
    }
    if (!exit_note_.empty()) {
        exit = markdown_cell_text(exit_note_);
    }
    if (IsSkipped()) {
        result = "skipped: " + markdown_cell_text(skip_reason());
        seen = source_state = output_state = exit = "—";
    }
    const std::string title =
        title_.empty() ? ::testing::UnitTest::GetInstance()->current_test_info()->name() : title_;
    append_report_row("| " + markdown_cell_text(title) + " | " + seen + " | " + source_state +
                      " | " + output_state + " | " + exit + " | " + result + " |\n");
}
