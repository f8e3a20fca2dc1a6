#include "platform/memory.h"

// Windows gives large pages only to accounts holding the right to lock pages
// in memory, which players' accounts do not: ordinary pages it is.
void advise_large_pages(void* memory, std::size_t size) {
    (void)memory;
    (void)size;
}
