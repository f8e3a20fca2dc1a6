#pragma once

// Adler-32 as defined by RFC 1950. Start with 1 for a fresh checksum; the
// result of one range is the start value of the next. Any number of threads
// may call it at once, the first calls of the process included.

#include <cstdint>

std::uint32_t adler32(std::uint32_t adler, const unsigned char* bytes, std::uint64_t length);

// The kernels adler32 chooses from, once, on its first call: the widest one
// this processor runs. All give the same value for the same arguments.
enum Adler32Kernel : std::uint8_t {
    ADLER32_KERNEL_SCALAR,      // portable; the only one outside x86
    ADLER32_KERNEL_SSSE3,       // 16-byte vectors
    ADLER32_KERNEL_AVX2,        // 32-byte vectors
    ADLER32_KERNEL_AVX512_VNNI, // 64-byte vectors with the byte dot product
    ADLER32_KERNEL_COUNT
};

// For tests and benchmarks: whether this processor (and build) can run kernel.
bool adler32_kernel_available(Adler32Kernel kernel);

// For tests and benchmarks: makes adler32 use kernel from now on. Returns
// false and changes nothing when the kernel is not available.
bool adler32_force_kernel(Adler32Kernel kernel);

// Undoes adler32_force_kernel: the next call chooses again.
void adler32_reset_kernel();

// The kernel adler32 uses now (choosing it if that has not happened yet).
Adler32Kernel adler32_current_kernel();

// For tests and benchmarks: runs one kernel directly. kernel must be available.
std::uint32_t adler32_with_kernel(Adler32Kernel kernel, std::uint32_t adler,
                                  const unsigned char* bytes, std::uint64_t length);
