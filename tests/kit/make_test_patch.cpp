// make-test-patch FILE: writes the driver tests' patch, which they embed.

#include "tests/kit/test_patch.h"

#include <cstdio>

int main(int argc, char** argv) {
    TestPatch patch;
    if (argc != 2 || !make_test_patch(0, &patch)) {
        std::fprintf(stderr, "usage: make-test-patch FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        return 1;
    }
    const bool written =
        std::fwrite(patch.patch.data(), 1, patch.patch.size(), file) == patch.patch.size();
    return std::fclose(file) == 0 && written ? 0 : 1;
}
