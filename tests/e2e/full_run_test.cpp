#include "demo_kit/sha256.h"
#include "movie/rewrite.h"
#include "platform/file.h"
#include "tests/support/console.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string BANNER = "\n*** Parche al Español para Veltrane para PS2 (v1.0) ***\n\n\n";
const std::string CLOSING = "\nPresiona Enter para salir del programa.";

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

// Each case works in a folder of its own and sees the shared image through a
// hard link, so the image is made only once.
class FullRun : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder = build_path(E2E_WORK) / info->name();
        std::error_code error;
        fs::remove_all(folder, error);
        fs::create_directories(folder);
        image = folder / "Veltrane.iso";
        fs::create_hard_link(build_path(E2E_WORK) / "image" / "Veltrane.iso", image, error);
        if (error) {
            fs::copy_file(build_path(E2E_WORK) / "image" / "Veltrane.iso", image);
        }
        output = folder / "Veltrane_patched.iso";
        image_time = fs::last_write_time(image);
    }

    // Any write through the run's read-write handle would move the time.
    void TearDown() override {
        EXPECT_EQ(fs::last_write_time(image), image_time) << "the source image must never change";
        EXPECT_EQ(fs::file_size(image), 1455587328u);
        std::error_code error;
        fs::remove_all(folder, error);
    }

    ProcessResult run(const char* program) {
        ProcessResult result = run_process(program, folder, "\n");
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.exit_code, 0);
        return result;
    }

    static std::string expected_digest() {
        return read_file(build_path(DEMO_KIT) / "expected.sha256").substr(0, 64);
    }

    fs::path folder;
    fs::path image;
    fs::path output;
    fs::file_time_type image_time;
};

// Splits what the player saw into the text before the progress lines, the
// percentages in the order printed, and the text after them.
struct Seen {
    std::string before;
    std::vector<int> percentages;
    std::string after;
};

Seen split_progress(const std::string& output) {
    const std::string prefix = to_console("Progresión: ");
    Seen seen;
    std::size_t at = output.find(prefix);
    seen.before = output.substr(0, at);
    while (at != std::string::npos && output.compare(at, prefix.size(), prefix) == 0) {
        const std::size_t end = output.find('\r', at);
        const std::string line = output.substr(at + prefix.size(), end - at - prefix.size());
        seen.percentages.push_back(std::stoi(line));
        EXPECT_EQ(line, std::to_string(seen.percentages.back()) + " %") << line;
        at = end + 1;
    }
    seen.after = at == std::string::npos ? "" : output.substr(at);
    return seen;
}

TEST_F(FullRun, TranslatesTheImageAndReplacesAnEarlierOutput) {
    write_file(output, "an earlier, broken output");
    const Seen seen = split_progress(run(PATCHER_PROGRAM).output);

    EXPECT_EQ(seen.before,
              to_console(BANNER + "ISO Jap detectado: Veltrane.iso\n\n" + "Parche en progreso:\n"));
    ASSERT_GE(seen.percentages.size(), 2u);
    EXPECT_GE(seen.percentages.front(), 1) << "0 % is never shown";
    for (std::size_t i = 1; i + 1 < seen.percentages.size(); ++i) {
        EXPECT_LT(seen.percentages[i - 1], seen.percentages[i])
            << "each change shown once, in order";
    }
    EXPECT_EQ(seen.percentages[seen.percentages.size() - 2], 99);
    EXPECT_EQ(seen.percentages.back(), 100);
    EXPECT_EQ(seen.after,
              to_console("\n\n¡El parche al español ha sido aplicado correctamente!\n"
                         "El archivo ISO parcheado al español es \"Veltrane_patched.iso\".\n" +
                         CLOSING));
    EXPECT_EQ(file_digest(output), expected_digest());
    EXPECT_FALSE(fs::exists(folder / "Veltrane_patched.tmp")) << "the temporary name is gone";
}

// Nothing after its creation opens the temporary name again, so nothing put
// under that name meanwhile gets the image; and a run started without
// standard output still writes the image alone, not console text into it.
TEST_F(FullRun, OpensTheTemporaryNameOnceAndWritesNoTextIntoTheImage) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const fs::path trace = build_path(E2E_WORK) / "open-trace.txt";
    // The leak checker of a sanitized build cannot run under a tracer.
    const std::string command = "cd '" + folder.string() +
                                "' && ASAN_OPTIONS=detect_leaks=0 strace -f -qq "
                                "-e trace=open,openat,openat2,creat -o '" +
                                trace.string() + "' '" + PATCHER_PROGRAM + "' </dev/null >&-";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string opens = read_file(trace);
    std::size_t count = 0;
    for (std::size_t at = opens.find("Veltrane_patched.tmp\""); at != std::string::npos;
         at = opens.find("Veltrane_patched.tmp\"", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 1u) << opens;
    EXPECT_EQ(file_digest(output), expected_digest());
    fs::remove(trace);
}

