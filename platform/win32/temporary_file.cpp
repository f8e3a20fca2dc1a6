#include "platform/temporary_file.h"

#include "platform/held_files.h"
#include "platform/win32/wide.h"

#include <cerrno>
#include <string>
#include <windows.h>

// The run holds its file by keeping the handle that created it open, with
// the right to delete and rename it: the patch driver and the movie rewrite
// get duplicates of that handle, and the rename and the removal go through
// it, so after the creation the name is never opened again. The handle
// shares reading, writing and deletion; whoever finds the name taken opens
// it with no sharing at all, which the system refuses for as long as any
// handle is open: a refusal means another program holds it.

namespace {

constexpr int CREATE_ATTEMPTS = 4;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE held_handle(const TemporaryFile* file) {
    return reinterpret_cast<HANDLE>(file->holder);
}

// The name itself, a link included, opened to be renamed or removed; the
// caller closes it.
HANDLE open_name(const std::wstring& name, DWORD share) {
    return CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

bool mark_for_deletion(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// What stands at name and is not held: removed (TEMPORARY_CREATED says the
// name may be tried again).
TemporaryStatus remove_leftover(const std::wstring& name) {
    HANDLE handle = open_name(name, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return TEMPORARY_CREATED;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return TEMPORARY_HELD;
        default:
            return TEMPORARY_REFUSED;
        }
    }
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    const bool known = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &attributes,
                                                    sizeof attributes) != 0;
    // A folder is no leftover of ours; a link to one is, and goes itself.
    const bool folder = !known || ((attributes.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                   (attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
    const bool removed = !folder && mark_for_deletion(handle);
    CloseHandle(handle);
    return removed ? TEMPORARY_CREATED : TEMPORARY_REFUSED;
}

} // namespace

TemporaryStatus create_temporary_file(const char* path, TemporaryFile* file) {
    file->holder = -1;
    file->folder = -1;
    std::wstring name;
    if (!extended_path(path, &name)) {
        return TEMPORARY_REFUSED;
    }
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, SHARE_ALL,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            // Held but unknown to the opens that follow, the file would be
            // written by name after all: better not to start.
            if (!remember_held_file(path, reinterpret_cast<std::intptr_t>(handle))) {
                mark_for_deletion(handle);
                CloseHandle(handle);
                return TEMPORARY_REFUSED;
            }
            file->holder = reinterpret_cast<std::intptr_t>(handle);
            return TEMPORARY_CREATED;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            return TEMPORARY_HELD;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return TEMPORARY_REFUSED;
        }
        const TemporaryStatus cleared = remove_leftover(name);
        if (cleared != TEMPORARY_CREATED) {
            return cleared;
        }
    }
    return TEMPORARY_HELD;
}

int flush_temporary_file(const TemporaryFile* file) {
    return FlushFileBuffers(held_handle(file)) ? 0 : -1;
}

// The held handle is the file whatever its name now is, so path is not
// looked at: the file renamed is the one this run wrote.
int rename_temporary_file(const TemporaryFile* file, const char* path, const char* final_path) {
    (void)path;
    std::wstring final_name;
    if (!extended_path(final_path, &final_name)) {
        errno = EINVAL;
        return -1;
    }
    if (file->holder == -1) {
        errno = ENOENT;
        return -1;
    }
    HANDLE handle = held_handle(file);
    // FILE_RENAME_INFO ends in the new name; the record is sized to hold it.
    const std::size_t bytes = sizeof(FILE_RENAME_INFO) + (final_name.size() + 1) * sizeof(wchar_t);
    std::string storage(bytes, '\0');
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(final_name.size() * sizeof(wchar_t));
    final_name.copy(rename->FileName, final_name.size());
    const bool renamed =
        SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(bytes)) != 0;
    // The new name goes to the disk with the file, as a write-through move
    // would have it.
    if (renamed) {
        FlushFileBuffers(handle);
    }
    if (!renamed) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

// The file goes once its last handle closes: the driver's and the
// rewrite's duplicates are closed by now.
void discard_temporary_file(TemporaryFile* file, const char* path) {
    (void)path;
    if (file->holder != -1) {
        mark_for_deletion(held_handle(file));
    }
    release_temporary_file(file);
}

void release_temporary_file(TemporaryFile* file) {
    if (file->holder != -1) {
        forget_held_file(file->holder);
        CloseHandle(held_handle(file));
        file->holder = -1;
    }
}
