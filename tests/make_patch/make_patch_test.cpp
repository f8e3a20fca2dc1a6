#include "delta/driver.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tools/make_patch/make_patch.h"
#include "tools/make_patch/verify.h"
#include "tools/vcdiff/window_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string random_bytes(std::mt19937_64* random, std::size_t length) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>((*random)() & 0xFF);
    }
    return bytes;
}

// Text-like bytes: a small alphabet, so that short stretches repeat by chance
// and the match finder must tell true matches from hash neighbours.
std::string text_bytes(std::mt19937_64* random, std::size_t length) {
    static const char alphabet[] = "etaoin shrdlu\n";
    std::string bytes(length, ' ');
    for (char& byte : bytes) {
        byte = alphabet[(*random)() % (sizeof alphabet - 1)];
    }
    return bytes;
}

struct Pair {
    std::string source;
    std::string target;
};

// An image of "files": pieces of random data, text and zeros.
std::vector<std::string> make_files(std::mt19937_64* random, int count) {
    std::vector<std::string> files;
    for (int i = 0; i < count; i++) {
        const std::size_t length = 2000 + (*random)() % 30000;
        switch (i % 3) {
        case 0:
            files.push_back(random_bytes(random, length));
            break;
        case 1:
            files.push_back(text_bytes(random, length));
            break;
        default:
            files.push_back(std::string(length, '\0'));
            break;
        }
    }
    return files;
}

std::string join(const std::vector<std::string>& files) {
    std::string image;
    for (const std::string& file : files) {
        image += file;
    }
    return image;
}

using MakePair = Pair (*)(std::mt19937_64* random);

struct PairCase {
    const char* name;
    MakePair make;
    // The patch must stay below this: it shows the matches were found.
    std::size_t most_patch_bytes;
};

const PairCase PAIR_CASES[] = {
    {"both empty",
     [](std::mt19937_64*) {
         return Pair{"", ""};
     },
     60},
    {"empty source",
     [](std::mt19937_64* r) {
         return Pair{"", random_bytes(r, 5000) + std::string(3000, 'x')};
     },
     5100},
    {"empty target",
     [](std::mt19937_64* r) {
         return Pair{random_bytes(r, 5000), ""};
     },
     60},
    {"source shorter than a block",
     [](std::mt19937_64* r) {
         const std::string bytes = random_bytes(r, 20);
         return Pair{bytes, bytes + bytes};
     },
     120},
    {"identical",
     [](std::mt19937_64* r) {
         const std::string bytes = join(make_files(r, 40));
         return Pair{bytes, bytes};
     },
     100},
    {"one byte changed",
     [](std::mt19937_64* r) {
         Pair pair;
         pair.source = join(make_files(r, 40));
         pair.target = pair.source;
         pair.target[pair.target.size() / 2] ^= 0x5A;
         return pair;
     },
     120},
    {"files moved",
     [](std::mt19937_64* r) {
         std::vector<std::string> files = make_files(r, 40);
         Pair pair;
         pair.source = join(files);
         std::shuffle(files.begin(), files.end(), *r);
         pair.target = join(files);
         return pair;
     },
     500},
    {"files resized, replaced, added and removed",
     [](std::mt19937_64* r) {
         std::vector<std::string> files = make_files(r, 40);
         Pair pair;
         pair.source = join(files);
         for (std::size_t i = 0; i < files.size(); i += 4) {
             // A text rewritten to another length: bytes in the middle.
             files[i].insert(files[i].size() / 2, text_bytes(r, 37));
         }
         files[5] = random_bytes(r, 1000);
         files.erase(files.begin() + 9);
         files.insert(files.begin() + 2, random_bytes(r, 700));
         pair.target = join(files);
         return pair;
     },
     2400},
    {"repeated blocks inside the target",
     [](std::mt19937_64* r) {
         const std::string block = random_bytes(r, 3000);
         std::string target;
         for (int i = 0; i < 30; i++) {
             target += block + text_bytes(r, 3);
         }
         return Pair{random_bytes(r, 1000), target};
     },
     3400},
    {"short periods overlapping themselves",
     [](std::mt19937_64* r) {
         std::string target = random_bytes(r, 7);
         while (target.size() < 50000) {
             target += target.substr(target.size() - 7, 7);
         }
         return Pair{random_bytes(r, 1000), target};
     },
     120},
    {"all zeros and random",
     [](std::mt19937_64* r) {
         const std::string random = random_bytes(r, 20000);
         return Pair{std::string(100000, '\0') + random, random_bytes(r, 999) +
                                                             std::string(200000, '\0') + random +
                                                             std::string(5, '\xFF')};
     },
     1200},
    {"unrelated random",
     [](std::mt19937_64* r) {
         return Pair{random_bytes(r, 50000), random_bytes(r, 50000)};
     },
     50100},
};

