#include "delta/driver.h"

#include "delta/loop.h"
#include "delta/source_reader.h"
#include "delta/stream.h"
#include "delta/writer.h"
#include "io/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/memory.h"
#include "platform/resource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Decoder blocks from this size on (the target window) get the advice for
// large pages.
static constexpr usize_t LARGE_BLOCK_BYTES = 4194304;

// Where the patch bytes come from: the program's own resource, handed to the
// decoder in place, or a patch file read one chunk at a time into one buffer.
struct PatchInput {
    const unsigned char* memory; // next resource byte; null when reading a file
    std::uint64_t remaining;     // resource bytes not yet handed over
    std::FILE* file;             // patch file, or null
    unsigned char* chunk;        // the patch file's current chunk
};

// Everything one call owns, so that every way out releases the same things.
struct PatchRun {
    DeltaStream stream;
    DeltaConfig config;
    DeltaSource source;
    SourceReader source_file;
    std::FILE* output;
    OutputWriter writer; // writes to output while it is open
    PatchInput patch;
    bool show_progress;
    std::int32_t progress_start;
    std::int32_t progress_end;
    std::uint32_t expected_output_bytes;
    std::uint64_t bytes_written;
    std::int32_t last_percentage;
    const char* failure; // why a callback ended the run; null: the decoder did
    bool ended;          // released; result and reason are the run's last word
    std::int32_t result;
    const char* reason;
};

std::int32_t progress_percentage(std::uint64_t written, std::uint32_t expected_output_bytes,
                                 std::int32_t progress_start, std::int32_t progress_end) {
    const long double share =
        static_cast<long double>(written) / static_cast<long double>(expected_output_bytes);
    const std::int64_t span = static_cast<std::int64_t>(progress_end) - progress_start;
    double scaled = static_cast<double>(share * static_cast<long double>(span));
    // Only a target far larger than announced gets here; converting such a
    // value to an integer would be undefined.
    if (scaled > 2147483647.0) {
        scaled = 2147483647.0;
    } else if (scaled < -2147483647.0) {
        scaled = -2147483647.0;
    }
    std::int64_t percentage = progress_start + static_cast<std::int64_t>(scaled);
    if (percentage > INT32_MAX) {
        percentage = INT32_MAX;
    } else if (percentage < INT32_MIN) {
        percentage = INT32_MIN;
    }
    return static_cast<std::int32_t>(percentage);
}

// The decoder's blocks come from the C library as by default, the target
// window with the advice for large pages: it is written through once per
// window, and with ordinary pages its page faults and address-translation
// misses cost more than a tenth of the whole run.
static void* allocate_for_decoder(void* opaque, std::uint32_t count, usize_t size) {
    (void)opaque;
    // As by default, a product past 32 bits is refused, not cut down.
    const usize_t bytes = usize_t{count} * (size & 0xFFFFFFFFu);
    if (bytes > 0xFFFFFFFFu) {
        return nullptr;
    }
    void* block = std::malloc(static_cast<std::size_t>(bytes));
    if (block != nullptr && bytes >= LARGE_BLOCK_BYTES) {
        advise_large_pages(block, static_cast<std::size_t>(bytes));
    }
    return block;
}

static void free_for_decoder(void* opaque, void* block) {
    (void)opaque;
    std::free(block);
}

// Releases whatever the call still holds. The decoder's buffers and the block
// buffer go on every road, not only on success.
static void release_driver(PatchRun* state) {
    // The writer may still be reading the target buffer.
    stop_output_writer(&state->writer);
    free_stream(&state->stream);
    if (state->output != nullptr) {
        std::fclose(state->output);
        state->output = nullptr;
    }
    close_source_reader(&state->source_file);
    if (state->patch.file != nullptr) {
        std::fclose(state->patch.file);
        state->patch.file = nullptr;
    }
    std::free(state->patch.chunk);
    state->patch.chunk = nullptr;
}

// Ends the run with result (0, or a failure that reason explains); every
// later call gets the same.
static std::int32_t end_run(PatchRun* state, std::int32_t result, const char* reason,
                            const char** message) {
    release_driver(state);
    state->ended = true;
    state->result = result;
    state->reason = reason;
    if (message != nullptr) {
        *message = reason;
    }
    return result;
}

// Hands the decoder the next piece of patch. A length of 0 means the patch is
// used up. The file road reuses its buffer: the loop asks again only once the
// decoder has consumed the previous piece.
static std::int32_t next_patch_chunk(void* opaque, const unsigned char** bytes, usize_t* length) {
    PatchRun* state = static_cast<PatchRun*>(opaque);
    PatchInput* patch = &state->patch;
    std::uint64_t count = 0;
    if (patch->file == nullptr) {
        count = patch->remaining < PATCH_CHUNK_SIZE ? patch->remaining : PATCH_CHUNK_SIZE;
        *bytes = patch->memory;
        patch->memory += count;
        patch->remaining -= count;
    } else {
        count = std::fread(patch->chunk, 1, PATCH_CHUNK_SIZE, patch->file);
        if (count < PATCH_CHUNK_SIZE && std::ferror(patch->file) != 0) {
            state->failure = "cannot read the patch file";
            return PATCH_READ_FAILED;
        }
        *bytes = patch->chunk;
    }
    // The decoder does not consult the flag; it only marks the last piece.
    if (count < PATCH_CHUNK_SIZE) {
        state->stream.flags |= FLAG_FLUSH;
    }
    *length = count;
    return 0;
}

