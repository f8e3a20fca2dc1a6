#include "demo_kit/sha256.h"

#include <cstring>

static const std::uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static inline std::uint32_t rotate_right(std::uint32_t value, unsigned count) {
    return (value >> count) | (value << (32 - count));
}

static inline std::uint32_t load_big_endian(const unsigned char* bytes) {
    return (static_cast<std::uint32_t>(bytes[0]) << 24) |
           (static_cast<std::uint32_t>(bytes[1]) << 16) |
           (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

// Compresses whole 64-byte blocks into the state.
static void compress_blocks(std::uint32_t state[8], const unsigned char* bytes,
                            std::size_t block_count) {
    for (; block_count != 0; --block_count, bytes += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = load_big_endian(bytes + 4 * i);
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 =
                rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 =
                rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t sum1 =
                rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
            const std::uint32_t choice = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + sum1 + choice + ROUND_CONSTANTS[i] + w[i];
            const std::uint32_t sum0 =
                rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = sum0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

void sha256_init(Sha256* hash) {
    static const std::uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(hash->state, INITIAL, sizeof INITIAL);
    hash->length = 0;
    hash->block_used = 0;
}

void sha256_update(Sha256* hash, const unsigned char* bytes, std::size_t length) {
    hash->length += length;
    if (hash->block_used != 0) {
        const std::size_t take = length < 64 - hash->block_used ? length : 64 - hash->block_used;
        std::memcpy(hash->block + hash->block_used, bytes, take);
        hash->block_used += take;
        bytes += take;
        length -= take;
        if (hash->block_used < 64) {
            return;
        }
        compress_blocks(hash->state, hash->block, 1);
        hash->block_used = 0;
    }
    // Whole blocks straight from the caller's bytes, without staging them.
    compress_blocks(hash->state, bytes, length / 64);
    bytes += length / 64 * 64;
    length %= 64;
    std::memcpy(hash->block, bytes, length);
    hash->block_used = length;
}

void sha256_final(Sha256* hash, unsigned char digest[SHA256_DIGEST_BYTES]) {
    const std::uint64_t bit_length = hash->length * 8;
    // A 1 bit, zeros up to 56 bytes into a block, then the length in bits.
    unsigned char tail[72] = {0x80};
    const std::size_t pad = (hash->block_used < 56 ? 56 : 120) - hash->block_used;
    for (int i = 0; i < 8; ++i) {
        tail[pad + i] = static_cast<unsigned char>(bit_length >> (56 - 8 * i));
    }
    sha256_update(hash, tail, pad + 8);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<unsigned char>(hash->state[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(hash->state[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(hash->state[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(hash->state[i]);
    }
}

void sha256_hex(const unsigned char digest[SHA256_DIGEST_BYTES], char hex[65]) {
    static const char DIGITS[] = "0123456789abcdef";
    for (std::size_t i = 0; i < SHA256_DIGEST_BYTES; ++i) {
        hex[2 * i] = DIGITS[digest[i] >> 4];
        hex[2 * i + 1] = DIGITS[digest[i] & 15];
    }
    hex[64] = 0;
}
