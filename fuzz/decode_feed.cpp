#include "fuzz/decode_feed.h"

#include "delta/loop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What the block hook needs besides the decoder's record. DeltaSource comes
// first, so the hook gets from the record to the rest.
struct FeedSource {
    DeltaSource source;
    const Bytes* bytes;
    Bytes block;
    std::uint64_t loads;
};

struct AllocationCounter {
    std::uint32_t calls;
    std::uint32_t failing;
    std::uint64_t delta_size;
};

// Each block in a buffer of exactly its valid length; a block past the end
// of the source has none. Never null: a null block reads as "nothing loaded".
void load_block(FeedSource* feed, usize_t number) {
    DeltaSource* source = &feed->source;
    const Bytes& bytes = *feed->bytes;
    usize_t begin = bytes.size();
    if (number <= bytes.size() / source->block_size) {
        begin = number * source->block_size;
    }
    const usize_t left = bytes.size() - begin;
    const usize_t count = left < source->block_size ? left : source->block_size;
    Bytes fresh(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                bytes.begin() + static_cast<std::ptrdiff_t>(begin + count));
    fresh.reserve(1);
    feed->block.swap(fresh);
    source->current_block = feed->block.data();
    source->current_block_number = number;
    source->block_bytes = count;
    feed->loads++;
}

// The range the decoder asked for, cut at the end of the source, written
// where it said: a destination outside its target buffer is a finding.
void fill_range(FeedSource* feed) {
    DeltaSource* source = &feed->source;
    const Bytes& bytes = *feed->bytes;
    usize_t count = 0;
    if (source->fill_position < bytes.size()) {
        const usize_t left = bytes.size() - source->fill_position;
        count = left < source->fill_length ? left : source->fill_length;
        std::memcpy(source->fill_destination, bytes.data() + source->fill_position, count);
    }
    source->filled_length = count;
    feed->loads++;
}

std::int32_t hook_block(DeltaStream*, DeltaSource* source, usize_t number) {
    load_block(reinterpret_cast<FeedSource*>(source), number);
    return 0;
}

void* counting_alloc(void* opaque, std::uint32_t count, usize_t size) {
    AllocationCounter* counter = static_cast<AllocationCounter*>(opaque);
    counter->calls++;
    if (counter->calls == counter->failing) {
        return nullptr;
    }
    // Only the target buffer and the application header are sized from
    // announced lengths, and both are bounded by the largest window (the
    // header with its trailing zero byte). Section copies grow with the
    // delta bytes that arrived: at most twice as many, plus one unit.
    const usize_t bytes = usize_t{count} * (size & 0xFFFFFFFFu);
    fuzz_check(bytes <= HARD_MAX_WINDOW + 1 || bytes <= 2 * counter->delta_size + ALLOCATION_UNIT,
               "an allocation larger than the delta's bytes or the largest window");
    // A machine with little memory to spare: the decoder must fail cleanly
    // when refused, which the fuzzer checks, instead of the fuzzer stopping
    // at the request.
    if (bytes > FEED_ALLOCATION_LIMIT) {
        return nullptr;
    }
    return std::malloc(static_cast<std::size_t>(bytes));
}

void counting_free(void*, void* pointer) {
    std::free(pointer);
}

void hash_bytes(std::uint64_t* hash, const unsigned char* bytes, usize_t count) {
    for (usize_t i = 0; i < count; i++) {
        *hash = (*hash ^ bytes[i]) * 0x100000001B3u;
    }
}

} // namespace

void fuzz_check(bool condition, const char* message) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", message);
        std::abort();
    }
}

const Bytes& fuzz_source() {
    static const Bytes source = [] {
        Bytes bytes(5000);
        std::uint64_t state = 3284;
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(next_random(&state) >> 56);
        }
        for (std::size_t i = 0; i < 700; i++) {
            bytes[3000 + i] = bytes[100 + i];
        }
        return bytes;
    }();
    return source;
}

