#include "delta/writer.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path path = make_temp_folder("writer");
    ~Folder() {
        remove_temp_folder(path);
    }
};

// With the writer's own thread, and on the caller's thread as it works when
// the system gives no thread.
enum class Mode { Thread, CallerThread };

void start(OutputWriter* writer, std::FILE* file, Mode mode) {
    if (mode == Mode::Thread) {
        start_output_writer(writer, file);
        ASSERT_NE(writer->thread, nullptr);
    } else {
        std::memset(writer, 0, sizeof *writer);
        writer->file = file;
    }
}

class Writer : public testing::TestWithParam<Mode> {};

// Windows of many lengths, each handed over in uneven steps (some repeated,
// some going nowhere) while the same buffer is refilled between windows, as
// the decoder reuses its target buffer.
TEST_P(Writer, WritesEveryWindowWholeAndInOrder) {
    Folder folder;
    const fs::path path = folder.path / "out.bin";
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    OutputWriter writer;
    start(&writer, file, GetParam());

    std::mt19937 random(7);
    std::vector<unsigned char> window(3 << 20);
    std::string expected;
    const std::size_t lengths[] = {0, 1, 262143, 262144, 262145, 3 << 20, 1000, 2 << 20};
    for (const std::size_t length : lengths) {
        for (std::size_t i = 0; i < length; ++i) {
            window[i] = static_cast<unsigned char>(random());
        }
        expected.append(reinterpret_cast<const char*>(window.data()), length);
        std::size_t handed = 0;
        while (handed < length) {
            handed = std::min(length, handed + random() % 400000);
            ASSERT_TRUE(hand_over_window_bytes(&writer, window.data(), handed));
            ASSERT_TRUE(hand_over_window_bytes(&writer, window.data(), handed / 2));
        }
        ASSERT_TRUE(hand_over_window_bytes(&writer, window.data(), length));
        bool complete = false;
        EXPECT_EQ(finish_window_writes(&writer, &complete), length);
        EXPECT_TRUE(complete);
    }
    stop_output_writer(&writer);
    ASSERT_EQ(std::fclose(file), 0);
    EXPECT_TRUE(read_file(path) == expected);
}

// A stream that takes no bytes: the failure is told at once or at the end of
// the window, never as success, and nothing blocks.
TEST_P(Writer, ReportsAWriteThatFails) {
    Folder folder;
    const fs::path path = folder.path / "read-only.bin";
    write_file(path, "");
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    OutputWriter writer;
    start(&writer, file, GetParam());
    std::vector<unsigned char> window(1 << 20, 0x5A);
    hand_over_window_bytes(&writer, window.data(), window.size());
    bool complete = true;
    EXPECT_EQ(finish_window_writes(&writer, &complete), 0u);
    EXPECT_FALSE(complete);
    EXPECT_FALSE(hand_over_window_bytes(&writer, window.data(), window.size()));
    stop_output_writer(&writer);
    std::fclose(file);
}

std::string mode_name(const testing::TestParamInfo<Mode>& mode) {
    return mode.param == Mode::Thread ? "OwnThread" : "CallerThread";
}

INSTANTIATE_TEST_SUITE_P(Modes, Writer, testing::Values(Mode::Thread, Mode::CallerThread),
                         mode_name);

// Stopping while bytes are still handed over (an interrupt, a failure
// elsewhere) ends the thread after at most the piece it is writing; what
// reached the file is a prefix of the window.
TEST(WriterThread, StopsWithBytesStillHandedOver) {
    Folder folder;
    const fs::path path = folder.path / "out.bin";
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    OutputWriter writer;
    start_output_writer(&writer, file);
    std::vector<unsigned char> window(32 << 20);
    for (std::size_t i = 0; i < window.size(); ++i) {
        window[i] = static_cast<unsigned char>(i * 7 + (i >> 16));
    }
    ASSERT_TRUE(hand_over_window_bytes(&writer, window.data(), window.size()));
    stop_output_writer(&writer);
    stop_output_writer(&writer);
    ASSERT_EQ(std::fclose(file), 0);
    const std::string written = read_file(path);
    ASSERT_LE(written.size(), window.size());
    EXPECT_EQ(std::memcmp(written.data(), window.data(), written.size()), 0);
}

} // namespace
