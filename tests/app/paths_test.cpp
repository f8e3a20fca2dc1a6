#include "app/paths.h"
#include "platform/directory.h"

#include <gtest/gtest.h>

namespace {

// Paths in these cases use '/' and are converted to the platform separator.
std::string native(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = PATH_SEPARATOR;
        }
    }
    return path;
}

TEST(Paths, DisplayNameRemovesStartDirectoryAndSeparator) {
    struct Case {
        const char* text;
        std::size_t n;
        int result;
        const char* shown;
    } cases[] = {
        {"/games/juego.ISO", 6, 1, "juego.ISO"},
        {"/games/sub/juego.iso", 6, 1, "sub/juego.iso"},
        {"/games/", 6, 1, ""},      // exactly n + 1 characters
        {"/games", 6, 0, "/games"}, // n not below the length
        {"/games", 60, 0, "/games"},
    };
    for (const Case& c : cases) {
        std::string text = native(c.text);
        EXPECT_EQ(display_name(&text, c.n), c.result) << c.text;
        EXPECT_EQ(text, native(c.shown)) << c.text;
    }
}

TEST(Paths, StripTailDropsTheExtensionWhateverItsCase) {
    std::string text = "juego.ISO";
    EXPECT_EQ(strip_tail(&text, 4), 1);
    EXPECT_EQ(text + "_patched.iso", "juego_patched.iso");
    std::string short_text = "abcd";
    EXPECT_EQ(strip_tail(&short_text, 4), 0);
    EXPECT_EQ(short_text, "abcd");
}

TEST(Paths, StripLastComponentsCountsSeparatorsFromTheEnd) {
    struct Case {
        const char* path;
        int count;
        int result;
        const char* after;
    } cases[] = {
        {"/a/b/c", 1, 1, "/a/b"},   {"/a/b/c", 2, 1, "/a"},
        {"/a/b/c", 3, 0, "/a/b/c"}, // the first character is never counted
        {"/a", 1, 0, "/a"},         {"/a/b", 0, 1, "/a/b"},
        {"/a/b", -2, 1, "/a/b"},    {"C:/x/y", 2, 1, "C:"},
    };
    for (const Case& c : cases) {
        std::string path = native(c.path);
        EXPECT_EQ(strip_last_components(&path, c.count), c.result) << c.path << " " << c.count;
        EXPECT_EQ(path, native(c.after)) << c.path << " " << c.count;
    }
}

TEST(Paths, JoinPathAddsOneSeparator) {
    EXPECT_EQ(join_path(native("/a"), "b"), native("/a/b"));
    EXPECT_EQ(join_path(native("/"), "b"), native("/b"));
}

} // namespace
