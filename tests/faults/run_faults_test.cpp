// Faults during the player's run on the full-size demo image: the disk
// fills up, the output cannot be made or replaced, the source shrinks under
// the program, standard input is gone, the player interrupts. Each case works
// in a folder of its own and sees the shared image through a hard link.

#include "tests/faults/fault_case.h"
#include "tests/support/console.h"
#include "tests/support/files.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

const std::string DETECTED = "ISO Jap detectado: Veltrane.iso\n\nParche en progreso:\n";
const std::string SUCCESS = "\n\n¡El parche al español ha sido aplicado correctamente!\n"
                            "El archivo ISO parcheado al español es \"Veltrane_patched.iso\".\n";

// Large enough for the patch to be well under way, far too small for it.
constexpr std::uint64_t SMALL_SPACE = std::uint64_t{64} << 20;
// What the source is cut down to once the patch has begun.
constexpr std::uint64_t SHRUNK_SOURCE = std::uint64_t{16} << 20;

// Copies a mostly empty image without writing its zeros: whole zero chunks
// become holes.
void copy_sparse(const fs::path& from, const fs::path& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(1 << 20);
    std::uint64_t size = 0;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const std::streamsize count = in.gcount();
        bool zeros = true;
        for (std::streamsize i = 0; i < count && zeros; i++) {
            zeros = chunk[static_cast<std::size_t>(i)] == 0;
        }
        if (zeros) {
            out.seekp(count, std::ios::cur);
        } else {
            out.write(chunk.data(), count);
        }
        size += static_cast<std::uint64_t>(count);
    }
    out.close();
    fs::resize_file(to, size);
}

class RunFault : public FaultCase {
  protected:
    void SetUp() override {
        folder = build_path(FAULTS_WORK) /
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::error_code error;
        fs::remove_all(folder, error);
        fs::create_directories(folder);
        shared = build_path(E2E_IMAGE);
        image = folder / "Veltrane.iso";
        output = folder / "Veltrane_patched.iso";
    }

    void TearDown() override {
        FaultCase::TearDown();
        if (!mount_point.empty()) {
            unmount_filesystem(mount_point);
        }
        std::error_code error;
        fs::remove_all(folder, error);
    }

    // The shared image, unchanged at the end.
    void link_image() {
        ASSERT_TRUE(fs::exists(shared)) << "the demo image comes from the e2e_image fixture";
        std::error_code error;
        fs::create_hard_link(shared, image, error);
        if (error) {
            fs::copy_file(shared, image);
        }
        watch_source(image);
    }

    static ChildRun full_run(const fs::path& where) {
        ChildRun child = player_run(where);
        child.timeout_seconds = FULL_RUN_SECONDS;
        return child;
    }

    // The image was found and the patch begun; after the progress lines
    // (each one higher than the last) came exactly after.
    static SeenOutput expect_patch_ended(const std::string& console, const std::string& after) {
        const std::string begun = to_console(BANNER + DETECTED);
        EXPECT_EQ(console.substr(0, begun.size()), begun);
        SeenOutput seen = split_progress(console.substr(std::min(begun.size(), console.size())));
        if (seen.percentages.empty()) {
            seen.after.swap(seen.before);
        }
        EXPECT_EQ(seen.before, "") << "nothing but progress between the start and the end";
        EXPECT_TRUE(seen.well_formed);
        for (std::size_t i = 1; i < seen.percentages.size(); i++) {
            EXPECT_LT(seen.percentages[i - 1], seen.percentages[i]);
        }
        EXPECT_EQ(seen.after, to_console(after));
        return seen;
    }

    void expect_whole_success(const std::string& console) {
        const SeenOutput seen = expect_patch_ended(console, SUCCESS + CLOSING);
        ASSERT_GE(seen.percentages.size(), 2u);
        EXPECT_EQ(seen.percentages[seen.percentages.size() - 2], 99);
        EXPECT_EQ(seen.percentages.back(), 100);
        expect_output(output, OUTPUT_IMAGE_BYTES);
    }

    // Cuts the source down once the program has identified it and begun.
    static void shrink_source(void* context) {
        RunFault* self = static_cast<RunFault*>(context);
        fs::resize_file(self->image, SHRUNK_SOURCE);
        self->watch_source(self->image);
    }

