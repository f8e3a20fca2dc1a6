#pragma once

// Adler-32 as defined by RFC 1950. Start with 1 for a fresh checksum; the
// result of one range is the start value of the next.

#include <cstdint>

std::uint32_t adler32(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length);
