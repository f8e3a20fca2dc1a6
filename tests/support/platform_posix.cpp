#include "tests/support/console.h"
#include "tests/support/files.h"

#include <sys/stat.h>

std::string to_console(const std::string& utf8) {
    return utf8;
}

const bool LISTINGS_ARE_SORTED = true;

void* hold_file_exclusively(const std::filesystem::path&) {
    return nullptr;
}

void release_file(void*) {}

bool make_fifo(const std::filesystem::path& path) {
    return mkfifo(path.c_str(), 0600) == 0;
}

const bool DEEP_FOLDERS_BY_FULL_PATH = false;

std::filesystem::path any_length_path(const std::filesystem::path& path) {
    return path;
}

std::filesystem::path build_path(const std::string& path) {
    return path;
}
