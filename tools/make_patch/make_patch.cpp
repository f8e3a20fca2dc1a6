#include "tools/make_patch/make_patch.h"

#include "delta/summary.h"
#include "io/file_access.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/memory.h"
#include "platform/temporary_file.h"
#include "platform/thread.h"
#include "tools/make_patch/match.h"
#include "tools/make_patch/source_file.h"
#include "tools/make_patch/source_index.h"
#include "tools/make_patch/verify.h"
#include "tools/vcdiff/window_writer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Threads that plan and encode windows. Windows are independent once the
// source index is built, so each one takes the next window to come; the
// verifier takes them in order as they are done.
constexpr std::size_t ENCODERS = 2;

// A window being encoded by each encoder and one being verified.
constexpr std::uint64_t WINDOW_SLOTS = ENCODERS + 1;

// A target window and its patch bytes, handed from an encoding thread to
// the verifying one.
struct WindowSlot {
    unsigned char* target;
    std::size_t length;
    std::vector<unsigned char> patch;
    bool full; // waiting for the verifier or being verified
};

// What the threads share; the fields above the line only under the monitor.
struct Pipeline {
    Monitor* monitor;
    WindowSlot slots[WINDOW_SLOTS];
    std::uint64_t next_window;  // the next window an encoder takes
    std::uint64_t done_windows; // windows verified and written
    bool no_more_windows;
    const char* failure; // the first failure of any thread
    // Verifier thread only:
    Verifier verifier;
    std::FILE* output;
    std::uint64_t target_bytes;
    std::uint64_t verified;
    std::uint64_t written;
    bool show_progress;
    int shown_percentage;
    std::chrono::steady_clock::time_point started;
};

void fail_pipeline(Pipeline* pipeline, const char* reason) {
    enter_monitor(pipeline->monitor);
    if (pipeline->failure == nullptr) {
        pipeline->failure = reason;
    }
    wake_monitor_waiters(pipeline->monitor);
    leave_monitor(pipeline->monitor);
}

void show_progress(Pipeline* pipeline) {
    const int percentage = static_cast<int>(pipeline->verified * 100 / pipeline->target_bytes);
    if (percentage == pipeline->shown_percentage) {
        return;
    }
    pipeline->shown_percentage = percentage;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - pipeline->started).count();
    const double rate = seconds > 0 ? static_cast<double>(pipeline->verified) / 1e6 / seconds : 0;
    std::printf("make-patch: %3d %% of the target, %.0f MB/s\r", percentage, rate);
    std::fflush(stdout);
}

// The verifier thread: takes the windows in order, decodes and compares each
// one, and only then appends its bytes to the temporary file.
void verify_windows(void* argument) {
    Pipeline* pipeline = static_cast<Pipeline*>(argument);
    for (std::uint64_t k = 0;; k++) {
        WindowSlot* slot = &pipeline->slots[k % WINDOW_SLOTS];
        enter_monitor(pipeline->monitor);
        while (!slot->full && !pipeline->no_more_windows && pipeline->failure == nullptr) {
            wait_in_monitor(pipeline->monitor);
        }
        const bool stop = pipeline->failure != nullptr || !slot->full;
        leave_monitor(pipeline->monitor);
        if (stop) {
            return;
        }
        const char* reason = nullptr;
        if (!verify_window(&pipeline->verifier, slot->patch.data(), slot->patch.size(),
                           slot->target, slot->length, &reason)) {
            fail_pipeline(pipeline, reason);
            return;
        }
        if (std::fwrite(slot->patch.data(), 1, slot->patch.size(), pipeline->output) !=
            slot->patch.size()) {
            fail_pipeline(pipeline, "cannot write the patch file");
            return;
        }
        pipeline->written += slot->patch.size();
        pipeline->verified += slot->length;
        if (pipeline->show_progress) {
            show_progress(pipeline);
        }
        enter_monitor(pipeline->monitor);
        slot->full = false;
        slot->patch.clear();
        pipeline->done_windows = k + 1;
        wake_monitor_waiters(pipeline->monitor);
        leave_monitor(pipeline->monitor);
    }
}

