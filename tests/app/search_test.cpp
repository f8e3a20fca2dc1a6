#include "app/paths.h"
#include "app/search.h"
#include "platform/directory.h"
#include "tests/support/files.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The search walks the process's current directory; each case runs inside its
// own temporary tree and puts the old directory back afterwards.
class Search : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(get_current_directory(&previous));
        root = make_temp_folder("search");
    }
    void TearDown() override {
        set_current_directory(previous);
        remove_temp_folder(root);
    }

    // Every match of one whole walk, relative to the start directory, with '/'.
    std::vector<std::string> walk(const char* extension) {
        std::string start;
        EXPECT_TRUE(set_current_directory(root.string()));
        EXPECT_TRUE(get_current_directory(&start));
        std::vector<std::string> found;
        std::string path;
        while (find_next_file_by_extension(&path, extension) == 1) {
            EXPECT_EQ(path.compare(0, start.size(), start), 0) << path;
            std::string relative = path.substr(start.size() + 1);
            std::replace(relative.begin(), relative.end(), PATH_SEPARATOR, '/');
            found.push_back(relative);
            if (found.size() > 10000) {
                break;
            }
        }
        std::string after;
        EXPECT_TRUE(get_current_directory(&after));
        EXPECT_EQ(after, start) << "an exhausted walk stands in the start directory again";
        return found;
    }

    void touch(const std::string& relative) {
        write_file(root / relative, "x");
    }
    void folder(const std::string& relative) {
        fs::create_directories(root / relative);
    }

    std::string previous;
    fs::path root;
};

TEST_F(Search, ExtensionIsComparedInLowerCaseOverItsWholeLength) {
    for (const char* name :
         {"game.ISO", "game.iso.bak", ".iso", "plain.iso", "b.isox", "x.Iso", "noext", "iso"}) {
        touch(name);
    }
    folder("disc.iso"); // a directory is walked, never returned
    touch("disc.iso/inner.iso");
    std::vector<std::string> found = walk("iso");
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{".iso", "disc.iso/inner.iso", "game.ISO",
                                               "plain.iso", "x.Iso"}));
}

TEST_F(Search, StarMatchesEveryFileAndNoDirectory) {
    touch("a.txt");
    folder("empty");
    folder("sub/deeper");
    touch("sub/deeper/b");
    std::vector<std::string> found = walk("*");
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"a.txt", "sub/deeper/b"}));
}

TEST_F(Search, SubdirectoryMatchesComeWhereItsEntryStands) {
    touch("a.iso");
    folder("b");
    touch("b/x.iso");
    folder("b/c");
    touch("b/c/y.iso");
    touch("c.iso");
    std::vector<std::string> found = walk("iso");
    if (!LISTINGS_ARE_SORTED) {
        std::sort(found.begin(), found.end());
    }
    EXPECT_EQ(found, (std::vector<std::string>{"a.iso", "b/c/y.iso", "b/x.iso", "c.iso"}));
}

TEST_F(Search, ResumesAfterEachMatchAndStartsAfreshWhenExhausted) {
    touch("one.iso");
    folder("sub");
    touch("sub/two.iso");
    EXPECT_EQ(walk("iso").size(), 2u);
    EXPECT_EQ(walk("iso").size(), 2u) << "a second walk sees the whole tree again";
}

TEST_F(Search, DepthIsLimitedTo255LevelsBelowTheStart) {
    fs::path deep = root;
    bool created = true;
    for (int level = 1; level <= 300 && created; ++level) {
        deep /= "d";
        std::error_code error;
        created = fs::create_directory(deep, error);
        if (level == 255 || level == 256) {
            write_file(deep / ("at" + std::to_string(level) + ".iso"), "x");
        }
    }
    std::string level255 = root.string();
    for (int level = 1; level <= 255; ++level) {
        level255 = join_path(level255, "d");
    }
    if (!created || !set_current_directory(level255)) {
        GTEST_SKIP() << "the platform refuses paths this deep";
    }
    std::vector<std::string> found = walk("iso");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find("at255.iso"), std::string::npos);
}

TEST_F(Search, LinkCyclesEndAndLinkedTreesAreWalkedOnce) {
    folder("a/b");
    touch("a/b/in.iso");
    std::error_code error;
    fs::create_directory_symlink(root / "a", root / "a" / "b" / "loop", error);
    fs::create_directory_symlink(root, root / "a" / "up", error);
    if (error) {
        GTEST_SKIP() << "no directory links here";
    }
    std::vector<std::string> found = walk("iso");
    EXPECT_EQ(found, (std::vector<std::string>{"a/b/in.iso"}));
}

TEST_F(Search, PathsTooLongForThePlatformAreSkippedNotTruncated) {
    // Over 4,096 bytes below the start, built one relative step at a time: the
    // platform cannot enter it by its full path, and the walk goes on with
    // what it can reach.
    if (PATH_SEPARATOR == '\\') {
        GTEST_SKIP() << "Windows itself refuses to build such a tree";
    }
    const std::string name(200, 'n');
    ASSERT_TRUE(set_current_directory(root.string()));
    for (int level = 0; level < 25; ++level) {
        std::error_code error;
        if (!fs::create_directory(name, error) || !set_current_directory(name)) {
            FAIL() << "cannot build the tree at level " << level;
        }
    }
    write_file("deep.iso", "x");
    ASSERT_TRUE(set_current_directory(root.string()));
    touch("reachable.iso");
    std::vector<std::string> found = walk("iso");
    EXPECT_EQ(found, (std::vector<std::string>{"reachable.iso"}));
}

} // namespace
