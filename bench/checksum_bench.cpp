// Adler-32 over an 8 MiB buffer: each of our kernels, the one adler32 picks
// on this processor, and the checksums of zlib and libdeflate on the same
// bytes. scripts/bench reads the medians of these.

#include "bench/peer_checksums.h"
#include "delta/adler32.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::size_t BUFFER_BYTES = 8u << 20;

const std::vector<unsigned char>& buffer() {
    static std::vector<unsigned char> bytes;
    if (bytes.empty()) {
        bytes.resize(BUFFER_BYTES);
        std::uint64_t x = 0x853C49E6748FEA9Bu;
        for (unsigned char& b : bytes) {
            x = x * 6364136223846793005u + 1442695040888963407u;
            b = static_cast<unsigned char>(x >> 56);
        }
    }
    return bytes;
}

using Checksum = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);

void run_checksum(benchmark::State& state, Checksum checksum) {
    const std::vector<unsigned char>& bytes = buffer();
    // Every contender must agree with the portable kernel, or its speed means nothing.
    const std::uint32_t expected =
        adler32_with_kernel(ADLER32_KERNEL_SCALAR, 1, bytes.data(), bytes.size());
    if (checksum(1, bytes.data(), bytes.size()) != expected) {
        state.SkipWithError("wrong checksum");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(checksum(1, bytes.data(), bytes.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes.size()));
}

std::uint32_t ours_scalar(std::uint32_t a, const unsigned char* p, std::size_t n) {
    return adler32_with_kernel(ADLER32_KERNEL_SCALAR, a, p, n);
}
std::uint32_t ours_ssse3(std::uint32_t a, const unsigned char* p, std::size_t n) {
    return adler32_with_kernel(ADLER32_KERNEL_SSSE3, a, p, n);
}
std::uint32_t ours_avx2(std::uint32_t a, const unsigned char* p, std::size_t n) {
    return adler32_with_kernel(ADLER32_KERNEL_AVX2, a, p, n);
}
std::uint32_t ours_avx512_vnni(std::uint32_t a, const unsigned char* p, std::size_t n) {
    return adler32_with_kernel(ADLER32_KERNEL_AVX512_VNNI, a, p, n);
}
std::uint32_t ours_chosen(std::uint32_t a, const unsigned char* p, std::size_t n) {
    return adler32(a, p, n);
}

void BM_Adler32(benchmark::State& state, Checksum checksum, Adler32Kernel kernel) {
    if (!adler32_kernel_available(kernel)) {
        state.SkipWithError("kernel not available on this processor");
        return;
    }
    run_checksum(state, checksum);
}

void BM_Adler32Peer(benchmark::State& state, Checksum checksum) {
    run_checksum(state, checksum);
}

BENCHMARK_CAPTURE(BM_Adler32, scalar, ours_scalar, ADLER32_KERNEL_SCALAR);
BENCHMARK_CAPTURE(BM_Adler32, ssse3, ours_ssse3, ADLER32_KERNEL_SSSE3);
BENCHMARK_CAPTURE(BM_Adler32, avx2, ours_avx2, ADLER32_KERNEL_AVX2);
BENCHMARK_CAPTURE(BM_Adler32, avx512_vnni, ours_avx512_vnni, ADLER32_KERNEL_AVX512_VNNI);
BENCHMARK_CAPTURE(BM_Adler32, chosen, ours_chosen, ADLER32_KERNEL_SCALAR);
BENCHMARK_CAPTURE(BM_Adler32Peer, zlib, zlib_adler32);
BENCHMARK_CAPTURE(BM_Adler32Peer, libdeflate, libdeflate_adler32_of);

} // namespace
