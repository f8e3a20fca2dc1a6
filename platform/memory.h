#pragma once

// Advice to the system about memory the program has allocated.

#include <cstddef>

// Buffers of many megabytes that are filled once and read through, such as a
// target window or a movie region: asks the system to back the large-page
// aligned part of [memory, memory + size) with large pages, which take far
// fewer page faults and address-translation misses. Only advice: a system
// may ignore it, and nothing about the memory's contents changes.
void advise_large_pages(void* memory, std::size_t size);