    // Sends signal once the progress line shows: the run ends as a failed
    // patch, leaving no output, or an earlier output exactly as it was.
    void interrupt_mid_patch(int signal, const char* earlier_output = nullptr) {
        if (!FAULT_ABILITIES.signals) {
            GTEST_SKIP() << "no console to send an interrupt to from a test under Wine";
        }
        link_image();
        if (earlier_output != nullptr) {
            write_file(output, earlier_output);
            forbid_output(folder / "Veltrane_patched.tmp");
        } else {
            forbid_output(output);
        }
        ChildRun child = full_run(folder);
        child.trigger = to_console("Progresión: ");
        child.trigger_signal = signal;
        const ChildResult result = run(child);
        EXPECT_TRUE(result.triggered);
        expect_patch_ended(result.output, std::string(FAILED) + CLOSING);
        if (earlier_output != nullptr) {
            EXPECT_EQ(read_file(output), earlier_output);
            note_output("the earlier output, unchanged; no temporary file");
        }
    }

    fs::path folder;
    fs::path shared;
    fs::path image;
    fs::path output;
    fs::path mount_point;
};

TEST_F(RunFault, DiskFullWhileWritingFailsPlainlyAndLeavesNoOutput) {
    describe("Disk full while the patched image is written (64 MiB file system)");
    if (!FAULT_ABILITIES.small_filesystem) {
        GTEST_SKIP() << "no small file system can be mounted from a test on this platform";
    }
    if (!running_as_superuser()) {
        GTEST_SKIP()
            << "mounting needs the superuser; the file size limit case takes the same road";
    }
    link_image();
    const fs::path disk = folder / "disk";
    fs::create_directory(disk);
    if (!mount_small_filesystem(disk, SMALL_SPACE)) {
        GTEST_SKIP() << "this system refuses to mount a file system here";
    }
    mount_point = disk;
    fs::create_symlink(image, disk / "Veltrane.iso");
    forbid_output(disk / "Veltrane_patched.iso");
    expect_patch_ended(run(full_run(disk)).output, std::string(FAILED) + CLOSING);
}

TEST_F(RunFault, FileSizeLimitWhileWritingFailsPlainlyAndLeavesNoOutput) {
    describe("Writes refused past 64 MiB (file size limit) while the patched image is written");
    if (!FAULT_ABILITIES.file_size_limit) {
        GTEST_SKIP() << "this platform has no file size limit for a process";
    }
    link_image();
    forbid_output(output);
    ChildRun child = full_run(folder);
    child.file_size_limit = SMALL_SPACE;
    expect_patch_ended(run(child).output, std::string(FAILED) + CLOSING);
}

TEST_F(RunFault, OutputNameTakenByAFolderFailsAndLeavesTheFolderAlone) {
    describe("Output name taken by a folder with a file in it");
    link_image();
    fs::create_directory(output);
    write_file(output / "keep.txt", "the player's file");
    note_output("the player's folder, untouched");
    const ChildResult result = run(full_run(folder));
    EXPECT_EQ(result.output, to_console(BANNER + DETECTED + FAILED + CLOSING));
    EXPECT_TRUE(fs::is_directory(output));
    EXPECT_EQ(read_file(output / "keep.txt"), "the player's file");
}

TEST_F(RunFault, SourceThatShrinksDuringThePatchFailsAndLeavesNoOutput) {
    describe("Source cut to 16 MiB right after \"Parche en progreso:\"");
    ASSERT_TRUE(fs::exists(shared)) << "the demo image comes from the e2e_image fixture";
    copy_sparse(shared, image);
    forbid_output(output);
    ChildRun child = full_run(folder);
    child.trigger = to_console("Parche en progreso:\n");
    child.on_trigger = shrink_source;
    child.context = this;
    note_source("as the test cut it");
    const ChildResult result = run(child);
    EXPECT_TRUE(result.triggered);
    expect_patch_ended(result.output, std::string(FAILED) + CLOSING);
}

// Whether a read-only file of a writable folder can be deleted here: on
// Windows it cannot; on POSIX systems (and under Wine as root) it can.
bool read_only_files_can_be_removed(const fs::path& folder) {
    const fs::path probe = folder / "read-only probe";
    write_file(probe, "x");
    set_writable(probe, false);
    const bool removed = std::remove(probe.string().c_str()) == 0;
    if (!removed) {
        set_writable(probe, true);
        fs::remove(probe);
    }
    return removed;
}

TEST_F(RunFault, ReadOnlyEarlierOutputIsReplacedOrRefusedCleanly) {
    describe("An earlier output exists and is read-only");
    link_image();
    const std::string earlier = "an earlier output";
    write_file(output, earlier);
    set_writable(output, false);
    const bool removable = read_only_files_can_be_removed(folder);
    const ChildResult result = run(full_run(folder));
    // A read-only file that can be deleted goes like any other. One that
    // cannot (Windows) cannot be written either, except under Wine as root,
    // which lets the program write the new image over it.
    const bool replaced = result.output.find(to_console(SUCCESS)) != std::string::npos || removable;
    if (replaced) {
        expect_whole_success(result.output);
    } else {
        // The player's file stays as it was; the patch cannot be written.
        EXPECT_EQ(result.output, to_console(BANNER + DETECTED + FAILED + CLOSING));
        ASSERT_EQ(fs::file_size(output), earlier.size());
        EXPECT_EQ(read_file(output), earlier);
        note_output("the earlier read-only file, untouched");
    }
    set_writable(output, true);
}

