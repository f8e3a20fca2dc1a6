#pragma once

// Byte ranges of (sparse) image files for the movie tests, on top of the
// shared test helpers.

#include "tests/support/files.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace movie_test {

using Bytes = std::vector<unsigned char>;

// A fresh temporary folder, removed with its contents at the end of the scope.
struct TempFolder {
    std::filesystem::path path;

    TempFolder() : path(make_temp_folder("movie")) {}
    ~TempFolder() {
        remove_temp_folder(path);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

inline void write_bytes_at(const std::filesystem::path& path, std::uint64_t offset,
                           const Bytes& bytes) {
    write_at(path, offset, std::string(bytes.begin(), bytes.end()));
}

inline Bytes read_at(const std::filesystem::path& path, std::uint64_t offset,
                     std::uint64_t length) {
    Bytes bytes(static_cast<std::size_t>(length));
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

} // namespace movie_test
