#pragma once

// The Adler-32 of the two libraries our kernels are measured against, behind
// names of their own (zlib's function is called adler32 too).

#include <cstddef>
#include <cstdint>

std::uint32_t zlib_adler32(std::uint32_t adler, const unsigned char* bytes, std::size_t length);
std::uint32_t libdeflate_adler32_of(std::uint32_t adler, const unsigned char* bytes,
                                    std::size_t length);
