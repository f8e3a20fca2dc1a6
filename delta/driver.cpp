#include "delta/driver.h"

#include "app/console.h"
#include "delta/stream.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/resource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The source is read in 16 KiB blocks, often several in a row. A stdio buffer
// of eight blocks turns a run of them into one system call; every jump
// elsewhere refills the whole buffer, so a much larger one reads more than it
// saves (1 MiB made the demo patch, which jumps a lot, markedly slower).
static constexpr std::size_t SOURCE_STREAM_BUFFER_SIZE = 8 * SOURCE_BLOCK_SIZE;

// Marks a source position that is not known (after a failed read), so that
// the next block is always sought.
static constexpr std::uint64_t UNKNOWN_POSITION = ~static_cast<std::uint64_t>(0);

// Where the patch bytes come from: the program's own resource, handed to the
// decoder in place, or a patch file read one chunk at a time into one buffer.
struct PatchInput {
    const unsigned char* memory; // next resource byte; null when reading a file
    std::uint64_t remaining;     // resource bytes not yet handed over
    std::FILE* file;             // patch file, or null
    unsigned char* chunk;        // the patch file's current chunk
};

struct SourceFile {
    std::FILE* file;        // null when the source did not open
    char* stream_buffer;    // stdio buffer of file; lives until file is closed
    unsigned char* block;   // the one block buffer the decoder reads from
    std::uint64_t position; // file position after the last read
};