struct Workspace {
    fs::path folder;
    Workspace() : folder(make_temp_folder("make_patch")) {}
    ~Workspace() {
        remove_temp_folder(folder);
    }
};

ProcessResult make_patch_in(const fs::path& folder, const std::vector<std::string>& arguments) {
    return run_process(MAKE_PATCH, folder, "", arguments);
}

// The target as the patcher's own driver makes it from source and patch.
bool apply_patch_file(const fs::path& folder, std::string* output) {
    const fs::path result = folder / "applied.bin";
    const std::int32_t status = apply_delta_patch_ex(
        false, 0, 99, 0, nullptr, (folder / "source.bin").string().c_str(), result.string().c_str(),
        (folder / "patch.vcdiff").string().c_str(), nullptr);
    if (status != 0) {
        return false;
    }
    *output = read_file(result);
    return true;
}

} // namespace

TEST(MakePatch, RoundTripsGeneratedPairs) {
    for (const PairCase& row : PAIR_CASES) {
        for (const bool checksum : {true, false}) {
            SCOPED_TRACE(std::string(row.name) + (checksum ? "" : ", --no-checksum"));
            std::mt19937_64 random(42);
            const Pair pair = row.make(&random);
            Workspace work;
            write_file(work.folder / "source.bin", pair.source);
            write_file(work.folder / "target.bin", pair.target);
            std::vector<std::string> arguments = {"source.bin", "target.bin", "patch.vcdiff"};
            if (!checksum) {
                arguments.insert(arguments.begin(), "--no-checksum");
            }
            const ProcessResult run = make_patch_in(work.folder, arguments);
            ASSERT_TRUE(run.started);
            ASSERT_EQ(run.exit_code, 0);
            const std::string patch = read_file(work.folder / "patch.vcdiff");
            EXPECT_LE(patch.size(), row.most_patch_bytes);
            std::printf("SIZE %s %d %zu\n", row.name, checksum, patch.size());
            EXPECT_FALSE(fs::exists(work.folder / "patch.vcdiff.incomplete"));
            // Hdr_Indicator: the application header only with checksums.
            ASSERT_GE(patch.size(), 5u);
            EXPECT_EQ(patch[4], checksum ? 0x04 : 0x00);
            std::string applied;
            ASSERT_TRUE(apply_patch_file(work.folder, &applied));
            EXPECT_TRUE(applied == pair.target);
        }
    }
}

// Options before, between and after the operands, and "--" before operands.
TEST(MakePatch, TakesOptionsAnywhere) {
    const std::vector<std::string> rows[] = {
        {"source.bin", "target.bin", "patch.vcdiff", "--no-checksum"},
        {"source.bin", "--no-checksum", "target.bin", "patch.vcdiff"},
        {"--no-checksum", "--", "source.bin", "target.bin", "patch.vcdiff"},
    };
    std::mt19937_64 random(5);
    Workspace work;
    write_file(work.folder / "source.bin", random_bytes(&random, 3000));
    write_file(work.folder / "target.bin", random_bytes(&random, 3000));
    for (const std::vector<std::string>& arguments : rows) {
        SCOPED_TRACE(arguments[1]);
        ASSERT_EQ(make_patch_in(work.folder, arguments).exit_code, 0);
        // Hdr_Indicator: no application header, as --no-checksum writes.
        const std::string patch = read_file(work.folder / "patch.vcdiff");
        ASSERT_GE(patch.size(), 5u);
        EXPECT_EQ(patch[4], 0x00);
    }
}

