#include "platform/resource.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string resource(const char* name) {
    const unsigned char* data = nullptr;
    std::uint32_t size = 0;
    if (!find_resource(name, &data, &size)) {
        return "<absent>";
    }
    return std::string(reinterpret_cast<const char*>(data), size);
}

TEST(Resources, FoundByNameWithExactBytes) {
    EXPECT_EQ(resource("Delta_patch"), "first resource\n");
    EXPECT_EQ(resource("Ru_op"), "0123456789abcdefX");
}

TEST(Resources, UnknownNamesAreAbsent) {
    EXPECT_EQ(resource("Ry_op"), "<absent>");
    EXPECT_EQ(resource(""), "<absent>");
    EXPECT_EQ(resource("delta_patch_x"), "<absent>");
}

TEST(Resources, BytesAreUsedInPlace) {
    const unsigned char* first = nullptr;
    const unsigned char* again = nullptr;
    std::uint32_t size = 0;
    ASSERT_TRUE(find_resource("Ru_op", &first, &size));
    ASSERT_TRUE(find_resource("Ru_op", &again, &size));
    EXPECT_EQ(first, again);
}

} // namespace
