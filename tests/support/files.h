#pragma once

// Real files in real temporary folders for tests.

#include <cstdint>
#include <filesystem>
#include <string>

// Whether directory listings come back sorted by name (Linux) or in the
// file system's own order (Windows).
extern const bool LISTINGS_ARE_SORTED;

// A fresh, empty folder under the system's temporary folder.
std::filesystem::path make_temp_folder(const char* tag);

// Removes a folder and everything below it, making read-only entries writable first.
void remove_temp_folder(const std::filesystem::path& folder);

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

// A sparse file of exactly size bytes (zeros), created or resized.
void make_sparse_file(const std::filesystem::path& path, std::uint64_t size);

// Overwrites bytes at offset of an existing file.
void write_at(const std::filesystem::path& path, std::uint64_t offset, const std::string& bytes);

constexpr std::uint64_t SOURCE_IMAGE_BYTES = 1455587328;

// The image's two signatures, as a decoy carries them.
constexpr unsigned DECOY_BOOT_SIGNATURE = 1;
constexpr unsigned DECOY_SECOND_SIGNATURE = 2;
constexpr unsigned DECOY_BOTH_SIGNATURES = DECOY_BOOT_SIGNATURE | DECOY_SECOND_SIGNATURE;

// A sparse file of size bytes with the signatures asked for, and zeros where
// the real image has its data. With the image's exact size and both, the
// search identifies it, and the patch then fails at once on the first
// window's checksum.
void make_decoy_image(const std::filesystem::path& path, std::uint64_t size = SOURCE_IMAGE_BYTES,
                      unsigned signatures = DECOY_BOTH_SIGNATURES);

// Sets the owner-write permission of a file.
void set_writable(const std::filesystem::path& path, bool writable);

// Keeps a file open so that no other process may open it (Windows share mode
// none); returns null where the platform has no such lock.
void* hold_file_exclusively(const std::filesystem::path& path);
void release_file(void* hold);

// Makes a named pipe (FIFO); false where the platform has none.
bool make_fifo(const std::filesystem::path& path);

// Deep trees: on Windows a process's current folder must stay short (Wine
// overruns its own buffers past about a thousand characters), so a test
// reaches deep folders through the extended-length form of their path
// ("\\?\" and the absolute path), which takes any length. Elsewhere no call
// takes a path past 4,096 bytes, so a test enters deep folders one at a time
// instead, and any_length_path returns the path unchanged.
extern const bool DEEP_FOLDERS_BY_FULL_PATH;
std::filesystem::path any_length_path(const std::filesystem::path& path);

// A build-tree path handed to a test at compile time, as this platform's file
// functions take it (under Wine the Unix root is drive Z:).
std::filesystem::path build_path(const std::string& path);
