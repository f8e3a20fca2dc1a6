// Kills and interrupts at moments spread over a whole run, of the patcher
// and of the translators' tool, on the full-size demo image. Whatever moment
// the run ends at, the final name holds the whole image or nothing, the
// source stays as it was, and the next run clears what was left and
// succeeds. The moments are found by watching the run's own files and
// output (how far the temporary file has grown, when the last percentage
// appeared, when the movies were written back, when the final name
// appeared), so that they fall where they should however fast the machine.

#include "demo_kit/sha256.h"
#include "tests/faults/fault_case.h"
#include "tests/support/console.h"
#include "tests/support/files.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::string DETECTED = "ISO Jap detectado: Veltrane.iso\n\nParche en progreso:\n";
const std::string SUCCESS = "\n\n¡El parche al español ha sido aplicado correctamente!\n"
                            "El archivo ISO parcheado al español es \"Veltrane_patched.iso\".\n";

// A moment no run should take this long to reach, even under Wine.
constexpr int KILLED_RUN_SECONDS = 300;

std::string file_digest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    Sha256 hash;
    sha256_init(&hash);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        sha256_update(&hash, reinterpret_cast<const unsigned char*>(buffer.data()),
                      static_cast<std::size_t>(in.gcount()));
    }
    unsigned char digest[SHA256_DIGEST_BYTES];
    sha256_final(&hash, digest);
    char hex[65];
    sha256_hex(digest, hex);
    return hex;
}

std::string kit_digest() {
    return read_file(build_path(DEMO_KIT) / "expected.sha256").substr(0, 64);
}

enum MomentKind {
    OWN_TEMPORARY_BYTES, // this run's temporary file holds at least `amount` bytes
    AFTER_LAST_PERCENT,  // `amount` of the reference span after the last percentage appeared
    MOVIE_WRITTEN_BACK,  // after the last percentage the temporary file was written again
    FINAL_NAME,          // the final name exists
};

struct Moment {
    MomentKind kind;
    double amount;
};

std::string describe_moment(const Moment& moment) {
    switch (moment.kind) {
    case OWN_TEMPORARY_BYTES:
        return "temporary file at " + std::to_string(static_cast<std::uint64_t>(moment.amount)) +
               " bytes";
    case AFTER_LAST_PERCENT:
        return std::to_string(moment.amount) + " of the span after the last percentage";
    case MOVIE_WRITTEN_BACK:
        return "first movie written back";
    case FINAL_NAME:
        return "final name present";
    }
    return "?";
}

// What one run's moment looks at, and what it saw on the way.
struct RunWatch {
    Moment moment;
    fs::path temporary;
    fs::path final_name;
    bool leftover;            // an earlier run left a file under the temporary name
    std::string last_percent; // the console text of the last progress line
    Clock::duration span;     // from the last percentage to the final name, in a whole run
    bool percent_seen;
    Clock::time_point percent_at;
    fs::file_time_type temporary_time_at_percent;
    bool final_seen;
    Clock::time_point final_at;
};

// What an earlier run left under the temporary name is made longer than any
// image, so that it cannot pass for this run's file. (Telling files apart by
// identity would mean opening them, and on Windows an open file is not
// deleted until it is closed: the test would change what it watches.)
constexpr std::uint64_t LEFTOVER_MARK_BYTES = OUTPUT_IMAGE_BYTES + 4096;

// The temporary file exists and is this run's, not an earlier run's leftover.
bool own_temporary(const RunWatch& watch) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(watch.temporary, error);
    return !error && size <= OUTPUT_IMAGE_BYTES;
}

