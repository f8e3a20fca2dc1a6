#include "tests/support/console.h"
#include "tests/support/files.h"

#include <cstring>
#include <windows.h>

std::string to_console(const std::string& utf8) {
    // The letters the tests' messages and names use outside ASCII; any other
    // character is one the console cannot show, printed as '?'.
    static const struct {
        const char* utf8;
        char cp850;
    } LETTERS[] = {{"ñ", '\xA4'}, {"ó", '\xA2'}, {"¡", '\xAD'}, {"é", '\x82'}};
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            if (utf8[i] == '\n') {
                out += '\r';
            }
            out += utf8[i++];
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char shown = '?';
        for (const auto& letter : LETTERS) {
            if (utf8.compare(i, length, letter.utf8) == 0) {
                shown = letter.cp850;
            }
        }
        out += shown;
        i += length;
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

bool make_fifo(const std::filesystem::path&) {
    return false;
}

const bool DEEP_FOLDERS_BY_FULL_PATH = true;

std::filesystem::path any_length_path(const std::filesystem::path& path) {
    return L"\\\\?\\" + std::filesystem::absolute(path).make_preferred().wstring();
}

std::filesystem::path build_path(const std::string& path) {
    return path.empty() || path[0] != '/' ? std::filesystem::path(path)
                                          : std::filesystem::path("Z:" + path);
}
