#include "io/file_access.h"
#include "platform/file.h"
#include "tests/support/files.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace {

class FileAccess : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = make_temp_folder("file-access");
    }
    void TearDown() override {
        remove_temp_folder(folder);
    }
    std::filesystem::path folder;
};

std::string read_region(int* handle, const std::string& path, std::uint32_t size,
                        std::uint32_t offset, std::uint32_t* length) {
    unsigned char* data = nullptr;
    EXPECT_EQ(read_file_region(handle, path.c_str(), &data, length, size, offset), 1);
    std::string bytes(reinterpret_cast<char*>(data), *length);
    std::free(data);
    return bytes;
}

TEST_F(FileAccess, RegionsOfALargeSparseImage) {
    const std::string path = (folder / "image.iso").string();
    make_decoy_image(path, SOURCE_IMAGE_BYTES, DECOY_BOOT_SIGNATURE);
    write_at(path, 0x40000000, "at one gibibyte");
    write_at(path, 0x52E0A000, "movie region");
    write_at(path, 1455587328 - 3, "end");

    struct Case {
        std::uint32_t size;
        std::uint32_t offset;
        std::string bytes;
    } cases[] = {
        {21, 593928, "cdrom0:\\SXKQ_805.17;1"},
        {15, 0x40000000, "at one gibibyte"}, // exactly one 1 GiB step
        {12, 0x52E0A000, "movie region"},
        {100, 1455587328 - 3, "end"}, // cut at the end of the file
        {8, 1455587328 + 10u, ""},    // past the end: nothing, never a wrap
    };
    for (const Case& c : cases) {
        int handle = -1;
        open_file_mode(&handle, path.c_str(), OPEN_READ_WRITE);
        ASSERT_GE(handle, 0);
        std::uint32_t length = 0;
        EXPECT_EQ(read_region(&handle, path, c.size, c.offset, &length), c.bytes) << c.offset;
        EXPECT_EQ(length, c.bytes.size());
        EXPECT_EQ(handle, -1) << "the file is closed after the read";
    }
}

TEST_F(FileAccess, WholeFileWithoutAnOpenHandle) {
    const std::string path = (folder / "small.bin").string();
    write_file(path, std::string("a\0b\r\nc", 6));
    int handle = -1;
    std::uint32_t length = 0;
    EXPECT_EQ(read_region(&handle, path, 0, 0, &length), std::string("a\0b\r\nc", 6));
    EXPECT_EQ(handle, -1);
}

TEST_F(FileAccess, OpenModesNeverCreateAFile) {
    const std::string missing = (folder / "missing.iso").string();
    for (int mode : {OPEN_READ, OPEN_WRITE, OPEN_READ_WRITE}) {
        int handle = 5;
        EXPECT_EQ(open_file_mode(&handle, missing.c_str(), mode), 1);
        EXPECT_LT(handle, 0);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));

    const std::string existing = (folder / "existing.iso").string();
    write_file(existing, "data");
    int handle = 42;
    EXPECT_EQ(open_file_mode(&handle, existing.c_str(), 3), 1);
    EXPECT_EQ(handle, 42) << "an unknown mode leaves the handle alone";

    open_file_mode(&handle, existing.c_str(), OPEN_WRITE);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(file_write(handle, "DA", 2), 2);
    file_close(handle);
    EXPECT_EQ(read_file(existing), "DAta") << "writing overwrites in place, no truncation";
}

TEST_F(FileAccess, FullLengthBeyondFourGibibytes) {
    // A file 4 GiB longer than the image shares its low 32 bits.
    const std::string path = (folder / "huge.iso").string();
    make_sparse_file(path, 1455587328ull + (1ull << 32));
    int handle = -1;
    open_file_mode(&handle, path.c_str(), OPEN_READ);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(file_length(handle), 1455587328ll + (1ll << 32));
    file_close(handle);
}

} // namespace
