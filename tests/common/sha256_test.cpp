// SHA-256 against the standard test vectors (FIPS 180-4 examples, NIST
// CAVP), whole and given in pieces.
#include <gtest/gtest.h>

#include <string>

#include "common/sha256.h"

TEST(Sha256, StandardVectors) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PiecesOfAnySizeGiveTheSameDigest) {
    const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (std::size_t piece = 1; piece <= message.size(); ++piece) {
        Sha256 sha;
        for (std::size_t at = 0; at < message.size(); at += piece)
            sha.update(std::string_view(message).substr(at, piece));
        EXPECT_EQ(hex_of(sha.finish()), sha256_hex(message)) << piece;
    }
    // The lengths at which padding takes a second block.
    for (std::size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u})
        EXPECT_EQ(sha256_hex(std::string(n, 'a')).size(), 64u);
    EXPECT_EQ(sha256_hex(std::string(64, 'a')),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}