bool moment_has_come(const std::string& output, void* context) {
    RunWatch* watch = static_cast<RunWatch*>(context);
    const Clock::time_point now = Clock::now();
    std::error_code error;
    if (!watch->percent_seen && output.find(watch->last_percent) != std::string::npos) {
        watch->percent_seen = true;
        watch->percent_at = now;
        watch->temporary_time_at_percent = fs::last_write_time(watch->temporary, error);
    }
    if (!watch->final_seen && fs::exists(watch->final_name, error)) {
        watch->final_seen = true;
        watch->final_at = now;
    }
    switch (watch->moment.kind) {
    case OWN_TEMPORARY_BYTES: {
        if (!own_temporary(*watch)) {
            return false;
        }
        const std::uintmax_t size = fs::file_size(watch->temporary, error);
        return !error && static_cast<double>(size) >= watch->moment.amount;
    }
    case AFTER_LAST_PERCENT:
        return watch->percent_seen &&
               now - watch->percent_at >=
                   std::chrono::duration_cast<Clock::duration>(watch->span * watch->moment.amount);
    case MOVIE_WRITTEN_BACK: {
        if (!watch->percent_seen) {
            return false;
        }
        const fs::file_time_type time = fs::last_write_time(watch->temporary, error);
        // Gone means renamed: the rewrite is over, and the moment is now.
        return error || time != watch->temporary_time_at_percent;
    }
    case FINAL_NAME:
        return watch->final_seen;
    }
    return false;
}

// The program's run measured once per test process, without any fault: how
// long from its last percentage to the final name, and what it wrote.
struct Reference {
    bool made;
    Clock::duration span;
    std::string digest;
};

class KillFault : public FaultCase {
  protected:
    void SetUp() override {
        folder = build_path(FAULTS_WORK) /
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::error_code error;
        fs::remove_all(folder, error);
        fs::create_directories(folder);
        image = folder / "Veltrane.iso";
        link_image(image);
        ASSERT_TRUE(watch_source(image));
        image_size = fs::file_size(image);
        image_time = fs::last_write_time(image);
    }

    void TearDown() override {
        FaultCase::TearDown();
        std::error_code error;
        fs::remove_all(folder, error);
    }

    static void link_image(const fs::path& to) {
        const fs::path shared = build_path(E2E_IMAGE);
        ASSERT_TRUE(fs::exists(shared)) << "the demo image comes from the e2e_image fixture";
        std::error_code error;
        fs::create_hard_link(shared, to, error);
        if (error) {
            fs::copy_file(shared, to);
        }
    }

    // The patcher's run as the player starts it.
    void use_patcher() {
        temporary = folder / "Veltrane_patched.tmp";
        final_name = folder / "Veltrane_patched.iso";
        last_percent = to_console("Progresión: 99 %\r");
    }

    // The translators' tool writing target.iso.
    void use_tool() {
        temporary = folder / "target.iso.part";
        final_name = folder / "target.iso";
        last_percent = to_console("Progresión: 100 %\r");
    }

    ChildRun child_run(const fs::path& where, bool tool) const {
        ChildRun child = player_run(where);
        child.timeout_seconds = FULL_RUN_SECONDS;
        if (tool) {
            child.program = APPLY_PATCH;
            child.input.clear();
        }
        return child;
    }

    // A watch for one run; what an earlier run left under the temporary
    // name is marked, so that its removal shows.
    RunWatch watch_for(const Moment& moment, const Reference& reference) const {
        RunWatch watch{};
        watch.moment = moment;
        watch.temporary = temporary;
        watch.final_name = final_name;
        watch.last_percent = last_percent;
        watch.span = reference.span;
        std::error_code error;
        if (fs::exists(temporary, error)) {
            fs::resize_file(temporary, LEFTOVER_MARK_BYTES, error);
            EXPECT_FALSE(error) << "cannot mark the leftover: " << error.message();
            watch.leftover = true;
        }
        return watch;
    }

