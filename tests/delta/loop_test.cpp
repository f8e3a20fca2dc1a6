// The shared decoder loop ends a run with whatever a callback says: a source
// that cannot be read, an output that takes less than the window, a stop
// asked for between windows. Windows before the failure are handed out,
// none after it.

#include "delta/loop.h"
#include "tests/delta/decode_helpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const Bytes SOURCE = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                      'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'};

// Three windows, each a COPY of the source's first four bytes.
Bytes three_windows() {
    Bytes delta = plain_header();
    for (int i = 0; i < 3; i++) {
        RawWindow window;
        window.indicator = 1; // VCD_SOURCE
        window.source_length = SOURCE.size();
        window.target_length = 4;
        window.instructions = {0x14}; // COPY 4, mode SELF
        window.addresses = {0x00};
        put_window(&delta, window);
    }
    return delta;
}

struct Row {
    const char* name;
    std::int32_t source_status;   // what read_source returns
    int failing_window;           // write_target fails on this window (from 1); 0: never
    std::int32_t write_status;    // what it returns then: a short count, or a failure
    int stop_after;               // check_stop stops once this many windows are out; 0: never
    bool with_read_source;        // false: no read_source at all
    std::int32_t expected_status; // of run_delta_stream
    const char* expected_message; // of the stream, when the loop or decoder failed
    int expected_windows;         // windows taken whole
};

struct LoopRun {
    const Row* row;
    const Bytes* delta;
    bool fed;
    DeltaSource* source;
    int windows;
};

std::int32_t give_delta(void* opaque, const unsigned char** bytes, usize_t* length) {
    LoopRun* run = static_cast<LoopRun*>(opaque);
    *bytes = run->delta->data();
    *length = run->fed ? 0 : run->delta->size();
    run->fed = true;
    return 0;
}

std::int32_t give_source(void* opaque, DeltaSource* source) {
    LoopRun* run = static_cast<LoopRun*>(opaque);
    if (run->row->source_status != 0) {
        return run->row->source_status;
    }
    source->current_block = SOURCE.data();
    source->current_block_number = source->requested_block_number;
    source->block_bytes = source->requested_block_number == 0 ? SOURCE.size() : 0;
    return 0;
}

std::int32_t take_window(void* opaque, const unsigned char* window, usize_t end, bool done) {
    LoopRun* run = static_cast<LoopRun*>(opaque);
    if (!done) {
        return 0;
    }
    if (run->windows + 1 == run->row->failing_window) {
        return run->row->write_status;
    }
    EXPECT_EQ(std::string(window, window + end), "abcd");
    run->windows++;
    return 0;
}

std::int32_t stop_when_asked(void* opaque) {
    LoopRun* run = static_cast<LoopRun*>(opaque);
    return run->row->stop_after != 0 && run->windows == run->row->stop_after ? 77 : 0;
}

TEST(Loop, EndsWithTheStatusOfTheCallbackThatFailed) {
    const Row rows[] = {
        {"all windows", 0, 0, 0, 0, true, 0, nullptr, 3},
        {"source cannot be read", 5, 0, 0, 0, true, 5, nullptr, 0},
        {"second window written short", 0, 2, 3, 0, true, 3, nullptr, 1},
        {"third window not written at all", 0, 3, -3, 0, true, -3, nullptr, 2},
        {"stop between windows", 0, 0, 0, 1, true, 77, nullptr, 1},
        {"source wanted, none offered", 0, 0, 0, 0, false, DECODE_INVALID_INPUT,
         "source input required", 0},
    };
    const Bytes delta = three_windows();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeltaStream stream;
        ASSERT_EQ(configure_stream(&stream, nullptr), 0);
        DeltaSource source = {};
        source.block_size = 16384;
        set_source(&stream, &source);
        LoopRun run = {&row, &delta, false, &source, 0};
        const DeltaCallbacks callbacks = {give_delta, row.with_read_source ? give_source : nullptr,
                                          take_window, stop_when_asked, &run};
        EXPECT_EQ(run_delta_stream(&stream, &callbacks), row.expected_status);
        EXPECT_EQ(run.windows, row.expected_windows);
        if (row.expected_message != nullptr) {
            EXPECT_STREQ(stream.message, row.expected_message);
        }
        free_stream(&stream);
    }
}

// A run paused after each window goes on with the rest of the piece it had:
// pieces of five bytes end mid-window and mid-header alike.
struct PausedRun {
    const Bytes* delta;
    std::size_t fed;
    std::string target;
};

std::int32_t give_five_bytes(void* opaque, const unsigned char** bytes, usize_t* length) {
    PausedRun* run = static_cast<PausedRun*>(opaque);
    const std::size_t left = run->delta->size() - run->fed;
    *bytes = run->delta->data() + run->fed;
    *length = left < 5 ? left : 5;
    run->fed += *length;
    return 0;
}

std::int32_t give_whole_source(void* opaque, DeltaSource* source) {
    (void)opaque;
    source->current_block = SOURCE.data();
    source->current_block_number = source->requested_block_number;
    source->block_bytes = source->requested_block_number == 0 ? SOURCE.size() : 0;
    return 0;
}

std::int32_t pause_after_window(void* opaque, const unsigned char* window, usize_t end, bool done) {
    if (!done) {
        return 0;
    }
    static_cast<PausedRun*>(opaque)->target.append(window, window + end);
    return LOOP_PAUSED;
}

TEST(Loop, RunPausedAfterEachWindowGoesOnWhereItStopped) {
    const Bytes delta = three_windows();
    DeltaStream stream;
    ASSERT_EQ(configure_stream(&stream, nullptr), 0);
    DeltaSource source = {};
    source.block_size = 16384;
    set_source(&stream, &source);
    PausedRun run = {&delta, 0, ""};
    const DeltaCallbacks callbacks = {give_five_bytes, give_whole_source, pause_after_window,
                                      nullptr, &run};
    for (int window = 1; window <= 3; window++) {
        EXPECT_EQ(run_delta_stream(&stream, &callbacks), LOOP_PAUSED);
        EXPECT_EQ(run.target.size(), 4u * window);
    }
    EXPECT_EQ(run_delta_stream(&stream, &callbacks), 0);
    EXPECT_EQ(run.target, "abcdabcdabcd");
    EXPECT_EQ(run.fed, delta.size());
    free_stream(&stream);
}

} // namespace
