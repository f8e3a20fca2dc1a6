#include "platform/directory.h"

#include "platform/win32/wide.h"

#include <windows.h>

const char PATH_SEPARATOR = '\\';

namespace {

// Windows lets a process's current directory be at most about 260
// characters long unless the machine has opted in to long paths. The walk
// must reach folders deeper than that, so past that limit this back end
// keeps the directory itself and answers for it with full paths (every
// path the program opens is a full one); the system's current directory
// stays at the last folder within the limit. While logical_active is false
// the system's current directory is the one in force.
std::string logical_directory;
bool logical_active = false;

} // namespace

// FindFirstFileW already returns the first entry; it waits in data until the
// first next_directory_entry call hands it out.
struct DirectoryListing {
    HANDLE handle;
    WIN32_FIND_DATAW data;
    bool pending;
};

DirectoryListing* open_directory_listing() {
    std::wstring pattern;
    if (!extended_path(".", &pattern)) {
        return nullptr;
    }
    if (pattern.back() != L'\\') {
        pattern += L'\\';
    }
    pattern += L'*';
    DirectoryListing* listing = new DirectoryListing{};
    listing->handle = FindFirstFileW(pattern.c_str(), &listing->data);
    if (listing->handle == INVALID_HANDLE_VALUE) {
        delete listing;
        return nullptr;
    }
    listing->pending = true;
    return listing;
}

bool next_directory_entry(DirectoryListing* listing, DirectoryEntry* entry) {
    for (;;) {
        if (!listing->pending && !FindNextFileW(listing->handle, &listing->data)) {
            return false;
        }
        listing->pending = false;
        // A name that is not valid UTF-16 cannot be spelled in UTF-8 and so
        // could not be opened again: it is passed over.
        if (narrow(listing->data.cFileName, &entry->name)) {
            const DWORD attributes = listing->data.dwFileAttributes;
            entry->is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            // Other reparse points (cloud placeholders, deduplicated files)
            // are the folders and files they seem to be.
            entry->is_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                             (listing->data.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                              listing->data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
            entry->is_special = (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
            return true;
        }
    }
}

void close_directory_listing(DirectoryListing* listing) {
    FindClose(listing->handle);
    delete listing;
}

bool get_current_directory(std::string* path) {
    if (logical_active) {
        *path = logical_directory;
        return true;
    }
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring buffer;
    while (needed != 0) {
        buffer.resize(needed);
        const DWORD written = GetCurrentDirectoryW(needed, buffer.data());
        if (written == 0) {
            return false;
        }
        if (written < needed) {
            buffer.resize(written);
            // Shown to the player and joined with names: the plain form.
            if (buffer.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
                buffer.replace(0, 8, L"\\\\");
            } else if (buffer.compare(0, 4, L"\\\\?\\") == 0) {
                buffer.erase(0, 4);
            }
            return narrow(buffer.c_str(), path);
        }
        needed = written;
    }
    return false;
}

bool set_current_directory(const std::string& path) {
    std::wstring extended;
    if (!extended_path(path, &extended)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    // The plain form, as the player would type it and as it is shown.
    std::wstring plain = extended.compare(0, 8, L"\\\\?\\UNC\\") == 0 ? L"\\\\" + extended.substr(8)
                                                                      : extended.substr(4);
    // Within the system's limit the folder is made current for real (and a
    // refusal there means no right to enter). Past it the folder is kept
    // here: some systems take a longer current directory and then overrun
    // their own buffers for it, so none is asked to.
    if (plain.size() + 1 < MAX_PATH) {
        if (!SetCurrentDirectoryW(plain.c_str())) {
            return false;
        }
        logical_active = false;
        return true;
    }
    std::string utf8;
    if (!narrow(plain.c_str(), &utf8)) {
        return false;
    }
    logical_directory = utf8;
    logical_active = true;
    return true;
}

bool current_directory_identity(DirectoryIdentity* identity) {
    std::wstring extended;
    if (!extended_path(".", &extended)) {
        return false;
    }
    HANDLE directory =
        CreateFileW(extended.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    const BOOL ok = GetFileInformationByHandle(directory, &information);
    CloseHandle(directory);
    if (!ok) {
        return false;
    }
    // Some network shares and shared folders of virtual machines give every
    // folder the index 0: that is no identity, and taking it for one would
    // make every subfolder look like one the walk already stands in.
    if (information.nFileIndexHigh == 0 && information.nFileIndexLow == 0) {
        return false;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}