    // After a run ended at a moment: the final name holds nothing or the
    // whole image, the source is as it was, and what an earlier run left
    // under the temporary name is gone.
    void check_after(const RunWatch& watch, const std::string& digest) {
        std::error_code error;
        if (fs::exists(final_name, error)) {
            ASSERT_EQ(fs::file_size(final_name), OUTPUT_IMAGE_BYTES) << "a partial final image";
            EXPECT_EQ(file_digest(final_name), digest) << "a broken final image";
        }
        EXPECT_EQ(fs::file_size(image), image_size);
        EXPECT_EQ(fs::last_write_time(image), image_time) << "the source changed";
        if (watch.leftover) {
            EXPECT_NE(fs::file_size(temporary, error), LEFTOVER_MARK_BYTES)
                << "the leftover of the run before is still there";
        }
    }

    static Reference& patcher_reference() {
        static Reference reference = {false, {}, {}};
        return reference;
    }

    static Reference& tool_reference() {
        static Reference reference = {false, {}, {}};
        return reference;
    }

    // Measures a whole run in a folder of its own, once per test process.
    void make_reference(bool tool, Reference* reference) {
        if (reference->made) {
            return;
        }
        const fs::path where = build_path(FAULTS_WORK) / (tool ? "reference-tool" : "reference");
        std::error_code error;
        fs::remove_all(where, error);
        fs::create_directories(where);
        link_image(where / "Veltrane.iso");
        RunWatch watch{};
        watch.moment = {FINAL_NAME, 0};
        watch.temporary = where / temporary.filename();
        watch.final_name = where / final_name.filename();
        watch.last_percent = last_percent;
        ChildRun child = tool ? tool_run(where) : child_run(where, false);
        child.moment = moment_has_come;
        child.context = &watch;
        const ChildResult result = run_child(child);
        const Clock::time_point ended = Clock::now();
        ASSERT_TRUE(result.started);
        ASSERT_FALSE(result.timed_out || result.killed);
        ASSERT_EQ(result.exit_code, 0) << result.output;
        ASSERT_TRUE(watch.percent_seen);
        ASSERT_EQ(fs::file_size(watch.final_name), OUTPUT_IMAGE_BYTES);
        // The tool ends right after the rename, sooner than a poll may see it.
        reference->span = (watch.final_seen ? watch.final_at : ended) - watch.percent_at;
        reference->digest = tool ? file_digest(watch.final_name) : kit_digest();
        reference->made = true;
        fs::remove_all(where, error);
    }

    // The tool on the image in where, writing target.iso there.
    ChildRun tool_run(const fs::path& where) const {
        ChildRun child = child_run(where, true);
        child.arguments = {"Veltrane.iso", (build_path(DEMO_KIT) / "Delta_patch.vcdiff").string(),
                           "target.iso"};
        return child;
    }

    // A copy's run ended: it failed at once, or it claims a success that
    // the final name shows (its content is checked by check_after).
    bool check_copy(const ChildResult& second, bool tool) {
        EXPECT_FALSE(second.timed_out || second.killed);
        const bool succeeded = tool ? second.exit_code == 0
                                    : second.output.find(to_console(SUCCESS)) != std::string::npos;
        if (!tool && !succeeded) {
            EXPECT_EQ(second.output, to_console(BANNER + DETECTED + FAILED + CLOSING));
        }
        std::error_code error;
        if (succeeded) {
            EXPECT_EQ(fs::file_size(final_name, error), OUTPUT_IMAGE_BYTES)
                << "a success that is not on the disk";
        }
        return succeeded;
    }

