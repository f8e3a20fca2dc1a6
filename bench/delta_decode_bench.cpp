// Decoding speed of a delta shaped like a translation patch: nearly all of
// the target is source COPYs across 16 KiB blocks, with some new bytes,
// runs and repeats, and an Adler-32 on every window. Input is handed over
// in 16 KiB pieces, source blocks are copied into one block buffer and every
// window into the output, as the patch driver does with its files.

#include "delta/adler32.h"
#include "delta/stream.h"
#include "tools/vcdiff/encoder.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t SOURCE_LENGTH = 48u << 20;
constexpr std::size_t TARGET_LENGTH = 48u << 20;
constexpr std::size_t BLOCK = 16384;
constexpr std::size_t CHUNK = 16384;

std::uint64_t next_random(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

struct Workload {
    Bytes source;
    Bytes target;
    Bytes delta;
};

const Workload& workload() {
    static Workload w;
    if (!w.delta.empty()) {
        return w;
    }
    std::uint64_t random = 42;
    w.source.resize(SOURCE_LENGTH);
    for (unsigned char& b : w.source) {
        b = static_cast<unsigned char>(next_random(&random));
    }
    // Mostly moved pieces of the source; about 3% new bytes, some runs and
    // short repeating patterns.
    while (w.target.size() < TARGET_LENGTH) {
        const std::uint64_t pick = next_random(&random) % 100;
        const std::size_t n = 1 + next_random(&random) % 65536;
        if (pick < 90) {
            const std::size_t at = next_random(&random) % (SOURCE_LENGTH - n);
            w.target.insert(w.target.end(), w.source.begin() + static_cast<std::ptrdiff_t>(at),
                            w.source.begin() + static_cast<std::ptrdiff_t>(at + n));
        } else if (pick < 96) {
            for (std::size_t i = 0; i < n % 2048; i++) {
                w.target.push_back(static_cast<unsigned char>(next_random(&random)));
            }
        } else if (pick < 98) {
            w.target.insert(w.target.end(), n % 4096, static_cast<unsigned char>(pick));
        } else {
            const std::size_t period = 2 + n % 30;
            const std::size_t start = w.target.size();
            for (std::size_t i = 0; i < period; i++) {
                w.target.push_back(static_cast<unsigned char>(next_random(&random)));
            }
            for (std::size_t i = period; i < n % 8192; i++) {
                w.target.push_back(w.target[start + i - period]);
            }
        }
    }
    w.target.resize(TARGET_LENGTH);

    VcdiffEncodeOptions options = {};
    options.window_size = 8u << 20;
    options.match_block = 32;
    options.with_checksum = true;
    vcdiff_encode(w.source.data(), w.source.size(), w.target.data(), w.target.size(), options,
                  &w.delta);
    return w;
}

void BM_DecodeCopyDominatedDelta(benchmark::State& state) {
    const Workload& w = workload();
    Bytes output(w.target.size());
    Bytes block(BLOCK);
    for (auto _ : state) {
        DeltaConfig config = {};
        config.window_size = 16384;
        config.flags = FLAG_ADLER32;
        DeltaStream stream;
        configure_stream(&stream, &config);
        DeltaSource source = {};
        source.block_size = BLOCK;
        source.current_block = block.data();
        std::memcpy(block.data(), w.source.data(), BLOCK);
        source.block_bytes = BLOCK;
        set_source(&stream, &source);

        std::size_t fed = 0;
        std::size_t written = 0;
        std::int32_t status = DECODE_NEED_INPUT;
        for (;;) {
            if (status == DECODE_NEED_INPUT) {
                if (fed == w.delta.size()) {
                    break;
                }
                const std::size_t n = std::min(CHUNK, w.delta.size() - fed);
                stream.next_in = w.delta.data() + fed;
                stream.avail_in = n;
                fed += n;
            } else if (status == DECODE_NEED_SOURCE_BLOCK) {
                const usize_t number = source.requested_block_number;
                const std::size_t begin = static_cast<std::size_t>(number * BLOCK);
                const std::size_t n =
                    begin < w.source.size() ? std::min(BLOCK, w.source.size() - begin) : 0;
                std::memcpy(block.data(), w.source.data() + begin, n);
                source.current_block_number = number;
                source.block_bytes = n;
            } else if (status == DECODE_HAVE_OUTPUT) {
                std::memcpy(output.data() + written, stream.next_out, stream.avail_out);
                written += stream.avail_out;
                stream.avail_out = 0;
            } else if (status != DECODE_GOT_HEADER && status != DECODE_WINDOW_START &&
                       status != DECODE_WINDOW_FINISH) {
                state.SkipWithError(stream.message);
                break;
            }
            status = decode_input(&stream);
        }
        free_stream(&stream);
        if (written != w.target.size()) {
            state.SkipWithError("wrong target length");
            break;
        }
    }
    if (output != w.target) {
        state.SkipWithError("wrong target bytes");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(w.target.size()));
    state.counters["delta_bytes"] = static_cast<double>(w.delta.size());
}
BENCHMARK(BM_DecodeCopyDominatedDelta)->Unit(benchmark::kMillisecond);

void BM_Adler32(benchmark::State& state) {
    const Workload& w = workload();
    const std::size_t length = 8u << 20;
    for (auto _ : state) {
        benchmark::DoNotOptimize(adler32(1, w.target.data(), length));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(length));
}
BENCHMARK(BM_Adler32)->Unit(benchmark::kMillisecond);

} // namespace
