#pragma once

// The process's current directory and listings of it, for the image search.

#include <cstdint>
#include <string>

// Separator between path components, as the platform writes it.
extern const char PATH_SEPARATOR;

struct DirectoryEntry {
    std::string name;
    bool is_directory; // a folder, or a link to one
    bool is_link;      // a symbolic link or junction (to a folder or a file)
    bool is_special;   // a pipe, device or socket: no file to read
};

// An open listing of one directory; entries come back one at a time,
// "." and ".." included, in a stable order.
struct DirectoryListing;

// Lists the current directory; null when the platform refuses.
DirectoryListing* open_directory_listing();

// Next entry; false at the end of the listing.
bool next_directory_entry(DirectoryListing* listing, DirectoryEntry* entry);

void close_directory_listing(DirectoryListing* listing);

// Full path of the current directory; false when it cannot be read.
bool get_current_directory(std::string* path);

// true when the process's current directory became path.
bool set_current_directory(const std::string& path);

// Identity of the current directory as the file system knows it, so that a
// walk can tell a directory it already stands in, whatever path led there.
struct DirectoryIdentity {
    std::uint64_t volume;
    std::uint64_t index;
};

bool current_directory_identity(DirectoryIdentity* identity);