// Answers the decoder's request for source: a range read straight into the
// window, or a block, from the read-ahead buffer when it holds it.
static std::int32_t answer_source_request(void* opaque, DeltaSource* source) {
    PatchRun* state = static_cast<PatchRun*>(opaque);
    (void)source; // the driver's own record
    // Only a stream with a source asks; the check keeps a null file out of
    // the reads should that ever change.
    if (state->source_file.descriptor < 0) {
        state->failure = "source input required";
        return DECODE_INVALID_INPUT;
    }
    const std::int32_t result = read_requested_source(&state->source_file, &state->source);
    if (result != 0) {
        state->failure = "cannot position or read the source";
    }
    return result;
}

// Hands the writer what the decoder has produced of the window so far, in
// whole pieces: the bytes before end are final, and written now they are
// still in the cache. 0, or the failure result for the call.
static std::int32_t hand_over_produced_bytes(PatchRun* state, const unsigned char* window,
                                             usize_t end) {
    OutputWriter* writer = &state->writer;
    if (end < writer->handed + WRITE_PIECE_BYTES) {
        return 0;
    }
    const usize_t whole = end - (end - writer->handed) % WRITE_PIECE_BYTES;
    return hand_over_window_bytes(writer, window, whole) ? 0 : PATCH_OUTPUT_FAILED;
}

// Writes the rest of the finished window, waits until all of it is in the
// file and shows the progress; 0, or the failure result for the call.
static std::int32_t write_target_window(PatchRun* state, const unsigned char* window,
                                        usize_t length) {
    hand_over_window_bytes(&state->writer, window, length);
    bool complete = false;
    const usize_t count = finish_window_writes(&state->writer, &complete);
    if (!complete) {
        // Part of the window reached the file: report how much, as the run
        // only needs a nonzero result. Nothing at all gets its own value.
        return count != 0 ? static_cast<std::int32_t>(count) : PATCH_OUTPUT_FAILED;
    }
    state->bytes_written += count;
    if (state->show_progress && state->expected_output_bytes != 0) {
        const std::int32_t percentage =
            progress_percentage(state->bytes_written, state->expected_output_bytes,
                                state->progress_start, state->progress_end);
        if (percentage != state->last_percentage) {
            state->last_percentage = percentage;
            print_console_text("Progresi\xF3n: ");
            print_console_format("%d %%\r", percentage);
        }
    }
    return 0;
}

static std::int32_t write_target(void* opaque, const unsigned char* window, usize_t end,
                                 bool window_done) {
    PatchRun* state = static_cast<PatchRun*>(opaque);
    if (state->expected_output_bytes != 0 &&
        state->bytes_written + end > state->expected_output_bytes) {
        state->failure = "the patch makes a target longer than expected";
        return PATCH_WRONG_SIZE;
    }
    const std::int32_t result = window_done ? write_target_window(state, window, end)
                                            : hand_over_produced_bytes(state, window, end);
    if (result != 0) {
        state->failure = "cannot write the output";
        return result;
    }
    // Each whole window returns to the caller, who may have to wait for
    // its writes (the web page) before the next one.
    return window_done ? LOOP_PAUSED : 0;
}

// An interrupt is honoured between two steps of the decoder; the caller
// removes the output.
static std::int32_t check_interrupt(void* opaque) {
    if (!interrupt_requested()) {
        return 0;
    }
    static_cast<PatchRun*>(opaque)->failure = "interrupted";
    return PATCH_INTERRUPTED;
}

// Opens the source for block reads. A source that does not open is not an
// error here: the first window that needs it fails in the decoder.
static std::int32_t open_source(PatchRun* state, const char* source_path) {
    const int descriptor = open_existing_file(source_path, FILE_READ);
    if (descriptor < 0) {
        return 0;
    }
    return start_source_reader(&state->source_file, descriptor, &state->stream, &state->source);
}

static std::int32_t open_patch(PatchRun* state, const char* patch_resource_name,
                               const char* patch_file_path) {
    PatchInput* patch = &state->patch;
    if (patch_resource_name != nullptr) {
        std::uint32_t size = 0;
        if (!find_resource(patch_resource_name, &patch->memory, &size)) {
            return PATCH_NOT_FOUND;
        }
        patch->remaining = size;
        return 0;
    }
    if (patch_file_path == nullptr) {
        return PATCH_NOT_FOUND;
    }
    patch->file = open_file_stream(patch_file_path, "rb");
    if (patch->file == nullptr) {
        return PATCH_NOT_FOUND;
    }
    patch->chunk = static_cast<unsigned char*>(std::malloc(PATCH_CHUNK_SIZE));
    return patch->chunk != nullptr ? 0 : DECODE_OUT_OF_MEMORY;
}

