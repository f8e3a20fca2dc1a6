// Decoding speed, memory to memory, on two deltas shaped like translation
// patches, each with an Adler-32 on every window:
//   copy-dominated: nearly all of the target is long source COPYs across
//     16 KiB blocks, with some new bytes, runs and repeats (the decoder's
//     throughput when copying is all there is to do);
//   fine-grained: the source walked in order in short COPYs with a few new
//     bytes between them, as when text is retranslated line by line (the
//     cost of each instruction).
// Input is handed over in 16 KiB pieces, source blocks are copied into one
// block buffer and every window into the output, as the patch driver does
// with its files.

#include "delta/adler32.h"
#include "delta/loop.h"
#include "delta/stream.h"
#include "tests/support/random/random.h"
#include "tests/support/vcdiff/encoder.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t SOURCE_LENGTH = 48u << 20;
constexpr std::size_t TARGET_LENGTH = 48u << 20;
constexpr std::size_t BLOCK = 16384;
constexpr std::size_t CHUNK = 16384;
constexpr std::size_t WINDOW = 8u << 20;

struct Workload {
    Bytes source;
    Bytes target;
    Bytes delta;
};

void fill_source(Bytes* source, std::uint64_t* random) {
    source->resize(SOURCE_LENGTH);
    for (unsigned char& b : *source) {
        b = static_cast<unsigned char>(next_random(random));
    }
}

const Workload& copy_dominated() {
    static Workload w;
    if (!w.delta.empty()) {
        return w;
    }
    std::uint64_t random = 42;
    fill_source(&w.source, &random);
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
    options.window_size = WINDOW;
    options.match_block = 32;
    options.with_checksum = true;
    vcdiff_encode(w.source.data(), w.source.size(), w.target.data(), w.target.size(), options,
                  &w.delta);
    return w;
}

// Each window copies from the stretch of source that corresponds to it:
// COPYs of 8 to 200 bytes in source order, 1 to 16 new bytes after most of
// them, now and then a few source bytes skipped, a short repeat of recent
// target bytes, or a run.
const Workload& fine_grained() {
    static Workload w;
    if (!w.delta.empty()) {
        return w;
    }
    std::uint64_t random = 42;
    fill_source(&w.source, &random);
    w.target.resize(TARGET_LENGTH);
    vcdiff_write_header(&w.delta, nullptr, 0);
    Bytes adds;
    std::vector<VcdiffInstruction> instructions;
    for (std::size_t begin = 0; begin < TARGET_LENGTH; begin += WINDOW) {
        // A segment a little longer than the window, since insertions
        // outnumber skipped bytes.
        const std::size_t segment_offset = begin;
        const std::size_t segment_length = WINDOW + WINDOW / 4 < SOURCE_LENGTH - begin
                                               ? WINDOW + WINDOW / 4
                                               : SOURCE_LENGTH - begin;
        unsigned char* out = w.target.data() + begin;
        std::size_t produced = 0;
        std::size_t source_at = 0;
        adds.clear();
        // The instructions point into adds: no window adds more bytes than
        // it produces, so this reserve keeps them from moving.
        adds.reserve(WINDOW);
        instructions.clear();
        while (produced < WINDOW) {
            const std::uint64_t r = next_random(&random);
            std::size_t n = 0;
            if (r % 64 == 0 && produced >= 64) {
                n = 4 + r / 64 % 60;
                n = n < WINDOW - produced ? n : WINDOW - produced;
                const std::size_t from = produced - 1 - (r >> 20) % 63;
                for (std::size_t i = 0; i < n; i++) {
                    out[produced + i] = out[from + i];
                }
                instructions.push_back({VCDIFF_COPY, n, segment_length + from, nullptr});
            } else if (r % 64 == 1) {
                n = 8 + r / 64 % 40;
                n = n < WINDOW - produced ? n : WINDOW - produced;
                adds.push_back(static_cast<unsigned char>(r >> 40));
                std::memset(out + produced, adds.back(), n);
                instructions.push_back({VCDIFF_RUN, n, 0, &adds.back()});
            } else if (r % 4 == 0) {
                n = 1 + r / 4 % 16;
                n = n < WINDOW - produced ? n : WINDOW - produced;
                for (std::size_t i = 0; i < n; i++) {
                    adds.push_back(static_cast<unsigned char>(next_random(&random)));
                }
                std::memcpy(out + produced, &adds[adds.size() - n], n);
                instructions.push_back({VCDIFF_ADD, n, 0, &adds[adds.size() - n]});
            } else {
                source_at += r % 16 == 3 ? r / 16 % 32 : 0;
                n = 8 + r / 16 % 193;
                n = n < WINDOW - produced ? n : WINDOW - produced;
                if (source_at + n > segment_length) {
                    source_at = 0;
                }
                std::memcpy(out + produced, w.source.data() + segment_offset + source_at, n);
                instructions.push_back({VCDIFF_COPY, n, source_at, nullptr});
                source_at += n;
            }
            produced += n;
        }
        const VcdiffWindowSpec spec = {true, segment_offset,          segment_length,
                                       true, adler32(1, out, WINDOW), WINDOW};
        vcdiff_write_window(&w.delta, spec, instructions.data(), instructions.size());
    }
    return w;
}

