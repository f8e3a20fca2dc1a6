#include "tools/make_patch/verify.h"

#include "platform/file.h"
#include "tools/make_patch/source_file.h"

#include <cstdlib>
#include <cstring>

static constexpr usize_t VERIFY_BLOCK_BYTES = 16384;
// A COPY that comes block by block spans at most three blocks (longer ones
// are read straight into the window); one read fetches them all.
static constexpr usize_t VERIFY_READ_BLOCKS = 4;
static constexpr usize_t DIRECT_COPY_BYTES = 2 * VERIFY_BLOCK_BYTES;

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
    verifier->stream.next_in = header;
    verifier->stream.avail_in = header_length;
    for (;;) {
        const std::int32_t status = decode_input(&verifier->stream);
        if (status == DECODE_NEED_INPUT) {
            return true;
        }
        if (status != DECODE_GOT_HEADER) {
            *reason = verifier->stream.message != nullptr ? verifier->stream.message
                                                          : "the decoder refused the file header";
            return false;
        }
    }
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
    DeltaStream* stream = &verifier->stream;
    stream->next_in = patch;
    stream->avail_in = patch_length;
    bool produced = false;
    for (;;) {
        const std::int32_t status = decode_input(stream);
        switch (status) {
        case DECODE_GOT_HEADER:
        case DECODE_WINDOW_START:
        case DECODE_WINDOW_FINISH:
            break;
        case DECODE_NEED_SOURCE_BLOCK:
            if (!answer_source_request(verifier)) {
                *reason = "cannot read the source";
                return false;
            }
            break;
        case DECODE_HAVE_OUTPUT:
            if (produced || stream->avail_out != target_length ||
                std::memcmp(stream->next_out, target, target_length) != 0) {
                *reason = "the decoded window differs from the target";
                return false;
            }
            produced = true;
            stream->avail_out = 0;
            break;
        case DECODE_NEED_INPUT:
            if (!produced) {
                *reason = "the decoder did not finish the window";
                return false;
            }
            return true;
        default:
            *reason = stream->message != nullptr ? stream->message : "the decoder failed";
            return false;
        }
    }
}

bool finish_verifier(Verifier* verifier, const char** reason) {
    if (close_stream(&verifier->stream) != 0 ||
        verifier->stream.decode_state != STATE_WINDOW_INDICATOR) {
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
