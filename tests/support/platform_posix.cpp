#include "tests/support/console.h"
#include "tests/support/files.h"

std::string to_console(const std::string& utf8) {
    return utf8;
}

const bool LISTINGS_ARE_SORTED = true;

void* hold_file_exclusively(const std::filesystem::path&) {
    return nullptr;
}

void release_file(void*) {}

std::filesystem::path build_path(const std::string& path) {
    return path;
}
