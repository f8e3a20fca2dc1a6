// Damaged deltas: whatever the bytes, decoding ends in a status without
// touching memory outside its buffers (checked under AddressSanitizer),
// without looping and without unbounded allocation.

#include "tests/delta/decode_helpers.h"
#include "tests/support/vcdiff/encoder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Damaged lengths may ask for up to 4 GiB; tests have no use for that.
void* capped_alloc(void* opaque, std::uint32_t count, usize_t size) {
    (void)opaque;
    const usize_t bytes = usize_t{count} * size;
    return bytes > (usize_t{1} << 22) ? nullptr : std::malloc(static_cast<std::size_t>(bytes));
}

void plain_free(void* opaque, void* pointer) {
    (void)opaque;
    std::free(pointer);
}

void mutate(Bytes* delta, std::uint64_t* random) {
    const std::uint64_t edits = 1 + next_random(random) % 4;
    for (std::uint64_t e = 0; e < edits && !delta->empty(); e++) {
        const std::size_t at = next_random(random) % delta->size();
        const unsigned char value = static_cast<unsigned char>(next_random(random));
        const auto where = delta->begin() + static_cast<std::ptrdiff_t>(at);
        switch (next_random(random) % 6) {
        case 0:
            (*delta)[at] = value;
            break;
        case 1:
            (*delta)[at] ^= static_cast<unsigned char>(1u << (value % 8));
            break;
        case 2:
            delta->resize(at);
            break;
        case 3:
            delta->insert(where, value);
            break;
        case 4:
            delta->erase(where);
            break;
        default: // large integers and continuation bytes
            (*delta)[at] = (value & 1) != 0 ? 0xFF : 0x80;
            break;
        }
    }
}

TEST(Mutation, DamagedDeltasEndInAStatus) {
    std::uint64_t random = 2024;
    const Bytes source = random_bytes(&random, 9000);
    Bytes target(source.begin() + 1000, source.begin() + 5000);
    target.insert(target.end(), 300, 'r');
    target.insert(target.end(), source.begin() + 100, source.begin() + 1900);
    for (int i = 0; i < 50; i++) {
        target.push_back(static_cast<unsigned char>("abc"[i % 3]));
    }

    std::vector<Bytes> bases;
    for (std::uint64_t style = 0; style < 4; style++) {
        VcdiffEncodeOptions options = {};
        options.window_size = 700 + style * 1000;
        options.match_block = 8;
        options.with_checksum = style % 2 == 0;
        options.style.seed = style;
        const unsigned char app[] = "app";
        if (style == 3) {
            options.app_header = app;
            options.app_header_length = 3;
        }
        Bytes delta;
        ASSERT_TRUE(vcdiff_encode(source.data(), source.size(), target.data(), target.size(),
                                  options, &delta));
        bases.push_back(delta);
    }

    const usize_t block_sizes[] = {1, 2, 512, 16384};
    for (int trial = 0; trial < 20000; trial++) {
        Bytes delta = bases[next_random(&random) % bases.size()];
        mutate(&delta, &random);
        DecodeSetup setup;
        setup.source = &source;
        setup.block_size = block_sizes[next_random(&random) % 4];
        setup.chunking = static_cast<Chunking>(next_random(&random) % 3);
        setup.seed = next_random(&random);
        setup.config.alloc = capped_alloc;
        setup.config.free = plain_free;
        const DecodeResult result = decode_delta(delta, setup);
        const std::int32_t s = result.status;
        EXPECT_TRUE(s == 0 || s == DECODE_OUT_OF_MEMORY || s == DECODE_INVALID_INPUT ||
                    s == DECODE_INTERNAL || s == DECODE_UNIMPLEMENTED ||
                    s == DECODE_CHECKSUM_MISMATCH)
            << "trial " << trial << ": " << s << " " << result.message;
        EXPECT_EQ(result.message.empty(), s == 0) << "trial " << trial;
    }
}

} // namespace
