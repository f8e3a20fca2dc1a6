// The translators' tools against names that are not theirs: a link left at
// the temporary name, an input that is the temporary file or the output
// under another name, a FIFO given as an input. Whatever a tool does, every
// file that is not its own output stays exactly as it was.

#include "tests/faults/fault_case.h"
#include "tests/support/files.h"

#include <chrono>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;

enum ToolCase {
    LINK_AT_TEMPORARY,  // a link to another file at the temporary name: removed itself
    INPUT_AT_TEMPORARY, // the first input is named like the temporary file: refused
    OUTPUT_IS_AN_INPUT, // the output name is a link to the first input: refused
    FIFO_INPUT,         // the first input is a FIFO, and an interrupt comes: refused at once
};

struct ToolRow {
    const char* what;
    const char* program;
    std::vector<std::string> inputs; // made by the test; the first is the one each case uses
    const char* output;
    const char* temporary_suffix;
};

// A second of 48 kHz 16-bit mono: what make-audio takes.
std::string small_wav() {
    const auto le = [](std::uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; i++) {
            text.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
        }
        return text;
    };
    std::string samples;
    for (int i = 0; i < 48000; i++) {
        samples += le(static_cast<std::uint32_t>((i * 37) % 8000), 2);
    }
    const std::string format = "fmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(48000, 4) +
                               le(96000, 4) + le(2, 2) + le(16, 2);
    const std::string data = "data" + le(static_cast<std::uint32_t>(samples.size()), 4) + samples;
    return "RIFF" + le(static_cast<std::uint32_t>(4 + format.size() + data.size()), 4) + "WAVE" +
           format + data;
}

// Every name in folder with what it holds (a link: where it points).
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_symlink()) {
            files[name] = "link to " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            files[name] = read_file(entry.path());
        } else {
            files[name] = "special";
        }
    }
    return files;
}

// A second name for the file name in folder: a symbolic link, or where the
// system makes none, a hard link.
void link_to(const fs::path& folder, const std::string& name, const fs::path& link,
             std::error_code& error) {
    fs::create_symlink(name, link, error);
    if (error) {
        fs::create_hard_link(folder / name, link, error);
    }
}

bool interrupt_after_a_second(const std::string&, void* context) {
    return Clock::now() - *static_cast<Clock::time_point*>(context) > std::chrono::seconds(1);
}

class ToolFault : public FaultCase {
  protected:
    void SetUp() override {
        folder = make_temp_folder("tool-faults");
    }

    void TearDown() override {
        FaultCase::TearDown();
        remove_temp_folder(folder);
    }

    // The inputs every row may need, in a folder of its own.
    void make_inputs(const fs::path& where) {
        fs::create_directories(where);
        std::string source(65536, '\0');
        for (std::size_t i = 0; i < source.size(); i++) {
            source[i] = static_cast<char>(i * 7919 >> 5);
        }
        std::string target = source;
        target.replace(1000, 5, "Hola!");
        write_file(where / "source.bin", source);
        write_file(where / "target.bin", target);
        write_file(where / "in.wav", small_wav());
        write_file(where / "bystander.txt", "a file of the translator's");
        ChildRun make = player_run(where);
        make.program = MAKE_PATCH;
        make.arguments = {"source.bin", "target.bin", "patch.vcdiff"};
        ASSERT_EQ(run_child(make).exit_code, 0);
    }

    // Runs one tool in one case; false when the system cannot make the case.
    bool run_case(const ToolRow& tool, ToolCase what, const fs::path& where) {
        std::vector<std::string> arguments = tool.inputs;
        const std::string temporary = std::string(tool.output) + tool.temporary_suffix;
        std::error_code error;
        switch (what) {
        case LINK_AT_TEMPORARY:
            link_to(where, "bystander.txt", where / temporary, error);
            break;
        case INPUT_AT_TEMPORARY:
            fs::copy_file(where / arguments[0], where / temporary, error);
            arguments[0] = temporary;
            break;
        case OUTPUT_IS_AN_INPUT:
            link_to(where, arguments[0], where / tool.output, error);
            break;
        case FIFO_INPUT:
            arguments[0] = "pipe";
            if (!make_fifo(where / "pipe")) {
                return false;
            }
            break;
        }
        if (error) {
            return false;
        }
        arguments.push_back(tool.output);
        const std::map<std::string, std::string> before = snapshot(where);
        ChildRun child = player_run(where);
        child.program = tool.program;
        child.arguments = arguments;
        child.input.clear();
        const Clock::time_point started = Clock::now();
        if (what == FIFO_INPUT) {
            child.timeout_seconds = 20;
            child.trigger_signal = CHILD_SIGINT;
            child.moment = interrupt_after_a_second;
            child.context = const_cast<Clock::time_point*>(&started);
        }
        const ChildResult result = run_child(child);
        ran_ = true;
        EXPECT_TRUE(result.started);
        EXPECT_FALSE(result.timed_out) << "the tool must end promptly";
        std::map<std::string, std::string> after = snapshot(where);
        if (what == LINK_AT_TEMPORARY) {
            // Patched: the output is the tool's own, and the link went itself.
            EXPECT_EQ(result.exit_code, 0);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(where / tool.output)));
            EXPECT_FALSE(after.count(temporary)) << "the temporary name is left";
            after.erase(tool.output);
            std::map<std::string, std::string> others = before;
            others.erase(temporary);
            EXPECT_EQ(after, others);
        } else {
            EXPECT_TRUE(result.exit_code == 1 || result.exit_code == 2)
                << "refused with a reason, not " << result.exit_code;
            EXPECT_EQ(after, before) << "a refusal changes nothing";
        }
        return true;
    }

    fs::path folder;
};

TEST_F(ToolFault, ToolsNeverWriteThroughANameThatIsNotTheirs) {
    describe("make-patch, make-audio, apply-patch: a link at the temporary name, an input "
             "under the temporary name, the output a link to an input, a FIFO input "
             "interrupted");
    const ToolRow tools[] = {
        {"make-patch", MAKE_PATCH, {"source.bin", "target.bin"}, "out.vcdiff", ".incomplete"},
        {"make-audio", MAKE_AUDIO, {"in.wav"}, "out.adpcm", ".part"},
        {"apply-patch", APPLY_PATCH, {"source.bin", "patch.vcdiff"}, "out.bin", ".part"},
    };
    const ToolCase cases[] = {LINK_AT_TEMPORARY, INPUT_AT_TEMPORARY, OUTPUT_IS_AN_INPUT,
                              FIFO_INPUT};
    int made = 0;
    int row = 0;
    for (const ToolRow& tool : tools) {
        for (const ToolCase what : cases) {
            SCOPED_TRACE(std::string(tool.what) + ", case " + std::to_string(what));
            const fs::path where = folder / std::to_string(row++);
            make_inputs(where);
            made += run_case(tool, what, where) ? 1 : 0;
        }
    }
    note_seen(std::to_string(made) + " of 12 cases made on this system; every refusal on "
                                     "standard error, status 1 or 2");
    note_output("the tool's own output only; every other file as it was");
    note_exit("0 past the link, otherwise 1 or 2");
}

} // namespace
