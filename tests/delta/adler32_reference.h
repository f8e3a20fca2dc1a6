#pragma once

// RFC 1950 Adler-32, one byte at a time and reduced every byte in 64 bits: the
// slow, obviously right value every kernel is held to.

#include <cstddef>
#include <cstdint>

inline std::uint32_t reference_adler(std::uint32_t start, const unsigned char* p, std::size_t n) {
    std::uint64_t s1 = start & 0xFFFF;
    std::uint64_t s2 = start >> 16;
    for (std::size_t i = 0; i < n; i++) {
        s1 = (s1 + p[i]) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    return static_cast<std::uint32_t>(s2 << 16 | s1);
}