// One encoding thread's own reading and matching state.
struct Encoder {
    Pipeline* pipeline;
    const SourceIndex* index;
    SourceCache cache;
    int target_descriptor;
    Matcher matcher;
    std::vector<PlannedOp> plan;
    std::vector<VcdiffInstruction> scratch;
    VcdiffEncodeOptions encoding;
    std::uint64_t source_bytes;
    std::uint64_t target_bytes;
    std::uint64_t window_bytes;
};

// Takes windows until none is left: reads, plans and encodes each one into
// its slot, which is free once the window WINDOW_SLOTS before it is verified.
void encode_windows(void* argument) {
    Encoder* encoder = static_cast<Encoder*>(argument);
    Pipeline* pipeline = encoder->pipeline;
    for (;;) {
        enter_monitor(pipeline->monitor);
        const std::uint64_t k = pipeline->next_window;
        const std::uint64_t offset = k * encoder->window_bytes;
        bool stop = pipeline->failure != nullptr || offset >= encoder->target_bytes;
        if (!stop) {
            pipeline->next_window++;
        }
        while (!stop && k >= pipeline->done_windows + WINDOW_SLOTS) {
            wait_in_monitor(pipeline->monitor);
            stop = pipeline->failure != nullptr;
        }
        leave_monitor(pipeline->monitor);
        if (stop) {
            return;
        }
        if (interrupt_requested()) {
            fail_pipeline(pipeline, "interrupted");
            return;
        }
        WindowSlot* slot = &pipeline->slots[k % WINDOW_SLOTS];
        const std::uint64_t left = encoder->target_bytes - offset;
        slot->length =
            static_cast<std::size_t>(left < encoder->window_bytes ? left : encoder->window_bytes);
        std::size_t got = 0;
        if (!read_file_at(encoder->target_descriptor, offset, slot->target, slot->length, &got) ||
            got != slot->length) {
            fail_pipeline(pipeline, "cannot read the target");
            return;
        }
        plan_window(&encoder->matcher, slot->target, slot->length, &encoder->plan);
        if (encoder->cache.failed) {
            fail_pipeline(pipeline, "cannot read the source");
            return;
        }
        if (!vcdiff_write_planned_window(&slot->patch, encoder->plan, slot->target, slot->length,
                                         encoder->source_bytes, encoder->encoding,
                                         &encoder->scratch)) {
            fail_pipeline(pipeline, "the window writer refused a planned window");
            return;
        }
        enter_monitor(pipeline->monitor);
        slot->full = true;
        wake_monitor_waiters(pipeline->monitor);
        leave_monitor(pipeline->monitor);
    }
}

// Everything one run owns, released on every way out.
struct Run {
    SourceIndex index;
    Encoder encoders[ENCODERS];
    Pipeline pipeline;
    WorkerThread* verifier_thread;
    std::string temporary_path;
    TemporaryFile temporary;
};

void release_run(Run* run) {
    if (run->verifier_thread != nullptr) {
        fail_pipeline(&run->pipeline, "stopped");
        join_worker_thread(run->verifier_thread);
        run->verifier_thread = nullptr;
    }
    free_verifier(&run->pipeline.verifier);
    if (run->pipeline.output != nullptr) {
        std::fclose(run->pipeline.output);
        run->pipeline.output = nullptr;
    }
    discard_temporary_file(&run->temporary, run->temporary_path.c_str());
    for (WindowSlot& slot : run->pipeline.slots) {
        std::free(slot.target);
        slot.target = nullptr;
    }
    if (run->pipeline.monitor != nullptr) {
        destroy_monitor(run->pipeline.monitor);
        run->pipeline.monitor = nullptr;
    }
    for (Encoder& encoder : run->encoders) {
        if (encoder.target_descriptor >= 0) {
            file_close(encoder.target_descriptor);
            encoder.target_descriptor = -1;
        }
        close_source_cache(&encoder.cache);
    }
    free_source_index(&run->index);
}

// The system's reason goes with the messages about a file; it is taken
// before cleaning up can change it.
bool fail_run(Run* run, char* reason, std::size_t reason_size, const char* text,
              const char* path = nullptr, bool with_errno = false) {
    const int error = errno;
    const std::string system = error != 0 ? std::strerror(error) : "not a file";
    release_run(run);
    if (path == nullptr) {
        std::snprintf(reason, reason_size, "%s", text);
    } else if (with_errno) {
        std::snprintf(reason, reason_size, "%s %s (%s)", text, path, system.c_str());
    } else {
        std::snprintf(reason, reason_size, "%s %s", text, path);
    }
    return false;
}

