#include "platform/directory.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char PATH_SEPARATOR = '/';

// The whole listing is read at once and sorted by name bytes, so that a walk
// visits entries in the same order on every file system.
struct DirectoryListing {
    std::vector<DirectoryEntry> entries;
    std::size_t next;
};

DirectoryListing* open_directory_listing() {
    DIR* directory = opendir(".");
    if (directory == nullptr) {
        return nullptr;
    }
    // Memory running out is reported by throwing, and the run ends on it:
    // the directory and the half-read listing go first.
    DirectoryListing* listing = nullptr;
    try {
        listing = new DirectoryListing{{}, 0};
        while (const dirent* found = readdir(directory)) {
            DirectoryEntry entry{found->d_name, false, false, false};
            // A link to a directory counts as the directory, as on Windows.
            // A link that leads nowhere is neither: opening it tells.
            struct stat status;
            if (lstat(found->d_name, &status) == 0) {
                entry.is_link = S_ISLNK(status.st_mode);
            }
            if (stat(found->d_name, &status) == 0) {
                entry.is_directory = S_ISDIR(status.st_mode);
                entry.is_special = !entry.is_directory && !S_ISREG(status.st_mode);
            }
            listing->entries.push_back(std::move(entry));
        }
    } catch (...) {
        closedir(directory);
        delete listing;
        throw;
    }
    closedir(directory);
    std::sort(listing->entries.begin(), listing->entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return listing;
}

bool next_directory_entry(DirectoryListing* listing, DirectoryEntry* entry) {
    if (listing->next >= listing->entries.size()) {
        return false;
    }
    *entry = listing->entries[listing->next++];
    return true;
}

void close_directory_listing(DirectoryListing* listing) {
    delete listing;
}

bool get_current_directory(std::string* path) {
    std::vector<char> buffer(4096);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            path->assign(buffer.data());
            return true;
        }
        if (errno != ERANGE) {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool set_current_directory(const std::string& path) {
    return chdir(path.c_str()) == 0;
}

bool current_directory_identity(DirectoryIdentity* identity) {
    struct stat status;
    if (stat(".", &status) != 0) {
        return false;
    }
    identity->volume = static_cast<std::uint64_t>(status.st_dev);
    identity->index = static_cast<std::uint64_t>(status.st_ino);
    return true;
}
