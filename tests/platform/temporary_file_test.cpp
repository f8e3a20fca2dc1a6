// After its creation the run's file is never opened by name: whatever takes
// the name meanwhile, a file renamed over it or its folder moved, the run's
// writes reach its own file, nothing else is emptied, and the removal or the
// rename finds the file where its folder now is.

#include "platform/file.h"
#include "platform/temporary_file.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace fs = std::filesystem;

namespace {

void write_stream(const fs::path& path, const char* text) {
    std::FILE* stream = open_file_stream(path.string().c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::fwrite(text, 1, std::strlen(text), stream), std::strlen(text));
    EXPECT_EQ(std::fclose(stream), 0);
}

TEST(TemporaryFile, OpensOfItsPathReachTheHeldFileWhateverHasTheNameNow) {
    const fs::path folder = make_temp_folder("held");
    const fs::path path = folder / "Veltrane_patched.tmp";
    TemporaryFile file{-1, -1};
    ASSERT_EQ(create_temporary_file(path.string().c_str(), &file), TEMPORARY_CREATED);
    write_stream(path, "old");
    // Someone swaps the name for a file of their own.
    fs::rename(path, folder / "moved.tmp");
    write_file(path, "not the run's");

    write_stream(path, "image");
    const int fd = open_existing_file(path.string().c_str(), FILE_READ_WRITE);
    ASSERT_GE(fd, 0);
    char read[8] = {};
    EXPECT_EQ(file_read(fd, read, sizeof read), 5) << "one open file, emptied for 'w'";
    EXPECT_STREQ(read, "image");
    EXPECT_EQ(file_close(fd), 0);
    EXPECT_EQ(read_file(path), "not the run's");

    discard_temporary_file(&file, path.string().c_str());
    EXPECT_EQ(read_file(path), "not the run's") << "what is not the run's file stays";
    remove_temp_folder(folder);
}

TEST(TemporaryFile, RemovalAndRenameFindTheFileInAFolderMovedMeanwhile) {
    if (fs::path::preferred_separator == '\\') {
        GTEST_SKIP() << "Windows keeps a folder with an open file where it is; Wine moves it, "
                        "and then loses the file's name";
    }
    for (const bool publish : {false, true}) {
        const fs::path folder = make_temp_folder("moved-folder");
        const fs::path made = folder / "start";
        fs::create_directories(made);
        const fs::path path = made / "Veltrane_patched.tmp";
        TemporaryFile file{-1, -1};
        ASSERT_EQ(create_temporary_file(path.string().c_str(), &file), TEMPORARY_CREATED);
        write_stream(path, "image");
        fs::rename(made, folder / "moved");
        const fs::path moved = folder / "moved";
        if (publish) {
            EXPECT_EQ(rename_temporary_file(&file, path.string().c_str(),
                                            (made / "Veltrane_patched.iso").string().c_str()),
                      0);
            release_temporary_file(&file);
            EXPECT_EQ(read_file(moved / "Veltrane_patched.iso"), "image");
        } else {
            discard_temporary_file(&file, path.string().c_str());
        }
        EXPECT_FALSE(fs::exists(moved / "Veltrane_patched.tmp")) << publish;
        EXPECT_FALSE(fs::exists(made)) << "nothing is made at the old place";
        remove_temp_folder(folder);
    }
}

} // namespace