// Length of the file at path, or -1 when it cannot be opened as a file.
std::int64_t measure_file(const char* path) {
    errno = 0;
    const int descriptor = open_existing_file(path, FILE_READ);
    if (descriptor < 0) {
        return -1;
    }
    const std::int64_t length = file_length(descriptor);
    file_close(descriptor);
    return length;
}

} // namespace

bool make_patch(const MakePatchOptions& options, MakePatchResult* result, char* reason,
                std::size_t reason_size) {
    *result = MakePatchResult{};
    Run run;
    run.index = SourceIndex{};
    for (Encoder& encoder : run.encoders) {
        encoder.cache = SourceCache{};
        encoder.cache.descriptor = -1;
        encoder.target_descriptor = -1;
    }
    run.pipeline = Pipeline{};
    run.pipeline.verifier.descriptor = -1;
    run.pipeline.shown_percentage = -1;
    run.verifier_thread = nullptr;
    run.temporary = TemporaryFile{-1, -1};

    const std::int64_t source_length = measure_file(options.source_path);
    if (source_length < 0) {
        return fail_run(&run, reason, reason_size, "cannot read the source", options.source_path,
                        true);
    }
    const std::int64_t target_length = measure_file(options.target_path);
    if (target_length < 0) {
        return fail_run(&run, reason, reason_size, "cannot read the target", options.target_path,
                        true);
    }
    const std::uint64_t source_bytes = static_cast<std::uint64_t>(source_length);
    const std::uint64_t target_bytes = static_cast<std::uint64_t>(target_length);
    result->source_bytes = source_bytes;
    result->target_bytes = target_bytes;
    if (target_bytes > MAX_TARGET_BYTES) {
        return fail_run(&run, reason, reason_size,
                        "the target is larger than 4294967295 bytes, the most the patcher's "
                        "32-bit sizes and offsets address:",
                        options.target_path);
    }
    if (source_bytes > MAX_INDEXED_SOURCE) {
        return fail_run(&run, reason, reason_size,
                        "the source is too large to index:", options.source_path);
    }

    // The header goes out first: the temporary file proves the folder takes
    // a file before minutes are spent on the index.
    std::vector<unsigned char> header;
    if (options.with_checksum) {
        // In the form the patcher's build reads back to check what it carries.
        char app_header[SIZES_HEADER_CAPACITY];
        const std::size_t app_header_length =
            write_sizes_header(source_bytes, target_bytes, app_header);
        vcdiff_write_header(&header, reinterpret_cast<const unsigned char*>(app_header),
                            app_header_length);
    } else {
        vcdiff_write_header(&header, nullptr, 0);
    }
    // A copy of the tool already writing the same patch is left alone.
    run.temporary_path = std::string(options.patch_path) + ".incomplete";
    const TemporaryStatus created =
        create_temporary_file(run.temporary_path.c_str(), &run.temporary);
    if (created == TEMPORARY_HELD) {
        return fail_run(&run, reason, reason_size, "another running program is writing",
                        run.temporary_path.c_str());
    }
    if (created == TEMPORARY_CREATED) {
        run.pipeline.output = open_file_stream(run.temporary_path.c_str(), "wb");
    }
    if (run.pipeline.output == nullptr) {
        return fail_run(&run, reason, reason_size,
                        "cannot create a file in the patch's folder:", run.temporary_path.c_str(),
                        true);
    }
    if (std::fwrite(header.data(), 1, header.size(), run.pipeline.output) != header.size()) {
        return fail_run(&run, reason, reason_size, "cannot write the patch file",
                        run.temporary_path.c_str());
    }
    run.pipeline.written = header.size();

    const char* failure = nullptr;
    run.pipeline.started = std::chrono::steady_clock::now();
    if (!build_source_index(options.source_path, source_bytes, &run.index, &failure)) {
        return fail_run(&run, reason, reason_size, failure, options.source_path);
    }
    for (Encoder& encoder : run.encoders) {
        if (!open_source_cache(&encoder.cache, options.source_path, source_bytes)) {
            return fail_run(&run, reason, reason_size, "cannot read the source",
                            options.source_path);
        }
        encoder.target_descriptor = open_existing_file(options.target_path, FILE_READ);
        if (encoder.target_descriptor < 0) {
            return fail_run(&run, reason, reason_size, "cannot read the target",
                            options.target_path);
        }
    }
    if (!start_verifier(&run.pipeline.verifier, options.source_path, source_bytes, header.data(),
                        header.size(), &failure)) {
        return fail_run(&run, reason, reason_size, "cannot verify the patch:", failure);
    }
    const std::uint64_t window_bytes =
        target_bytes < PATCH_WINDOW_BYTES ? target_bytes : PATCH_WINDOW_BYTES;
    for (WindowSlot& slot : run.pipeline.slots) {
        slot.target = static_cast<unsigned char*>(
            std::malloc(static_cast<std::size_t>(window_bytes != 0 ? window_bytes : 1)));
        if (slot.target == nullptr) {
            return fail_run(&run, reason, reason_size, "out of memory");
        }
        advise_large_pages(slot.target, static_cast<std::size_t>(window_bytes));
    }
    run.pipeline.monitor = create_monitor();
    if (run.pipeline.monitor == nullptr) {
        return fail_run(&run, reason, reason_size, "out of memory");
    }
    run.pipeline.target_bytes = target_bytes;
    run.pipeline.show_progress = options.show_progress && target_bytes != 0;
    run.verifier_thread = start_worker_thread(verify_windows, &run.pipeline);
    if (run.verifier_thread == nullptr) {
        return fail_run(&run, reason, reason_size, "cannot start the verifying thread");
    }

    Pipeline* pipeline = &run.pipeline;
    for (Encoder& encoder : run.encoders) {
        encoder.pipeline = pipeline;
        encoder.index = &run.index;
        init_matcher(&encoder.matcher, &run.index, &encoder.cache, window_bytes);
        encoder.encoding = VcdiffEncodeOptions{};
        encoder.encoding.with_checksum = options.with_checksum;
        encoder.source_bytes = source_bytes;
        encoder.target_bytes = target_bytes;
        encoder.window_bytes = window_bytes;
    }
    // Without a second thread the first encoder takes every window.
    WorkerThread* helpers[ENCODERS] = {};
    for (std::size_t i = 1; i < ENCODERS; i++) {
        helpers[i] = start_worker_thread(encode_windows, &run.encoders[i]);
    }
    encode_windows(&run.encoders[0]);
    for (WorkerThread* helper : helpers) {
        if (helper != nullptr) {
            join_worker_thread(helper);
        }
    }
    const std::uint64_t windows = pipeline->next_window;
    enter_monitor(pipeline->monitor);
    pipeline->no_more_windows = true;
    wake_monitor_waiters(pipeline->monitor);
    leave_monitor(pipeline->monitor);
    join_worker_thread(run.verifier_thread);
    run.verifier_thread = nullptr;
    if (options.show_progress && target_bytes != 0) {
        std::printf("\n");
    }

    if (pipeline->failure != nullptr) {
        return fail_run(&run, reason, reason_size, pipeline->failure);
    }
    if (pipeline->verified != target_bytes) {
        return fail_run(&run, reason, reason_size, "the patch does not produce the whole target");
    }
    if (!finish_verifier(&pipeline->verifier, &failure)) {
        return fail_run(&run, reason, reason_size, failure);
    }
    std::FILE* output = pipeline->output;
    pipeline->output = nullptr;
    if (std::fclose(output) != 0) {
        return fail_run(&run, reason, reason_size, "cannot write the patch file",
                        run.temporary_path.c_str());
    }
    const PublishResult published =
        publish_file(&run.temporary, run.temporary_path.c_str(), options.patch_path);
    if (published == PUBLISH_INTERRUPTED) {
        return fail_run(&run, reason, reason_size, "interrupted");
    }
    if (published != PUBLISH_DONE) {
        return fail_run(&run, reason, reason_size,
                        published == PUBLISH_NOT_WRITTEN ? "cannot bring the patch to the disk:"
                                                         : "cannot put the patch in place:",
                        options.patch_path, true);
    }
    result->patch_bytes = pipeline->written;
    result->windows = windows;
    release_run(&run);
    return true;
}