TEST_F(RunFault, InputAtItsEndWhenEnterIsAwaitedEndsTheRun) {
    describe("Standard input already at its end when Enter is awaited");
    make_decoy_image(image);
    watch_source(image);
    forbid_output(output);
    ChildRun child = player_run(folder);
    child.input = "";
    EXPECT_EQ(run(child).output,
              to_console(BANNER) + decoy_verdict("Veltrane.iso") + to_console(CLOSING));
}

TEST_F(RunFault, NoStandardInputAtAllStillPatchesAndEnds) {
    describe("No standard input at all (descriptor 0 closed), whole patch");
    if (!FAULT_ABILITIES.closed_input) {
        GTEST_SKIP() << "a Windows child always gets some standard input";
    }
    link_image();
    ChildRun child = full_run(folder);
    child.no_input = true;
    expect_whole_success(run(child).output);
}

TEST_F(RunFault, InterruptMidPatchEndsLikeAFailedPatch) {
    describe("Ctrl+C (SIGINT) while the patch is written");
    interrupt_mid_patch(CHILD_SIGINT);
}

TEST_F(RunFault, TerminationMidPatchEndsLikeAFailedPatch) {
    describe("SIGTERM while the patch is written");
    interrupt_mid_patch(CHILD_SIGTERM);
}

TEST_F(RunFault, QuitMidPatchKeepsTheEarlierOutputAsItWas) {
    describe("SIGQUIT while the patch is written, over a good earlier output");
    interrupt_mid_patch(CHILD_SIGQUIT, "the earlier patched image");
}

// The folder of the image moved on once the patch is under way: the run
// writes, re-dubs and renames the file it holds in the folder it holds, so
// the image is published where the folder now is, and nothing is left
// behind at either place.
struct MovedFolder {
    fs::path from;
    fs::path to;
    bool moved;
};

void move_folder(void* context) {
    MovedFolder* move = static_cast<MovedFolder*>(context);
    std::error_code error;
    fs::rename(move->from, move->to, error);
    move->moved = !error;
}

TEST_F(RunFault, FolderMovedMidPatchPublishesWhereTheFolderNowIs) {
    describe("The image's folder renamed while the patch is written");
    if (fs::path::preferred_separator == '\\') {
        GTEST_SKIP() << "Windows keeps a folder with an open file where it is; Wine moves it, "
                        "and then loses the file's name";
    }
    ASSERT_TRUE(fs::exists(shared)) << "the demo image comes from the e2e_image fixture";
    MovedFolder move{folder / "juego", folder / "juego movido", false};
    fs::create_directory(move.from);
    std::error_code error;
    fs::create_hard_link(shared, move.from / "Veltrane.iso", error);
    if (error) {
        fs::copy_file(shared, move.from / "Veltrane.iso");
    }
    const auto source_time = fs::last_write_time(move.from / "Veltrane.iso");
    note_source("moved with its folder, checked there");
    ChildRun child = full_run(folder);
    child.trigger = to_console("Progresión: ");
    child.on_trigger = move_folder;
    child.context = &move;
    const ChildResult result = run(child);
    EXPECT_TRUE(result.triggered);
    const fs::path now = move.moved ? move.to : move.from;
    EXPECT_NE(result.output.find("aplicado correctamente"), std::string::npos) << result.output;
    expect_output(now / "Veltrane_patched.iso", OUTPUT_IMAGE_BYTES);
    forbid_output(now / "Veltrane_patched.tmp");
    EXPECT_EQ(fs::last_write_time(now / "Veltrane.iso"), source_time);
    if (move.moved) {
        EXPECT_FALSE(fs::exists(move.from)) << "nothing is made at the old place";
    }
}

TEST_F(RunFault, OutputPipeClosedMidPatchLeavesNothingBehind) {
    describe("Output piped into `head -c 150`: the pipe closes during the progress lines");
    link_image();
    forbid_output(output);
    forbid_output(folder / "Veltrane_patched.tmp");
    ChildRun child = full_run(folder);
    child.output_limit = 150;
    const ChildResult result = run(child);
    EXPECT_EQ(result.output.size(), 150u);
    note_seen("the first 150 bytes, then nothing (the reader is gone):");
}

} // namespace
