#include "platform/directory.h"

#include <vector>
#include <windows.h>

const char PATH_SEPARATOR = '\\';

// FindFirstFileA already returns the first entry; it waits in data until the
// first next_directory_entry call hands it out.
struct DirectoryListing {
    HANDLE handle;
    WIN32_FIND_DATAA data;
    bool pending;
};

DirectoryListing* open_directory_listing() {
    DirectoryListing* listing = new DirectoryListing{};
    listing->handle = FindFirstFileA("*", &listing->data);
    if (listing->handle == INVALID_HANDLE_VALUE) {
        delete listing;
        return nullptr;
    }
    listing->pending = true;
    return listing;
}

bool next_directory_entry(DirectoryListing* listing, DirectoryEntry* entry) {
    if (!listing->pending && !FindNextFileA(listing->handle, &listing->data)) {
        return false;
    }
    listing->pending = false;
    entry->name = listing->data.cFileName;
    entry->is_directory = (listing->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

void close_directory_listing(DirectoryListing* listing) {
    FindClose(listing->handle);
    delete listing;
}

bool get_current_directory(std::string* path) {
    DWORD needed = GetCurrentDirectoryA(0, nullptr);
    while (needed != 0) {
        std::vector<char> buffer(needed);
        DWORD written = GetCurrentDirectoryA(needed, buffer.data());
        if (written == 0) {
            return false;
        }
        if (written < needed) {
            path->assign(buffer.data(), written);
            return true;
        }
        needed = written;
    }
    return false;
}

bool set_current_directory(const std::string& path) {
    return SetCurrentDirectoryA(path.c_str()) != 0;
}

bool current_directory_identity(DirectoryIdentity* identity) {
    HANDLE directory = CreateFileA(".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    BOOL ok = GetFileInformationByHandle(directory, &information);
    CloseHandle(directory);
    if (!ok) {
        return false;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}