// Everything one call owns, so that every way out releases the same things.
struct DriverState {
    DeltaStream stream;
    DeltaConfig config;
    DeltaSource source;
    SourceFile source_file;
    std::FILE* output;
    PatchInput patch;
    bool show_progress;
    std::int32_t progress_start;
    std::int32_t progress_end;
    std::uint32_t expected_output_bytes;
    std::uint64_t bytes_written;
    std::int32_t last_percentage;
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

// Releases whatever the call still holds. The decoder's buffers and the block
// buffer go on every road, not only on success.
static void release_driver(DriverState* state) {
    free_stream(&state->stream);
    std::free(state->source_file.block);
    state->source_file.block = nullptr;
    if (state->output != nullptr) {
        std::fclose(state->output);
        state->output = nullptr;
    }
    if (state->source_file.file != nullptr) {
        std::fclose(state->source_file.file);
        state->source_file.file = nullptr;
    }
    std::free(state->source_file.stream_buffer);
    state->source_file.stream_buffer = nullptr;
    if (state->patch.file != nullptr) {
        std::fclose(state->patch.file);
        state->patch.file = nullptr;
    }
    std::free(state->patch.chunk);
    state->patch.chunk = nullptr;
}

static std::int32_t fail_driver(DriverState* state, std::int32_t result, const char* reason,
                                const char** message) {
    release_driver(state);
    if (message != nullptr) {
        *message = reason;
    }
    return result;
}

// Hands the decoder the next piece of patch. A length of 0 means the patch is
// used up. The previous piece must have been consumed (DECODE_NEED_INPUT),
// since the file road reuses its buffer.
static std::int32_t next_patch_chunk(DriverState* state, std::uint64_t* length) {
    PatchInput* patch = &state->patch;
    const unsigned char* bytes = nullptr;
    std::uint64_t count = 0;
    if (patch->file == nullptr) {
        count = patch->remaining < PATCH_CHUNK_SIZE ? patch->remaining : PATCH_CHUNK_SIZE;
        bytes = patch->memory;
        patch->memory += count;
        patch->remaining -= count;
    } else {
        count = std::fread(patch->chunk, 1, PATCH_CHUNK_SIZE, patch->file);
        if (count < PATCH_CHUNK_SIZE && std::ferror(patch->file) != 0) {
            return PATCH_READ_FAILED;
        }
        bytes = patch->chunk;
    }
    // The decoder does not consult the flag; it only marks the last piece.
    if (count < PATCH_CHUNK_SIZE) {
        state->stream.flags |= FLAG_FLUSH;
    }
    state->stream.next_in = bytes;
    state->stream.avail_in = count;
    *length = count;
    return 0;
}

// Loads the block the decoder asked for into the one block buffer.
static std::int32_t load_source_block(DriverState* state) {
    SourceFile* file = &state->source_file;
    DeltaSource* source = &state->source;
    const usize_t block_number = source->requested_block_number;
    const std::uint64_t position = block_number * source->block_size;
    // The next block in sequence is where the last read stopped; seeking
    // there anyway would throw away the stdio buffer.
    if (position != file->position || std::feof(file->file) != 0) {
        if (stream_seek(file->file, position) != 0) {
            file->position = UNKNOWN_POSITION;
            return PATCH_SOURCE_UNUSABLE;
        }
    }
    const std::size_t count = std::fread(file->block, 1, source->block_size, file->file);
    if (count < source->block_size && std::ferror(file->file) != 0) {
        file->position = UNKNOWN_POSITION;
        return PATCH_SOURCE_UNUSABLE;
    }
    // A short count is the end of the source: the last block, or none past it.
    file->position = position + count;
    source->current_block_number = block_number;
    source->block_bytes = count;
    return 0;
}

// Writes the finished window; 0, or the failure result for the call.
static std::int32_t write_target_window(DriverState* state) {
    DeltaStream* stream = &state->stream;
    const std::size_t count = std::fwrite(stream->next_out, 1, stream->avail_out, state->output);
    if (count != stream->avail_out) {
        // Part of the window reached the file: report how much, as the run
        // only needs a nonzero result. Nothing at all gets its own value.
        return count != 0 ? static_cast<std::int32_t>(count) : PATCH_OUTPUT_FAILED;
    }
    if (state->show_progress && state->expected_output_bytes != 0) {
        state->bytes_written += count;
        const std::int32_t percentage =
            progress_percentage(state->bytes_written, state->expected_output_bytes,
                                state->progress_start, state->progress_end);
        if (percentage != state->last_percentage) {
            state->last_percentage = percentage;
            print_console_text("Progresi\xF3n: ");
            print_console_format("%d %%\r", percentage);
        }
    }
    stream->avail_out = 0;
    return 0;
}

// Opens the source for block reads: bigger stdio buffer, positioned at the
// start, block 0 preloaded. A source that does not open is not an error here:
// the first window that needs it fails in the decoder.
static std::int32_t open_source(DriverState* state, const char* source_path) {
    SourceFile* file = &state->source_file;
    file->file = std::fopen(source_path, "rb");
    if (file->file == nullptr) {
        return 0;
    }
    file->stream_buffer = static_cast<char*>(std::malloc(SOURCE_STREAM_BUFFER_SIZE));
    if (file->stream_buffer != nullptr) {
        std::setvbuf(file->file, file->stream_buffer, _IOFBF, SOURCE_STREAM_BUFFER_SIZE);
    }
    file->block = static_cast<unsigned char*>(std::malloc(SOURCE_BLOCK_SIZE));
    if (file->block == nullptr) {
        return DECODE_OUT_OF_MEMORY;
    }
    // Rewinding proves the source can be positioned at all; a stat of the
    // file would tell nothing more that the block reads need.
    if (stream_seek(file->file, 0) != 0) {
        return PATCH_SOURCE_UNUSABLE;
    }
    file->position = 0;
    state->source.block_size = SOURCE_BLOCK_SIZE;
    state->source.current_block = file->block;
    state->source.current_block_number = 0;
    const std::size_t count = std::fread(file->block, 1, SOURCE_BLOCK_SIZE, file->file);
    if (count < SOURCE_BLOCK_SIZE && std::ferror(file->file) != 0) {
        return PATCH_SOURCE_UNUSABLE;
    }
    file->position = count;
    state->source.block_bytes = count;
    set_source(&state->stream, &state->source);
    return 0;
}

static std::int32_t open_patch(DriverState* state, const char* patch_resource_name,
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
    patch->file = std::fopen(patch_file_path, "rb");
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
    DriverState state;
    std::memset(&state, 0, sizeof state);
    state.show_progress = show_progress;
    state.progress_start = progress_start;
    state.progress_end = progress_end;
    state.expected_output_bytes = expected_output_bytes;

    // Nothing is created or decoded without a patch to apply.
    std::int32_t result = open_patch(&state, patch_resource_name, patch_file_path);
    if (result != 0) {
        return fail_driver(&state, result,
                           result == PATCH_NOT_FOUND ? "patch not found" : "out of memory",
                           message);
    }

    state.config.window_size = 16384;
    state.config.flags = FLAG_ADLER32;
    configure_stream(&state.stream, &state.config);

    result = open_source(&state, source_path);
    if (result != 0) {
        return fail_driver(&state, result,
                           result == DECODE_OUT_OF_MEMORY ? "out of memory"
                                                          : "cannot position or read the source",
                           message);
    }
    // Decoding into a stream that never opened would lose every window.
    state.output = std::fopen(output_path, "wb");
    if (state.output == nullptr) {
        return fail_driver(&state, PATCH_OUTPUT_FAILED, "cannot create the output", message);
    }

    std::uint64_t chunk_length = 0;
    if (next_patch_chunk(&state, &chunk_length) != 0) {
        return fail_driver(&state, PATCH_READ_FAILED, "cannot read the patch file", message);
    }
    while (chunk_length != 0) {
        // An interrupt is honoured between two steps of the decoder, at most
        // one window (64 MiB) after it arrived; the caller removes the output.
        if (interrupt_requested()) {
            return fail_driver(&state, PATCH_INTERRUPTED, "interrupted", message);
        }
        const std::int32_t status = decode_input(&state.stream);
        if (status == DECODE_GOT_HEADER || status == DECODE_WINDOW_START ||
            status == DECODE_WINDOW_FINISH) {
            continue;
        }
        if (status == DECODE_NEED_SOURCE_BLOCK) {
            // Only a stream with a source asks; the check keeps a null file
            // out of the reads should that ever change.
            if (state.source_file.file == nullptr) {
                return fail_driver(&state, DECODE_INVALID_INPUT, "source input required", message);
            }
            result = load_source_block(&state);
            if (result != 0) {
                return fail_driver(&state, result, "cannot position or read the source", message);
            }
            continue;
        }
        if (status == DECODE_HAVE_OUTPUT) {
            result = write_target_window(&state);
            if (result != 0) {
                return fail_driver(&state, result, "cannot write the output", message);
            }
            continue;
        }
        if (status == DECODE_NEED_INPUT) {
            if (next_patch_chunk(&state, &chunk_length) != 0) {
                return fail_driver(&state, PATCH_READ_FAILED, "cannot read the patch file",
                                   message);
            }
            continue;
        }
        return fail_driver(&state, status, state.stream.message, message);
    }

    // Every patch byte is consumed. A patch cut inside a window has not
    // produced the whole target: close_stream says so.
    result = close_stream(&state.stream);
    if (result != 0) {
        return fail_driver(&state, result, state.stream.message, message);
    }
    // close_stream also accepts a stream still waiting for its magic bytes,
    // that is an empty patch or one cut inside them: no patch at all.
    if (state.stream.decode_state != STATE_WINDOW_INDICATOR) {
        return fail_driver(&state, DECODE_INVALID_INPUT, "patch ends inside its header", message);
    }
    // Buffered bytes and delayed write errors surface only here.
    std::FILE* output = state.output;
    state.output = nullptr;
    if (std::fclose(output) != 0) {
        return fail_driver(&state, PATCH_OUTPUT_FAILED, "cannot write the output", message);
    }
    release_driver(&state);
    if (message != nullptr) {
        *message = nullptr;
    }
    return 0;
}
