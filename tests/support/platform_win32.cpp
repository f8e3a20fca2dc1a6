#include "tests/support/console.h"
#include "tests/support/files.h"

#include <cstring>
#include <windows.h>

std::string to_console(const std::string& utf8) {
    // Only the letters the patcher's messages use outside ASCII.
    static const struct {
        const char* utf8;
        char cp850;
    } LETTERS[] = {{"ñ", '\xA4'}, {"ó", '\xA2'}, {"¡", '\xAD'}};
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        bool replaced = false;
        for (const auto& letter : LETTERS) {
            const std::size_t n = std::strlen(letter.utf8);
            if (utf8.compare(i, n, letter.utf8) == 0) {
                out += letter.cp850;
                i += n;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            if (utf8[i] == '\n') {
                out += '\r';
            }
            out += utf8[i++];
        }
    }
    return out;
}

const bool LISTINGS_ARE_SORTED = false;

void* hold_file_exclusively(const std::filesystem::path& path) {
    HANDLE file = CreateFileA(path.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void release_file(void* hold) {
    if (hold != nullptr) {
        CloseHandle(hold);
    }
}

std::filesystem::path build_path(const std::string& path) {
    return path.empty() || path[0] != '/' ? std::filesystem::path(path)
                                          : std::filesystem::path("Z:" + path);
}
