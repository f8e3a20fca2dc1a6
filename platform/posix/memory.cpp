#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

// The large page of x86-64 and of most other 64-bit systems.
static constexpr std::uintptr_t LARGE_PAGE_BYTES = 2 * 1024 * 1024;

void advise_large_pages(void* memory, std::size_t size) {
#ifdef MADV_HUGEPAGE
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = (start + LARGE_PAGE_BYTES - 1) & ~(LARGE_PAGE_BYTES - 1);
    const std::uintptr_t last = (start + size) & ~(LARGE_PAGE_BYTES - 1);
    if (last > first) {
        // A refusal leaves ordinary pages, which work the same.
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)memory;
    (void)size;
#endif
}