namespace {

// The feeder's own reason to end a run: the output budget is reached.
constexpr std::int32_t FEED_BUDGET_REACHED = 1;

struct Feed {
    const unsigned char* delta;
    std::size_t size;
    const FeedOptions* options;
    DeltaStream* stream;
    FeedSource* source;
    Bytes* output;
    FeedResult* result;
    std::uint64_t random;
    std::size_t position;
    Bytes piece;
    std::uint64_t calls;
    std::uint64_t budget;
    usize_t windows_begun; // windows whose header has been read
};

std::int32_t next_piece(void* opaque, const unsigned char** bytes, usize_t* length) {
    Feed* feed = static_cast<Feed*>(opaque);
    fuzz_check(feed->stream->avail_in == 0, "DECODE_NEED_INPUT with input left");
    std::size_t count = feed->size - feed->position;
    if (feed->options->chunk_seed != 0) {
        const std::size_t cut = 1 + next_random(&feed->random) % feed->options->max_piece;
        count = cut < count ? cut : count;
    }
    // A fresh buffer per piece: the last one is gone once the decoder has
    // asked for more, so any pointer kept into it is caught.
    Bytes fresh(feed->delta + feed->position, feed->delta + feed->position + count);
    feed->piece.swap(fresh);
    feed->position += count;
    *bytes = feed->piece.data();
    *length = count;
    return 0;
}

std::int32_t answer_source(void* opaque, DeltaSource* source) {
    Feed* feed = static_cast<Feed*>(opaque);
    const FeedOptions& options = *feed->options;
    if (source->fill_length != 0) {
        fuzz_check(options.source != nullptr && !options.block_hook && options.fill_minimum != 0 &&
                       source->fill_length >= options.fill_minimum,
                   "a range was asked for that the caller did not offer");
        fill_range(feed->source);
        return 0;
    }
    fuzz_check(options.source != nullptr && !options.block_hook,
               "a block was asked for with nowhere to ask");
    fuzz_check(source->current_block == nullptr ||
                   source->requested_block_number != source->current_block_number,
               "the block already loaded was asked for again");
    load_block(feed->source, source->requested_block_number);
    return 0;
}

std::int32_t take_window(void* opaque, const unsigned char* window, usize_t end, bool window_done) {
    Feed* feed = static_cast<Feed*>(opaque);
    FeedResult* result = feed->result;
    if (!window_done) {
        fuzz_check(end <= feed->stream->target_window_length,
                   "more produced than the window holds");
        return 0;
    }
    fuzz_check(end == feed->stream->target_window_length, "a window handed out short or long");
    hash_bytes(&result->output_hash, window, end);
    if (feed->output != nullptr) {
        feed->output->insert(feed->output->end(), window, window + end);
    }
    result->output_bytes += end;
    result->windows++;
    if (result->output_bytes > FEED_OUTPUT_BUDGET) {
        result->stopped_early = true;
        return FEED_BUDGET_REACHED;
    }
    return 0;
}

// Every status but DECODE_NEED_SOURCE_BLOCK is at most a few per window or
// per piece, and a window costs at least a few delta bytes; block requests
// are bounded by the window's target length. A decoder that needs more
// calls than this is going round in circles.
std::int32_t count_call(void* opaque) {
    Feed* feed = static_cast<Feed*>(opaque);
    const DeltaStream* stream = feed->stream;
    // Each window, once its header is read, earns calls for its target.
    if (stream->decode_state >= STATE_DATA_SECTION &&
        stream->decode_state <= STATE_WINDOW_FINISHED &&
        stream->current_window + 1 > feed->windows_begun) {
        feed->windows_begun = stream->current_window + 1;
        feed->budget += 2 * stream->target_window_length + 64;
    }
    fuzz_check(feed->calls++ < feed->budget, "decode_input does not come to an end");
    return 0;
}

} // namespace

FeedResult feed_delta(const unsigned char* delta, std::size_t size, const FeedOptions& options,
                      Bytes* output) {
    FeedResult result = {0, 0xCBF29CE484222325u, 0, 0, false};
    AllocationCounter counter = {0, options.failing_allocation, size};
    DeltaConfig config = {};
    config.flags = options.flags;
    config.alloc = counting_alloc;
    config.free = counting_free;
    config.opaque = &counter;
    config.getblk = options.block_hook ? hook_block : nullptr;

    DeltaStream stream;
    std::int32_t status = configure_stream(&stream, &config);
    fuzz_check(status == 0, "configure_stream refused a plain configuration");

    FeedSource source = {};
    if (options.source != nullptr) {
        source.bytes = options.source;
        source.source.block_size = options.block_size;
        source.source.fill_minimum = options.fill_minimum;
        if (options.stale_range) {
            static unsigned char elsewhere[64];
            source.source.fill_destination = elsewhere;
            source.source.fill_position = 1;
            source.source.fill_length = sizeof elsewhere;
            source.source.filled_length = sizeof elsewhere;
        }
        set_source(&stream, &source.source);
        fuzz_check(source.source.block_size != 0 &&
                       (source.source.block_size & (source.source.block_size - 1)) == 0 &&
                       source.source.block_size >= options.block_size,
                   "set_source did not round the block size up to a power of two");
        if (options.preload_block0) {
            load_block(&source, 0);
        }
    }

    Feed feed = {delta,   size,   &options, &stream,
                 &source, output, &result,  options.chunk_seed,
                 0,       {},     0,        1024 + 16 * std::uint64_t{size},
                 0};
    const DeltaCallbacks callbacks = {next_piece, answer_source, take_window, count_call, &feed};
    status = run_delta_stream(&stream, &callbacks);
    if (result.stopped_early) {
        status = DECODE_HAVE_OUTPUT;
    } else if (status != 0 && status == stream.failed_status) {
        // A failure is final: asking again must give the same answer.
        fuzz_check(decode_input(&stream) == status, "a failure did not stay");
    }
    fuzz_check(std::strcmp(stream.message != nullptr ? stream.message : "",
                           "the decoder stopped without a status") != 0,
               "decode_input returned 0");
    result.status = status;
    free_stream(&stream);
    return result;
}
