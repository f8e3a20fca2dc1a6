#include "tools/make_patch/verify.h"

#include "delta/loop.h"
#include "platform/file.h"
#include "tools/make_patch/source_file.h"

#include <cstdlib>
#include <cstring>

static constexpr usize_t VERIFY_BLOCK_BYTES = 16384;
// A COPY that comes block by block spans at most three blocks (longer ones
// are read straight into the window); one read fetches them all.
static constexpr usize_t VERIFY_READ_BLOCKS = 4;
static constexpr usize_t DIRECT_COPY_BYTES = 2 * VERIFY_BLOCK_BYTES;

// Any nonzero status ends a run; the reason is kept beside it.
static constexpr std::int32_t VERIFY_FAILED = 1;

// One run of the decoder over a piece of patch: the file header, one window,
// or nothing (the closing check).
struct VerifyStep {
    Verifier* verifier;
    const unsigned char* patch; // handed to the decoder once, then the patch ends
    usize_t patch_length;
    const unsigned char* target; // what the window must decode to; null: no window
    usize_t target_length;
    bool produced;
    const char* failure; // why a callback ended the run
};

static std::int32_t give_patch(void* opaque, const unsigned char** bytes, usize_t* length) {
    VerifyStep* step = static_cast<VerifyStep*>(opaque);
    *bytes = step->patch;
    *length = step->patch_length;
    step->patch_length = 0;
    return 0;
}

static bool answer_source_request(Verifier* verifier);

static std::int32_t give_source(void* opaque, DeltaSource* source) {
    (void)source; // the verifier's own record
    VerifyStep* step = static_cast<VerifyStep*>(opaque);
    if (!answer_source_request(step->verifier)) {
        step->failure = "cannot read the source";
        return VERIFY_FAILED;
    }
    return 0;
}

static std::int32_t compare_window(void* opaque, const unsigned char* window, usize_t end,
                                   bool window_done) {
    VerifyStep* step = static_cast<VerifyStep*>(opaque);
    if (!window_done) {
        return 0;
    }
    if (step->produced || step->target == nullptr || end != step->target_length ||
        std::memcmp(window, step->target, static_cast<std::size_t>(end)) != 0) {
        step->failure = "the decoded window differs from the target";
        return VERIFY_FAILED;
    }
    step->produced = true;
    return 0;
}

// Runs the decoder over step's patch bytes; false with a reason.
static bool run_step(VerifyStep* step, const char* refusal, const char** reason) {
    const DeltaCallbacks callbacks = {give_patch, give_source, compare_window, nullptr, step};
    const std::int32_t status = run_delta_stream(&step->verifier->stream, &callbacks);
    if (status != 0) {
        *reason = step->failure != nullptr                    ? step->failure
                  : step->verifier->stream.message != nullptr ? step->verifier->stream.message
                                                              : refusal;
        return false;
    }
    return true;
}

bool start_verifier(Verifier* verifier, const char* source_path, std::uint64_t source_length,
                    const unsigned char* header, std::size_t header_length, const char** reason) {
    std::memset(verifier, 0, sizeof *verifier);
    verifier->descriptor = -1;
    configure_stream(&verifier->stream, nullptr);
    if (source_length != 0) {
        verifier->descriptor = open_existing_file(source_path, FILE_READ);
        verifier->blocks =
            static_cast<unsigned char*>(std::malloc(VERIFY_READ_BLOCKS * VERIFY_BLOCK_BYTES));
        if (verifier->descriptor < 0 || verifier->blocks == nullptr) {
            *reason = verifier->descriptor < 0 ? "cannot open the source" : "out of memory";
            return false;
        }
        verifier->source.block_size = VERIFY_BLOCK_BYTES;
        verifier->source.fill_minimum = DIRECT_COPY_BYTES;
        set_source(&verifier->stream, &verifier->source);
    }
    VerifyStep step = {verifier, header, header_length, nullptr, 0, false, nullptr};
    return run_step(&step, "the decoder refused the file header", reason);
}

// Answers the decoder's request for source bytes: a range read straight into
// the window, or a block from the read-ahead buffer.
static bool answer_source_request(Verifier* verifier) {
    DeltaSource* source = &verifier->source;
    if (verifier->descriptor < 0) {
        return false;
    }
    if (source->fill_length != 0) {
        std::size_t got = 0;
        const bool read =
            read_file_at(verifier->descriptor, source->fill_position, source->fill_destination,
                         static_cast<std::size_t>(source->fill_length), &got);
        source->filled_length = got;
        return read;
    }
    const usize_t block = source->requested_block_number;
    const usize_t held_blocks = (verifier->held + VERIFY_BLOCK_BYTES - 1) / VERIFY_BLOCK_BYTES;
    if (verifier->blocks == nullptr || block < verifier->first_block ||
        block - verifier->first_block >= held_blocks) {
        usize_t count = VERIFY_READ_BLOCKS;
        if (source->requested_last_block >= block &&
            source->requested_last_block - block < VERIFY_READ_BLOCKS) {
            count = source->requested_last_block - block + 1;
        }
        std::size_t got = 0;
        verifier->held = 0;
        if (!read_file_at(verifier->descriptor, block * VERIFY_BLOCK_BYTES, verifier->blocks,
                          static_cast<std::size_t>(count * VERIFY_BLOCK_BYTES), &got)) {
            return false;
        }
        verifier->first_block = block;
        verifier->held = got;
    }
    const usize_t offset = (block - verifier->first_block) * VERIFY_BLOCK_BYTES;
    const usize_t rest = verifier->held > offset ? verifier->held - offset : 0;
    source->current_block = verifier->blocks + offset;
    source->current_block_number = block;
    source->block_bytes = rest < VERIFY_BLOCK_BYTES ? rest : VERIFY_BLOCK_BYTES;
    return true;
}

bool verify_window(Verifier* verifier, const unsigned char* patch, std::size_t patch_length,
                   const unsigned char* target, std::size_t target_length, const char** reason) {
    VerifyStep step = {verifier, patch, patch_length, target, target_length, false, nullptr};
    if (!run_step(&step, "the decoder failed", reason)) {
        return false;
    }
    if (!step.produced) {
        *reason = "the decoder did not finish the window";
        return false;
    }
    return true;
}

bool finish_verifier(Verifier* verifier, const char** reason) {
    VerifyStep step = {verifier, nullptr, 0, nullptr, 0, false, nullptr};
    const char* ignored = nullptr;
    if (!run_step(&step, "", &ignored)) {
        *reason = "the patch does not end cleanly";
        return false;
    }
    return true;
}

void free_verifier(Verifier* verifier) {
    free_stream(&verifier->stream);
    std::free(verifier->blocks);
    if (verifier->descriptor >= 0) {
        file_close(verifier->descriptor);
    }
    std::memset(verifier, 0, sizeof *verifier);
    verifier->descriptor = -1;
}