// More than one window, with source copies that run across the border and
// repeats of the first window's bytes in the second.
TEST(MakePatch, RoundTripsTargetOfTwoWindows) {
    std::mt19937_64 random(7);
    const std::string chunk = random_bytes(&random, 1 << 20);
    std::string source;
    for (int i = 0; i < 40; i++) {
        source +=
            std::string(1 << 20, static_cast<char>(i)).replace(1000, 4096, chunk, i * 4096, 4096);
    }
    std::string target = source.substr(3 << 20);
    target += chunk.substr(0, 100000) + source.substr(0, 3 << 20) + random_bytes(&random, 5000);
    ASSERT_GT(target.size(), PATCH_WINDOW_BYTES);
    Workspace work;
    write_file(work.folder / "source.bin", source);
    write_file(work.folder / "target.bin", target);
    const ProcessResult run =
        make_patch_in(work.folder, {"source.bin", "target.bin", "patch.vcdiff"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_LE(read_file(work.folder / "patch.vcdiff").size(), 6000u);
    std::string applied;
    ASSERT_TRUE(apply_patch_file(work.folder, &applied));
    EXPECT_TRUE(applied == target);
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> arguments;
    int exit_code;
};

// Every refusal leaves no patch: neither a new PATCH nor its temporary file,
// and an older PATCH stays as it was.
TEST(MakePatch, RefusalsLeaveNoPatch) {
    const RefusalCase rows[] = {
        {"missing source", {"missing.bin", "target.bin", "patch.vcdiff"}, 1},
        {"missing target", {"source.bin", "missing.bin", "patch.vcdiff"}, 1},
        {"source is a folder", {"folder", "target.bin", "patch.vcdiff"}, 1},
        {"target beyond 32-bit sizes", {"source.bin", "huge.bin", "patch.vcdiff"}, 1},
        {"patch folder missing", {"source.bin", "target.bin", "nowhere/patch.vcdiff"}, 1},
        {"patch name is a folder", {"source.bin", "target.bin", "folder"}, 1},
        {"patch is the target", {"source.bin", "target.bin", "target.bin"}, 2},
        {"too few arguments", {"source.bin", "target.bin"}, 2},
        {"unknown option", {"source.bin", "target.bin", "patch.vcdiff", "--fast"}, 2},
        {"option after --", {"source.bin", "target.bin", "patch.vcdiff", "--", "--no-checksum"}, 2},
    };
    Workspace work;
    std::mt19937_64 random(3);
    const std::string target = random_bytes(&random, 4000);
    write_file(work.folder / "source.bin", random_bytes(&random, 4000));
    write_file(work.folder / "target.bin", target);
    make_sparse_file(work.folder / "huge.bin", MAX_TARGET_BYTES + 1);
    fs::create_directory(work.folder / "folder");
    for (const RefusalCase& row : rows) {
        SCOPED_TRACE(row.name);
        write_file(work.folder / "patch.vcdiff", "older patch");
        const ProcessResult run = make_patch_in(work.folder, row.arguments);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exit_code, row.exit_code);
        EXPECT_EQ(read_file(work.folder / "patch.vcdiff"), "older patch");
        EXPECT_EQ(read_file(work.folder / "target.bin"), target);
        EXPECT_TRUE(fs::is_directory(work.folder / "folder"));
        for (const auto& entry : fs::recursive_directory_iterator(work.folder)) {
            EXPECT_EQ(entry.path().string().find(".incomplete"), std::string::npos);
        }
    }
}

// The check that guards every patch: a window that does not decode to the
// target bytes it was made from is refused.
TEST(MakePatch, VerifierRefusesWindowThatDiffersFromTarget) {
    Workspace work;
    const std::string source(1000, 'a');
    write_file(work.folder / "source.bin", source);
    const std::vector<unsigned char> bytes(100, 'a');
    std::vector<unsigned char> header;
    vcdiff_write_header(&header, nullptr, 0);
    struct Row {
        const char* name;
        std::uint64_t source_offset; // of the one COPY
        unsigned char compared_byte; // the target the window is compared with
        bool accepted;
    };
    const Row rows[] = {
        {"equal", 0, 'a', true},
        {"other bytes", 0, 'b', false},
        {"source too short", 950, 'a', false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<unsigned char> window;
        const VcdiffWindowSpec layout = {true, row.source_offset, 100, false, 0, 100};
        const VcdiffInstruction copy = {VCDIFF_COPY, 100, 0, nullptr};
        ASSERT_TRUE(vcdiff_write_window(&window, layout, &copy, 1));
        const std::vector<unsigned char> compared(100, row.compared_byte);
        Verifier verifier;
        const char* reason = nullptr;
        ASSERT_TRUE(start_verifier(&verifier, (work.folder / "source.bin").string().c_str(),
                                   source.size(), header.data(), header.size(), &reason));
        EXPECT_EQ(verify_window(&verifier, window.data(), window.size(), compared.data(),
                                compared.size(), &reason),
                  row.accepted);
        free_verifier(&verifier);
    }
}
