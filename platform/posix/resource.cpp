#include "platform/resource.h"

#include "platform/posix/embedded.h"

#include <cstring>

bool find_resource(const char* name, const unsigned char** data, std::uint32_t* size) {
    if (embedded_resources == nullptr) {
        return false;
    }
    for (const EmbeddedResource* entry = embedded_resources; entry->name != nullptr; ++entry) {
        if (std::strcmp(entry->name, name) == 0) {
            *data = entry->begin;
            *size = static_cast<std::uint32_t>(entry->end - entry->begin);
            return true;
        }
    }
    return false;
}