std::int32_t apply_delta_patch(bool show_progress, std::int32_t progress_start,
                               std::int32_t progress_end, std::uint32_t expected_output_bytes,
                               const char* patch_resource_name, const char* source_path,
                               const char* output_path, const char* patch_file_path) {
    return apply_delta_patch_ex(show_progress, progress_start, progress_end, expected_output_bytes,
                                patch_resource_name, source_path, output_path, patch_file_path,
                                nullptr);
}

std::int32_t apply_delta_patch_ex(bool show_progress, std::int32_t progress_start,
                                  std::int32_t progress_end, std::uint32_t expected_output_bytes,
                                  const char* patch_resource_name, const char* source_path,
                                  const char* output_path, const char* patch_file_path,
                                  const char** message) {
    const PatchRequest request = {show_progress,         progress_start,      progress_end,
                                  expected_output_bytes, patch_resource_name, source_path,
                                  output_path,           patch_file_path};
    PatchRun* run = nullptr;
    std::int32_t result = start_patch_run(&request, &run, message);
    while (result == PATCH_WINDOW_WRITTEN) {
        result = continue_patch_run(run, message);
    }
    end_patch_run(run);
    return result;
}

std::int32_t start_patch_run(const PatchRequest* request, PatchRun** run, const char** message) {
    if (message != nullptr) {
        *message = nullptr;
    }
    PatchRun* state = static_cast<PatchRun*>(std::calloc(1, sizeof(PatchRun)));
    *run = state;
    if (state == nullptr) {
        if (message != nullptr) {
            *message = "out of memory";
        }
        return DECODE_OUT_OF_MEMORY;
    }
    state->source_file.descriptor = -1;
    state->show_progress = request->show_progress;
    state->progress_start = request->progress_start;
    state->progress_end = request->progress_end;
    state->expected_output_bytes = request->expected_output_bytes;

    // Nothing is created or decoded without a patch to apply.
    std::int32_t result = open_patch(state, request->patch_resource_name, request->patch_file_path);
    if (result != 0) {
        return end_run(state, result,
                       result == PATCH_NOT_FOUND ? "patch not found" : "out of memory", message);
    }

    state->config.alloc = allocate_for_decoder;
    state->config.free = free_for_decoder;
    configure_stream(&state->stream, &state->config);

    result = open_source(state, request->source_path);
    if (result != 0) {
        return end_run(state, result,
                       result == DECODE_OUT_OF_MEMORY ? "out of memory"
                                                      : "cannot position or read the source",
                       message);
    }
    // Decoding into a stream that never opened would lose every window.
    state->output = open_file_stream(request->output_path, "wb");
    if (state->output == nullptr) {
        return end_run(state, PATCH_OUTPUT_FAILED, "cannot create the output", message);
    }
    start_output_writer(&state->writer, state->output);
    return PATCH_WINDOW_WRITTEN;
}

std::int32_t continue_patch_run(PatchRun* state, const char** message) {
    if (state->ended) {
        if (message != nullptr) {
            *message = state->reason;
        }
        return state->result;
    }
    const DeltaCallbacks callbacks = {next_patch_chunk, answer_source_request, write_target,
                                      check_interrupt, state};
    std::int32_t result = run_delta_stream(&state->stream, &callbacks);
    if (result == LOOP_PAUSED) {
        return PATCH_WINDOW_WRITTEN;
    }
    if (result != 0) {
        return end_run(state, result,
                       state->failure != nullptr ? state->failure : state->stream.message, message);
    }
    // close_stream also accepts a stream still waiting for its magic bytes,
    // that is an empty patch: no patch at all.
    if (state->stream.decode_state != STATE_WINDOW_INDICATOR) {
        return end_run(state, DECODE_INVALID_INPUT, "patch ends inside its header", message);
    }
    if (state->expected_output_bytes != 0 && state->bytes_written != state->expected_output_bytes) {
        return end_run(state, PATCH_WRONG_SIZE, "the patch makes a target shorter than expected",
                       message);
    }
    // Buffered bytes and delayed write errors surface only here.
    stop_output_writer(&state->writer);
    std::FILE* output = state->output;
    state->output = nullptr;
    if (std::fclose(output) != 0) {
        return end_run(state, PATCH_OUTPUT_FAILED, "cannot write the output", message);
    }
    return end_run(state, 0, nullptr, message);
}

std::uint64_t patch_run_written(const PatchRun* run) {
    return run->bytes_written;
}

void end_patch_run(PatchRun* run) {
    if (run != nullptr) {
        release_driver(run);
        std::free(run);
    }
}
