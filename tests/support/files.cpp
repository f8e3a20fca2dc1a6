#include "tests/support/files.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

fs::path make_temp_folder(const char* tag) {
    static std::mt19937_64 generator(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (;;) {
        fs::path folder = fs::temp_directory_path() / (std::string("patcher-") + tag + "-" +
                                                       std::to_string(generator() % 1000000000ull));
        std::error_code error;
        if (fs::create_directory(folder, error)) {
            return folder;
        }
    }
}

void remove_temp_folder(const fs::path& folder) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(
             folder, fs::directory_options::skip_permission_denied, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(folder, error);
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void make_sparse_file(const fs::path& path, std::uint64_t size) {
    if (!fs::exists(path)) {
        write_file(path, "");
    }
    fs::resize_file(path, size);
}

void write_at(const fs::path& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void make_decoy_image(const fs::path& path, std::uint64_t size, unsigned signatures) {
    make_sparse_file(path, size);
    if ((signatures & DECOY_BOOT_SIGNATURE) != 0) {
        write_at(path, 593928, "cdrom0:\\SXKQ_805.17;1");
    }
    if ((signatures & DECOY_SECOND_SIGNATURE) != 0) {
        write_at(path, 2398042, ".unknvma");
    }
}

void set_writable(const fs::path& path, bool writable) {
    fs::permissions(path, fs::perms::owner_write,
                    writable ? fs::perm_options::add : fs::perm_options::remove);
}
