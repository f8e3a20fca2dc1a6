#pragma once

// What the processor we run on offers to the checksum kernels, asked once at
// run time: the program is built for the oldest x86 a player may have and
// still uses the wide registers where they exist.

#if defined(__x86_64__) || defined(__i386__)
#define PATCHER_X86 1
#else
#define PATCHER_X86 0
#endif

struct CpuFeatures {
    bool ssse3; // SSSE3 (pmaddubsw)
    bool avx2;  // AVX2, and the operating system saves the 256-bit registers
    // AVX-512 F, BW and VNNI, and the system saves the 512-bit and mask registers
    bool avx512_vnni;
};

// Asks the processor; all false on other architectures.
CpuFeatures detect_cpu_features();
