// What the player's Windows reads from the built .exe itself: the manifest
// (no file virtualization, the supported versions, long paths) and the
// version information of its Properties dialog, beside the three resources
// the program carries.

#include "tests/support/files.h"

#include <gtest/gtest.h>
#include <string>
#include <windows.h>

namespace {

HMODULE load_program() {
    return LoadLibraryExW(build_path(PATCHER_PROGRAM).wstring().c_str(), nullptr,
                          LOAD_LIBRARY_AS_DATAFILE);
}

std::string resource_text(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return "";
    }
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return bytes == nullptr ? "" : std::string(bytes, SizeofResource(module, found));
}

TEST(ProgramIdentity, ManifestAsksForNoVirtualizationAndLongPaths) {
    HMODULE module = load_program();
    ASSERT_NE(module, nullptr);
    const std::string manifest = resource_text(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    FreeLibrary(module);
    for (const char* wanted : {
             "level=\"asInvoker\"",
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // Windows 7
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // Windows 10 and 11
             "<ws2:longPathAware>true</ws2:longPathAware>",
         }) {
        EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
    }
}

TEST(ProgramIdentity, VersionInformationNamesTheProductInSpanish) {
    const std::wstring path = build_path(PATCHER_PROGRAM).wstring();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u) << "version 1.0";

    const struct {
        const wchar_t* key;
        const wchar_t* value;
    } STRINGS[] = {
        {L"\\StringFileInfo\\0C0A04B0\\ProductName", L"Parche al Espa\u00F1ol para Veltrane"},
        {L"\\StringFileInfo\\0C0A04B0\\ProductVersion", L"1.0"},
        {L"\\StringFileInfo\\0C0A04B0\\OriginalFilename", L"parche-veltrane.exe"},
    };
    for (const auto& entry : STRINGS) {
        wchar_t* value = nullptr;
        ASSERT_TRUE(
            VerQueryValueW(block.data(), entry.key, reinterpret_cast<void**>(&value), &length))
            << static_cast<int>(entry.key[0]);
        EXPECT_EQ(std::wstring(value), entry.value);
    }
    wchar_t* description = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\0C0A04B0\\FileDescription",
                               reinterpret_cast<void**>(&description), &length));
    EXPECT_NE(std::wstring(description).find(L"espa\u00F1ol"), std::wstring::npos);
}

TEST(ProgramIdentity, TheThreeCarriedFilesStayResourcesOfType256) {
    HMODULE module = load_program();
    ASSERT_NE(module, nullptr);
    for (const wchar_t* name : {L"Delta_patch", L"Ru_op", L"Ry_op"}) {
        EXPECT_NE(FindResourceW(module, name, MAKEINTRESOURCEW(256)), nullptr);
    }
    FreeLibrary(module);
}

} // namespace
