#include "platform/file.h"

#include "platform/held_files.h"
#include "platform/win32/wide.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

// A device or pipe is no file; the tests' names never reach one through a
// folder listing, but a translator may name one.
static bool is_disk_file(intptr_t handle) {
    return handle != -1 && GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK;
}

// A file the run created and holds is opened through what holds it: a
// duplicate of the handle, at the file's start (emptied for 'w'). -1 when
// path names no held file, or the duplicate cannot be had.
static int open_held(const char* path, bool empty, bool* held) {
    const std::intptr_t holder = find_held_file(path);
    *held = holder != -1;
    if (!*held) {
        return -1;
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(holder), GetCurrentProcess(),
                         &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(duplicate), _O_BINARY);
    if (fd < 0) {
        CloseHandle(duplicate);
        return -1;
    }
    if (_lseeki64(fd, 0, SEEK_SET) != 0 || (empty && _chsize_s(fd, 0) != 0)) {
        _close(fd);
        return -1;
    }
    return fd;
}

int open_existing_file(const char* path, FileMode mode) {
    bool held = false;
    const int held_fd = open_held(path, false, &held);
    if (held) {
        return held_fd;
    }
    std::wstring name;
    if (!extended_path(path, &name)) {
        return -1;
    }
    int fd = -1;
    switch (mode) {
    case FILE_READ:
        fd = _wopen(name.c_str(), _O_RDONLY | _O_BINARY);
        break;
    case FILE_WRITE:
        fd = _wopen(name.c_str(), _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        break;
    case FILE_READ_WRITE:
        fd = _wopen(name.c_str(), _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        break;
    }
    if (fd >= 0 && !is_disk_file(_get_osfhandle(fd))) {
        _close(fd);
        return -1;
    }
    return fd;
}

FileKind file_kind(const char* path) {
    std::wstring name;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!extended_path(path, &name) ||
        !GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) {
        return KIND_MISSING;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return KIND_FOLDER;
    }
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 ? KIND_SPECIAL : KIND_REGULAR;
}

std::FILE* open_file_stream(const char* path, const char* mode) {
    bool held = false;
    const int held_fd = open_held(path, mode[0] == 'w', &held);
    if (held) {
        std::FILE* stream = held_fd >= 0 ? _fdopen(held_fd, mode) : nullptr;
        if (stream == nullptr && held_fd >= 0) {
            _close(held_fd);
        }
        return stream;
    }
    std::wstring name;
    std::wstring wide_mode;
    if (!extended_path(path, &name) || !widen(mode, &wide_mode)) {
        return nullptr;
    }
    std::FILE* stream = _wfopen(name.c_str(), wide_mode.c_str());
    if (stream != nullptr && mode[0] == 'r' && !is_disk_file(_get_osfhandle(_fileno(stream)))) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

std::int64_t file_length(int fd) {
    return _filelengthi64(fd);
}

std::int64_t file_seek(int fd, std::int64_t position) {
    return _lseeki64(fd, position, SEEK_SET);
}

// The C runtime moves at most INT_MAX bytes per call; callers loop on the rest.
static unsigned clamp_count(std::size_t count) {
    return count > 0x40000000u ? 0x40000000u : static_cast<unsigned>(count);
}

std::int64_t file_read(int fd, void* buffer, std::size_t count) {
    return _read(fd, buffer, clamp_count(count));
}

std::int64_t file_write(int fd, const void* buffer, std::size_t count) {
    return _write(fd, buffer, clamp_count(count));
}

int file_close(int fd) {
    return _close(fd);
}

// Volume serial and file index of path; false when it cannot be opened.
static bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* information) {
    std::wstring name;
    if (!extended_path(path, &name)) {
        return false;
    }
    HANDLE file =
        CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const BOOL ok = GetFileInformationByHandle(file, information);
    CloseHandle(file);
    return ok != 0;
}

bool same_file(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    return file_identity(first, &a) && file_identity(second, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

int remove_file(const char* path) {
    std::wstring name;
    if (!extended_path(path, &name)) {
        return -1;
    }
    return _wremove(name.c_str());
}

// The system's lazy writer already starts on dirty pages within a second or
// so of their writing: a head start would win nothing.
void start_stream_writeback(std::FILE* stream, std::uint64_t offset, std::uint64_t length) {
    (void)stream;
    (void)offset;
    (void)length;
}

// The image was read whole to identify it just before it is patched, so the
// system's cache holds it: a read there is a copy, and a hint adds nothing.
void advise_file_reads(int fd, std::uint64_t offset, std::uint64_t length) {
    (void)fd;
    (void)offset;
    (void)length;
}

int stream_seek(std::FILE* stream, std::uint64_t position) {
    return _fseeki64(stream, static_cast<__int64>(position), SEEK_SET);
}

// Write-through: the rename is on the disk when the call returns, so that
// the finished image never lives only in the system's cache under its name.
int replace_file(const char* from, const char* to) {
    std::wstring old_name;
    std::wstring new_name;
    if (!extended_path(from, &old_name) || !extended_path(to, &new_name)) {
        errno = EINVAL;
        return -1;
    }
    if (MoveFileExW(old_name.c_str(), new_name.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    // The reason in errno, as the C library's own calls leave it.
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
        errno = ENOSPC;
        break;
    default:
        errno = EIO;
        break;
    }
    return -1;
}

int flush_file(int fd) {
    const intptr_t handle = _get_osfhandle(fd);
    if (handle == -1) {
        return -1;
    }
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) ? 0 : -1;
}