    // Two copies started together, then a whole run with a second copy
    // started at eight moments of it (its temporary file at 0 to 7/8 of the
    // image). One copy of each pair patches; the other ends at once and
    // leaves the first's files alone; nothing claims a success that is not
    // on the disk. A tool's target is checked against the other pair's.
    void check_two_copies(bool tool, std::string digest) {
        const auto start = [&](ChildResult* result) {
            *result = run_child(tool ? tool_run(folder) : child_run(folder, false));
        };
        ChildResult first;
        ChildResult second;
        std::thread together(start, &first);
        start(&second);
        together.join();
        ran_ = true;
        const int claims = (check_copy(first, tool) ? 1 : 0) + (check_copy(second, tool) ? 1 : 0);
        EXPECT_GE(claims, 1) << "one of two copies started together patches";
        // The tool's first target stands as the reference for the second.
        if (digest.empty()) {
            digest = file_digest(final_name);
        } else {
            check_after(RunWatch{}, digest);
        }

        std::error_code error;
        fs::remove(final_name, error);
        std::atomic<bool> ended{false};
        std::thread whole([&] {
            start(&first);
            ended = true;
        });
        int refused = 0;
        for (int moment = 0; moment < 8; moment++) {
            for (;;) {
                const std::uintmax_t size = fs::file_size(temporary, error);
                if (ended || (!error && size >= OUTPUT_IMAGE_BYTES * moment / 8)) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (ended) {
                break;
            }
            second = run_child(tool ? tool_run(folder) : child_run(folder, false));
            refused += check_copy(second, tool) ? 0 : 1;
            // Gone only once renamed.
            EXPECT_TRUE(fs::exists(temporary, error) || fs::exists(final_name, error))
                << "the second copy removed the first's temporary file";
        }
        whole.join();
        EXPECT_TRUE(first.exit_code == 0 && check_copy(first, tool))
            << "the first copy's run, whole";
        EXPECT_GE(refused, 6) << "the second copies should have come while the first ran";
        check_after(RunWatch{}, digest);
        forbid_output(temporary);
        expect_output(final_name, OUTPUT_IMAGE_BYTES);
        note_seen(std::to_string(refused) + " of 8 second copies ended at once" +
                  (tool ? " with status 1" : " like a failed patch"));
    }

    fs::path folder;
    fs::path image;
    std::uint64_t image_size = 0;
    fs::file_time_type image_time;
    fs::path temporary;
    fs::path final_name;
    std::string last_percent;
};

// 20 moments: the start of the output, thirteen steps of its growth, the
// last percentage, the first movie written back, three points between the
// last percentage and the rename, and the final name present.
std::vector<Moment> patcher_kill_moments() {
    std::vector<Moment> moments = {{FINAL_NAME, 0}, {OWN_TEMPORARY_BYTES, 0}};
    for (int step = 1; step <= 13; step++) {
        moments.push_back({OWN_TEMPORARY_BYTES, OUTPUT_IMAGE_BYTES * (step / 13.0)});
    }
    moments.push_back({AFTER_LAST_PERCENT, 0});
    moments.push_back({MOVIE_WRITTEN_BACK, 0});
    for (double share : {0.25, 0.5, 0.9}) {
        moments.push_back({AFTER_LAST_PERCENT, share});
    }
    return moments;
}

TEST_F(KillFault, KilledAtTwentyMomentsNeverLeavesABrokenImage) {
    describe("Killed (SIGKILL) at 20 moments from the first write to after the rename, "
             "then run again");
    if (!FAULT_ABILITIES.kills) {
        GTEST_SKIP() << "this platform cannot kill the program from a test";
    }
    use_patcher();
    make_reference(false, &patcher_reference());
    const Reference& reference = patcher_reference();
    for (const Moment& moment : patcher_kill_moments()) {
        SCOPED_TRACE(describe_moment(moment));
        RunWatch watch = watch_for(moment, reference);
        ChildRun child = child_run(folder, false);
        // No Enter: a run that got past the rename waits to be killed.
        child.timeout_seconds = KILLED_RUN_SECONDS;
        child.input.clear();
        child.keep_input_open = true;
        child.moment = moment_has_come;
        child.context = &watch;
        run_to_kill(child);
        check_after(watch, reference.digest);
    }
    // The run after the last kill clears its leftover and patches.
    RunWatch watch = watch_for({FINAL_NAME, 0}, reference);
    const ChildResult result = run(child_run(folder, false));
    EXPECT_EQ(
        result.output.substr(result.output.size() -
                             std::min(result.output.size(), to_console(SUCCESS + CLOSING).size())),
        to_console(SUCCESS + CLOSING));
    expect_output(final_name, OUTPUT_IMAGE_BYTES);
    forbid_output(temporary);
    ASSERT_TRUE(fs::exists(final_name));
    check_after(watch, reference.digest);
    note_output("none, or the whole image (SHA-256 checked) after each kill; the run after the "
                "last kill: the patched image");
    note_seen("the run after the 20 kills:");
}

TEST_F(KillFault, InterruptedAtTenMomentsEndsLikeAFailedPatch) {
    describe("Ctrl+C (SIGINT) at 10 moments from the first write to the rename, the movie "
             "rewrite included");
    if (!FAULT_ABILITIES.signals) {
        GTEST_SKIP() << "no console to send an interrupt to from a test under Wine";
    }
    use_patcher();
    make_reference(false, &patcher_reference());
    const Reference& reference = patcher_reference();
    std::vector<Moment> moments = {{OWN_TEMPORARY_BYTES, 0}};
    for (int step = 1; step <= 6; step++) {
        moments.push_back({OWN_TEMPORARY_BYTES, OUTPUT_IMAGE_BYTES * (step / 6.0)});
    }
    moments.push_back({AFTER_LAST_PERCENT, 0});
    moments.push_back({MOVIE_WRITTEN_BACK, 0});
    moments.push_back({AFTER_LAST_PERCENT, 0.5});
    int failed = 0;
    for (const Moment& moment : moments) {
        SCOPED_TRACE(describe_moment(moment));
        RunWatch watch = watch_for(moment, reference);
        ChildRun child = child_run(folder, false);
        child.trigger_signal = CHILD_SIGINT;
        child.moment = moment_has_come;
        child.context = &watch;
        const ChildResult result = run(child);
        std::error_code error;
        const bool whole = fs::exists(final_name, error);
        // A run quicker than the reference can end before a moment timed
        // from the reference's span; it must then have ended whole.
        EXPECT_TRUE(result.triggered || (moment.kind == AFTER_LAST_PERCENT && whole));
        const std::string ending = to_console((whole ? SUCCESS : FAILED) + CLOSING);
        ASSERT_GE(result.output.size(), ending.size());
        EXPECT_EQ(result.output.substr(result.output.size() - ending.size()), ending);
        EXPECT_FALSE(fs::exists(temporary, error)) << "the unfinished image was left";
        check_after(watch, reference.digest);
        failed += whole ? 0 : 1;
        fs::remove(final_name, error);
    }
    EXPECT_GE(failed, 9) << "the interrupts should have come before the rename";
    forbid_output(temporary);
    note_output("none (no temporary file either), or the whole image when the interrupt came "
                "after the rename");
    note_seen(std::to_string(failed) + " of 10 runs ended like a failed patch; the last one:");
}

TEST_F(KillFault, ToolKilledAtEightMomentsNeverLeavesABrokenTarget) {
    describe("apply-patch killed (SIGKILL) at 8 moments from the first write to the rename, "
             "then run again");
    if (!FAULT_ABILITIES.kills) {
        GTEST_SKIP() << "this platform cannot kill the program from a test";
    }
    use_tool();
    make_reference(true, &tool_reference());
    const Reference& reference = tool_reference();
    std::vector<Moment> moments = {{OWN_TEMPORARY_BYTES, 0}};
    for (int step = 1; step <= 5; step++) {
        moments.push_back({OWN_TEMPORARY_BYTES, OUTPUT_IMAGE_BYTES * (step / 5.0)});
    }
    moments.push_back({AFTER_LAST_PERCENT, 0.5});
    moments.push_back({AFTER_LAST_PERCENT, 0.9});
    int killed = 0;
    for (const Moment& moment : moments) {
        SCOPED_TRACE(describe_moment(moment));
        RunWatch watch = watch_for(moment, reference);
        ChildRun child = tool_run(folder);
        child.trigger_signal = CHILD_SIGKILL;
        child.moment = moment_has_come;
        child.context = &watch;
        const ChildResult result = run_child(child);
        ran_ = true;
        EXPECT_FALSE(result.timed_out);
        // Late moments may come only once the tool has ended by itself.
        EXPECT_TRUE(result.killed || result.exit_code == 0);
        killed += result.killed ? 1 : 0;
        check_after(watch, reference.digest);
    }
    EXPECT_GE(killed, 6);
    RunWatch watch = watch_for({FINAL_NAME, 0}, reference);
    const ChildResult result = run_child(tool_run(folder));
    EXPECT_EQ(result.exit_code, 0);
    ASSERT_TRUE(fs::exists(final_name));
    check_after(watch, reference.digest);
    forbid_output(temporary);
    expect_output(final_name, OUTPUT_IMAGE_BYTES);
    note_seen("progress to 100 %, killed " + std::to_string(killed) + " times of 8");
    note_exit("killed; the run after the kills: 0");
    note_output("none, or the whole target (SHA-256 checked) after each kill; the run after "
                "the last kill: the target");
}

TEST_F(KillFault, ToolInterruptedAtFiveMomentsLeavesNoTarget) {
    describe("apply-patch interrupted (SIGINT) at 5 moments from the first write to the rename");
    if (!FAULT_ABILITIES.signals) {
        GTEST_SKIP() << "no console to send an interrupt to from a test under Wine";
    }
    use_tool();
    make_reference(true, &tool_reference());
    const Reference& reference = tool_reference();
    const std::vector<Moment> moments = {{OWN_TEMPORARY_BYTES, 0},
                                         {OWN_TEMPORARY_BYTES, OUTPUT_IMAGE_BYTES / 3.0},
                                         {OWN_TEMPORARY_BYTES, OUTPUT_IMAGE_BYTES * (2 / 3.0)},
                                         {OWN_TEMPORARY_BYTES, OUTPUT_IMAGE_BYTES},
                                         {AFTER_LAST_PERCENT, 0.5}};
    int refused = 0;
    for (const Moment& moment : moments) {
        SCOPED_TRACE(describe_moment(moment));
        RunWatch watch = watch_for(moment, reference);
        ChildRun child = tool_run(folder);
        child.trigger_signal = CHILD_SIGINT;
        child.moment = moment_has_come;
        child.context = &watch;
        const ChildResult result = run_child(child);
        ran_ = true;
        EXPECT_FALSE(result.timed_out || result.killed) << "the tool must clean up and end";
        std::error_code error;
        const bool whole = fs::exists(final_name, error);
        // Exit status 1 and nothing under either name, or done before the
        // interrupt counted.
        EXPECT_EQ(result.exit_code, whole ? 0 : 1);
        EXPECT_FALSE(fs::exists(temporary, error)) << "the unfinished target was left";
        check_after(watch, reference.digest);
        refused += whole ? 0 : 1;
        fs::remove(final_name, error);
    }
    EXPECT_GE(refused, 4);
    forbid_output(temporary);
    forbid_output(final_name);
    note_seen("progress, then \"apply-patch: interrupted (status -5)\" on standard error (" +
              std::to_string(refused) + " of 5 runs)");
    note_exit("1");
}

TEST_F(KillFault, TwoCopiesOfThePatcherNeverMixTheirImages) {
    describe("Two copies of the patcher in one folder: started together, and a second copy "
             "at 8 moments of a whole run");
    use_patcher();
    check_two_copies(false, kit_digest());
}

TEST_F(KillFault, TwoCopiesOfTheToolNeverMixTheirTargets) {
    describe("Two apply-patch runs on one OUTPUT: started together, and a second run at 8 "
             "moments of a whole run");
    use_tool();
    check_two_copies(true, "");
    note_exit("0 for the copy that patched, 1 for the others");
}

} // namespace
