#include "platform/held_files.h"

#include <cstdlib>
#include <cstring>

namespace {

// One temporary file a run at a time is all any program here writes; two
// leave room for a tool that one day keeps a second.
constexpr int HELD_CAPACITY = 2;

struct HeldFile {
    char* path; // a copy, owned here; null when the entry is free
    std::intptr_t holder;
};

// Process-wide: the files are the process's. Entries change only while the
// program runs a single thread (before its helpers start, after they end).
HeldFile held_files[HELD_CAPACITY];

} // namespace

bool remember_held_file(const char* path, std::intptr_t holder) {
    for (HeldFile& entry : held_files) {
        if (entry.path == nullptr) {
            const std::size_t length = std::strlen(path) + 1;
            entry.path = static_cast<char*>(std::malloc(length));
            if (entry.path == nullptr) {
                return false;
            }
            std::memcpy(entry.path, path, length);
            entry.holder = holder;
            return true;
        }
    }
    return false;
}

std::intptr_t find_held_file(const char* path) {
    for (const HeldFile& entry : held_files) {
        if (entry.path != nullptr && std::strcmp(entry.path, path) == 0) {
            return entry.holder;
        }
    }
    return -1;
}

void forget_held_file(std::intptr_t holder) {
    for (HeldFile& entry : held_files) {
        if (entry.path != nullptr && entry.holder == holder) {
            std::free(entry.path);
            entry.path = nullptr;
            entry.holder = -1;
        }
    }
}