TEST_F(FullRun, TranslatesTheImageInAFolderWithAJapaneseAndASpanishName) {
    const std::string name = "ヴェルトレーン España";
    const fs::path inner = folder / fs::path(std::u8string(name.begin(), name.end()));
    fs::create_directory(inner);
    fs::rename(image, inner / "Veltrane.iso");
    image = inner / "Veltrane.iso";
    output = inner / "Veltrane_patched.iso";
    const std::string shown = name + static_cast<char>(fs::path::preferred_separator);

    const Seen seen = split_progress(run(PATCHER_PROGRAM).output);
    EXPECT_EQ(seen.before, to_console(BANNER + "ISO Jap detectado: " + shown +
                                      "Veltrane.iso\n\nParche en progreso:\n"));
    EXPECT_EQ(seen.after, to_console("\n\n¡El parche al español ha sido aplicado correctamente!\n"
                                     "El archivo ISO parcheado al español es \"" +
                                     shown + "Veltrane_patched.iso\".\n" + CLOSING));
    EXPECT_EQ(file_digest(output), expected_digest());
}

TEST_F(FullRun, ImageWithTheRightSignaturesButOtherContentIsBlamedOnItsCrc) {
    // An image of the right size with only the two signatures.
    fs::remove(image);
    make_decoy_image(image);
    image_time = fs::last_write_time(image);

    EXPECT_EQ(run(PATCHER_PROGRAM).output,
              to_console(BANNER + "ISO Jap detectado: Veltrane.iso\n\nParche en progreso:\n" +
                         "\n\nEl parcheo ha fallado por un mal CRC32. La entrada del archivo ISO "
                         "\"Veltrane.iso\" no es correcto.\n" +
                         CLOSING));
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(FullRun, PatchCutShortFailsPlainlyAndLeavesNoOutput) {
    const Seen seen = split_progress(run(PATCHER_TRUNCATED).output);
    EXPECT_EQ(seen.after, to_console("\n\nEl parche falló.\n" + CLOSING));
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(FullRun, FailedMovieRewriteLeavesNoOutputAndClaimsNoSuccess) {
    const Seen seen = split_progress(run(PATCHER_NOAUDIO).output);
    ASSERT_FALSE(seen.percentages.empty());
    EXPECT_EQ(seen.percentages.back(), 99) << "no 100 % line";
    EXPECT_EQ(seen.after,
              to_console("Incapaz de escribir en el archivo ISO parcheado.\n" + CLOSING));
    // An image whose movies were not re-dubbed is not the translation.
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(fs::exists(folder / "Veltrane_patched.tmp"));
}

TEST_F(FullRun, TranslatorsToolAppliesThePatchAndRefusesAWrongSource) {
    const fs::path patch = build_path(DEMO_KIT) / "Delta_patch.vcdiff";
    const fs::path target = folder / "target.iso";
    ProcessResult applied =
        run_process(APPLY_PATCH, folder, "", {image.string(), patch.string(), target.string()});
    EXPECT_EQ(applied.exit_code, 0);
    EXPECT_FALSE(fs::exists(folder / "target.iso.part")) << "the temporary name is gone";
    // What the tool wrote is the patch's target: re-dubbed, it is the image
    // the patcher makes.
    int handle = -1;
    ASSERT_EQ(rewrite_movie_audio(target.string().c_str(), "target.iso", &handle), 1);
    file_close(handle);
    EXPECT_EQ(file_digest(target), expected_digest());

    const fs::path wrong = folder / "wrong.iso";
    make_sparse_file(wrong, 1455587328);
    const fs::path refused = folder / "refused.iso";
    ProcessResult failed =
        run_process(APPLY_PATCH, folder, "", {wrong.string(), patch.string(), refused.string()});
    EXPECT_NE(failed.exit_code, 0);
    EXPECT_FALSE(fs::exists(refused)) << "a failed patch leaves no output";
    EXPECT_FALSE(fs::exists(folder / "refused.iso.part"));
}

} // namespace
