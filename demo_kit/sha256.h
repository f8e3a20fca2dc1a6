#pragma once

// SHA-256 (FIPS 180-2), for the digest of the image the kit expects the
// patcher to produce.

#include <cstddef>
#include <cstdint>

constexpr std::size_t SHA256_DIGEST_BYTES = 32;

struct Sha256 {
    std::uint32_t state[8];
    std::uint64_t length;    // bytes hashed so far
    unsigned char block[64]; // bytes waiting for a whole block
    std::size_t block_used;
};

void sha256_init(Sha256* hash);
void sha256_update(Sha256* hash, const unsigned char* bytes, std::size_t length);
void sha256_final(Sha256* hash, unsigned char digest[SHA256_DIGEST_BYTES]);

// 64 lower-case hex digits and a terminating zero.
void sha256_hex(const unsigned char digest[SHA256_DIGEST_BYTES], char hex[65]);
