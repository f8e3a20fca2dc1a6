#include "tests/support/console.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

const std::string BANNER = "\n*** Parche al Español para Veltrane para PS2 (v1.0) ***\n\n\n";
const std::string NOT_FOUND = "Incapaz de hallar el ISO Jap de Veltrane para PS2.\n\n"
                              "El tamaño del archivo debe ser de 1 455 587 328 bytes.\n\n"
                              "El CRC32 del archivo debe ser 0xDED23029.\n";
const std::string CLOSING = "\nPresiona Enter para salir del programa.";

class Run : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = make_temp_folder("run");
    }
    void TearDown() override {
        remove_temp_folder(folder);
    }

    ProcessResult run(const std::string& input = "\n") {
        ProcessResult result = run_process(PATCHER_PROGRAM, folder, input);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.exit_code, 0);
        return result;
    }

    // A sparse file of the image's size with the chosen signatures.
    fs::path image(const std::string& relative, bool boot_path, bool second) {
        fs::path path = folder / relative;
        fs::create_directories(path.parent_path());
        make_decoy_image(path, SOURCE_IMAGE_BYTES,
                         (boot_path ? DECOY_BOOT_SIGNATURE : 0) |
                             (second ? DECOY_SECOND_SIGNATURE : 0));
        return path;
    }

    static std::string native(std::string path) {
        for (char& c : path) {
            if (c == '/') {
                c = fs::path::preferred_separator == '\\' ? '\\' : '/';
            }
        }
        return path;
    }

    fs::path folder;
};

TEST_F(Run, EmptyFolderPrintsTheNotFoundLinesAndWaits) {
    EXPECT_EQ(run().output, to_console(BANNER + NOT_FOUND + CLOSING));
}

TEST_F(Run, ClosedInputAtTheEnterWaitEndsAtOnce) {
    EXPECT_EQ(run("").output, to_console(BANNER + NOT_FOUND + CLOSING));
}

TEST_F(Run, CandidatesThatFailATestAreSkippedSilently) {
    write_file(folder / "small.iso", "not an image");
    make_sparse_file(folder / "patched_before.iso", 1551040512); // an earlier output's size
    make_decoy_image(folder / "plus4g.iso", SOURCE_IMAGE_BYTES + (1ull << 32));
    image("no_signature.iso", false, false);
    image("boot_only.iso", true, false);
    image("second_only.iso", false, true);
    fs::create_directories(folder / "disc.iso");
    write_file(folder / "notes.txt", "hello");
    EXPECT_EQ(run().output, to_console(BANNER + NOT_FOUND + CLOSING));
    EXPECT_EQ(fs::file_size(folder / "boot_only.iso"), SOURCE_IMAGE_BYTES)
        << "candidates stay untouched";
}

TEST_F(Run, UnopenableCandidateEndsTheRunBeforeLaterImages) {
    // As root a read-only file still opens for writing, so the test uses what
    // the platform offers: a dangling link, or a file another program holds.
    std::error_code error;
    void* hold = nullptr;
    fs::create_symlink(folder / "gone", folder / "a_broken.iso", error);
    if (error) {
        write_file(folder / "a_broken.iso", "x");
        hold = hold_file_exclusively(folder / "a_broken.iso");
        ASSERT_NE(hold, nullptr);
    }
    image("b_real.iso", true, true);
    EXPECT_EQ(run().output,
              to_console(BANNER + "Incapaz de abrir el siguiente archivo ISO Jap: a_broken.iso\n" +
                         CLOSING));
    release_file(hold);
}

TEST_F(Run, IdentifiedImageIsNamedAndItsOutputNeverLeftAfterAFailedPatch) {
    // Zeros where the real image has its data: the patch cannot match it.
    fs::path source = image("sub/juego.ISO", true, true);
    const ProcessResult result = run();
    const std::string detected =
        to_console(BANNER + "ISO Jap detectado: " + native("sub/juego.ISO") + "\n\n" +
                   "Parche en progreso:\n");
    EXPECT_EQ(result.output.substr(0, detected.size()), detected);
    EXPECT_EQ(result.output.substr(result.output.size() - to_console(CLOSING).size()),
              to_console(CLOSING));
    EXPECT_FALSE(fs::exists(folder / "sub" / "juego_patched.iso"));
    EXPECT_EQ(fs::file_size(source), SOURCE_IMAGE_BYTES);
}

TEST_F(Run, EarlierOutputStaysWhenThePatchFails) {
    image("juego.iso", true, true);
    write_file(folder / "juego_patched.iso", "output of an earlier run");
    run();
    EXPECT_EQ(read_file(folder / "juego_patched.iso"), "output of an earlier run");
}

TEST_F(Run, LeftoverOfAKilledRunGoesAndNothingElseIsTouched) {
    image("juego.iso", true, true);
    write_file(folder / "juego_patched.tmp", "what a killed run left");
    // Names near the temporary one that belong to the player.
    const char* const kept[] = {"juego_patched.iso.part", "otro_patched.tmp", "juego.tmp",
                                "juego_patched.tmp.bak"};
    for (const char* name : kept) {
        write_file(folder / name, name);
    }
    run();
    EXPECT_FALSE(fs::exists(folder / "juego_patched.tmp"));
    EXPECT_FALSE(fs::exists(folder / "juego_patched.iso"));
    for (const char* name : kept) {
        EXPECT_EQ(read_file(folder / name), name);
    }
}

// A folder under the output's name or the temporary one: the image could
// never take its name, so the run says so before writing anything, and
// leaves the folder alone.
TEST_F(Run, NameTakenByAFolderFailsAtOnceAndLeavesTheFolderAlone) {
    for (const char* taken : {"juego_patched.iso", "juego_patched.tmp"}) {
        SCOPED_TRACE(taken);
        image("juego.iso", true, true);
        fs::create_directory(folder / taken);
        write_file(folder / taken / "keep.txt", "the player's file");
        EXPECT_EQ(run().output,
                  to_console(BANNER + "ISO Jap detectado: juego.iso\n\nParche en progreso:\n" +
                             "\n\nEl parche falló.\n" + CLOSING));
        EXPECT_EQ(read_file(folder / taken / "keep.txt"), "the player's file");
        fs::remove_all(folder / taken);
        EXPECT_FALSE(fs::exists(folder / "juego_patched.iso"));
        EXPECT_FALSE(fs::exists(folder / "juego_patched.tmp"));
    }
}

} // namespace
