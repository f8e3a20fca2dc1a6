#include "bench/peer_checksums.h"

#include <libdeflate.h>
#include <zlib.h>

std::uint32_t zlib_adler32(std::uint32_t adler, const unsigned char* bytes, std::size_t length) {
    // zlib takes at most 4 GiB - 1 bytes per call; the benchmark buffer is 8 MiB.
    return static_cast<std::uint32_t>(adler32(adler, bytes, static_cast<uInt>(length)));
}

std::uint32_t libdeflate_adler32_of(std::uint32_t adler, const unsigned char* bytes,
                                    std::size_t length) {
    return libdeflate_adler32(adler, bytes, length);
}
