#include "platform/win32/wide.h"

#include "platform/directory.h"

#include <windows.h>

bool widen(const std::string& utf8, std::wstring* wide) {
    wide->clear();
    if (utf8.empty()) {
        return true;
    }
    if (utf8.size() > 0x7FFFFFFF) {
        return false;
    }
    const int length = static_cast<int>(utf8.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (needed <= 0) {
        return false;
    }
    wide->resize(static_cast<std::size_t>(needed));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide->data(),
                               needed) == needed;
}

bool narrow(const wchar_t* wide, std::string* utf8) {
    utf8->clear();
    if (wide[0] == 0) {
        return true;
    }
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) {
        return false;
    }
    utf8->resize(static_cast<std::size_t>(needed));
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8->data(), needed, nullptr, nullptr) !=
        needed) {
        return false;
    }
    utf8->resize(static_cast<std::size_t>(needed - 1));
    return true;
}

static bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool extended_path(const std::string& path, std::wstring* extended) {
    std::wstring wide;
    if (!widen(path, &wide) || wide.empty()) {
        return false;
    }
    if (wide.compare(0, 4, L"\\\\?\\") == 0) {
        *extended = wide;
        return true;
    }
    // A drive letter with its separator, or a share's double separator:
    // absolute. Anything else goes below the current directory.
    const bool absolute = (wide.size() >= 3 && wide[1] == L':' && is_separator(wide[2])) ||
                          (wide.size() >= 2 && is_separator(wide[0]) && is_separator(wide[1]));
    if (!absolute) {
        std::string current;
        if (!get_current_directory(&current)) {
            return false;
        }
        std::wstring base;
        if (!widen(current, &base)) {
            return false;
        }
        if (!base.empty() && !is_separator(base.back())) {
            base += L'\\';
        }
        wide = base + wide;
    }
    // The prefixed form is taken literally: '/', "." and ".." must be
    // resolved first, which GetFullPathNameW does at any length.
    DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full;
    while (needed != 0) {
        full.resize(needed);
        const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
        if (written == 0) {
            return false;
        }
        if (written < needed) {
            full.resize(written);
            break;
        }
        needed = written;
    }
    if (full.empty()) {
        return false;
    }
    if (full.size() >= 2 && is_separator(full[0]) && is_separator(full[1])) {
        *extended = L"\\\\?\\UNC\\" + full.substr(2);
    } else {
        *extended = L"\\\\?\\" + full;
    }
    return true;
}