// One decoding: the patch in CHUNK pieces, blocks copied into one buffer,
// windows copied into the output.
struct Decoding {
    const Workload* workload;
    std::size_t fed;
    unsigned char* block;
    unsigned char* output;
    std::size_t written;
};

std::int32_t next_chunk(void* opaque, const unsigned char** bytes, usize_t* length) {
    Decoding* d = static_cast<Decoding*>(opaque);
    const std::size_t n = std::min(CHUNK, d->workload->delta.size() - d->fed);
    *bytes = d->workload->delta.data() + d->fed;
    *length = n;
    d->fed += n;
    return 0;
}

std::int32_t load_block(void* opaque, DeltaSource* source) {
    Decoding* d = static_cast<Decoding*>(opaque);
    const Bytes& bytes = d->workload->source;
    const usize_t number = source->requested_block_number;
    const std::size_t begin = static_cast<std::size_t>(number * BLOCK);
    const std::size_t n = begin < bytes.size() ? std::min(BLOCK, bytes.size() - begin) : 0;
    std::memcpy(d->block, bytes.data() + begin, n);
    source->current_block_number = number;
    source->block_bytes = n;
    return 0;
}

std::int32_t copy_window(void* opaque, const unsigned char* window, usize_t end, bool window_done) {
    Decoding* d = static_cast<Decoding*>(opaque);
    if (window_done) {
        std::memcpy(d->output + d->written, window, end);
        d->written += end;
    }
    return 0;
}

void run_decoder(benchmark::State& state, const Workload& w) {
    Bytes output(w.target.size());
    Bytes block(BLOCK);
    for (auto _ : state) {
        DeltaStream stream;
        configure_stream(&stream, nullptr);
        DeltaSource source = {};
        source.block_size = BLOCK;
        source.current_block = block.data();
        std::memcpy(block.data(), w.source.data(), BLOCK);
        source.block_bytes = BLOCK;
        set_source(&stream, &source);

        Decoding decoding = {&w, 0, block.data(), output.data(), 0};
        const DeltaCallbacks callbacks = {next_chunk, load_block, copy_window, nullptr, &decoding};
        if (run_delta_stream(&stream, &callbacks) != 0) {
            state.SkipWithError(stream.message);
        }
        free_stream(&stream);
        if (decoding.written != w.target.size()) {
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

void BM_DecodeCopyDominatedDelta(benchmark::State& state) {
    run_decoder(state, copy_dominated());
}
BENCHMARK(BM_DecodeCopyDominatedDelta)->Unit(benchmark::kMillisecond);

void BM_DecodeFineGrainedDelta(benchmark::State& state) {
    run_decoder(state, fine_grained());
}
BENCHMARK(BM_DecodeFineGrainedDelta)->Unit(benchmark::kMillisecond);

} // namespace
