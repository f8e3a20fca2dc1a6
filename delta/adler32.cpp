#include "delta/adler32.h"

namespace {

constexpr std::uint32_t ADLER_MODULUS = 65521;

// Largest n for which the 32-bit sums cannot overflow before the reduction:
// starting from s1, s2 <= 65535, n bytes of 255 leave s2 at most
// 65535 + n * 65535 + 255 * n * (n + 1) / 2. For n = 5552 that is
// 4,294,773,495, just under 2^32 - 1; for n = 5553 it is 4,296,255,045.
constexpr std::uint64_t MAX_CHUNK = 5552;

} // namespace

std::uint32_t adler32(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length) {
    std::uint32_t s1 = adler & 0xFFFF;
    std::uint32_t s2 = adler >> 16;

    while (length != 0) {
        std::uint64_t chunk = length < MAX_CHUNK ? length : MAX_CHUNK;
        length -= chunk;
        // 16 bytes at a time without the byte-to-byte dependency: s2 grows
        // by 16 times the s1 it had plus each byte weighted by the number of
        // s1 values that include it. The sums equal those of the byte loop,
        // so the bound above holds for them too.
        while (chunk >= 16) {
            std::uint32_t sum = 0;
            std::uint32_t weighted = 0;
            for (int i = 0; i < 16; i++) {
                sum += bytes[i];
                weighted += static_cast<std::uint32_t>(16 - i) * bytes[i];
            }
            s2 += 16 * s1 + weighted;
            s1 += sum;
            bytes += 16;
            chunk -= 16;
        }
        while (chunk != 0) {
            s1 += *bytes++;
            s2 += s1;
            chunk--;
        }
        s1 %= ADLER_MODULUS;
        s2 %= ADLER_MODULUS;
    }
    return (s2 << 16) | s1;
}
