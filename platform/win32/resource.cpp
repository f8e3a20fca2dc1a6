#include "platform/resource.h"

#include <windows.h>

bool find_resource(const char* name, const unsigned char** data, std::uint32_t* size) {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(module, name, MAKEINTRESOURCEA(256));
    if (found == nullptr) {
        return false;
    }
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        return false;
    }
    *data = static_cast<const unsigned char*>(LockResource(loaded));
    *size = SizeofResource(module, found);
    return *data != nullptr || *size == 0;
}
