#include "demo_kit/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string digest_of(const std::vector<unsigned char>& bytes, std::size_t piece) {
    Sha256 hash;
    sha256_init(&hash);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t take = bytes.size() - at < piece ? bytes.size() - at : piece;
        sha256_update(&hash, bytes.data() + at, take);
    }
    unsigned char digest[SHA256_DIGEST_BYTES];
    sha256_final(&hash, digest);
    char hex[65];
    sha256_hex(digest, hex);
    return hex;
}

std::vector<unsigned char> text(const char* value) {
    return std::vector<unsigned char>(value, value + std::char_traits<char>::length(value));
}

// Lengths around the padding boundaries: bytes (i * 7 + 1) mod 256.
std::vector<unsigned char> counting(std::size_t length) {
    std::vector<unsigned char> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    return bytes;
}

} // namespace

TEST(Sha256, MatchesKnownDigests) {
    const struct {
        const char* what;
        std::vector<unsigned char> message;
        const char* digest;
    } CASES[] = {
        {"empty", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"FIPS 180-2 one block", text("abc"),
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"FIPS 180-2 two blocks", text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"FIPS 180-2 a million a", std::vector<unsigned char>(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"55 bytes", counting(55),
         "16fa57a0a3423a715d594516339f36189d6b5f93754a9714fef202616a9fabfe"},
        {"63 bytes", counting(63),
         "bbba992d2c85af960fb2987a1fd05e0aa82a3db3c740dd8982a9e273b75e36a3"},
        {"64 bytes", counting(64),
         "66bd4633ed6f71c4ecfa4763bf7ba1c8ec7612de9aa6c0578a7b675207c71e0b"},
        {"119 bytes", counting(119),
         "a3ed307b730fa77c07531300c6e4a282330011d4d4caf6bb7b63ae05950f4b66"},
    };
    for (const auto& c : CASES) {
        // However the message is cut into updates.
        for (const std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{63},
                                        std::size_t{64}, std::size_t{65}, std::size_t{4097}}) {
            EXPECT_EQ(digest_of(c.message, piece), c.digest) << c.what << ", pieces of " << piece;
        }
    }
}
