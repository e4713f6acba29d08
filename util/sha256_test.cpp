// Tests of SHA-256: known digests, and the two block functions held against each other.
#include "util/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const sha256_digest& digest) {
  std::string text;
  for (const std::uint8_t byte : digest.bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

TEST(Sha256, GivesTheKnownDigests) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex(sha256_of(c.message.data(), c.message.size())), c.digest) << c.message.size();
    EXPECT_EQ(hex(sha256_portable_of(c.message.data(), c.message.size())), c.digest)
        << c.message.size();
  }
}

// Fed in pieces of every length around a block's, and with the processor's SHA extensions
// where it has them, the digest is the portable one of the whole.
TEST(Sha256, PiecesAndBothBlockFunctionsGiveOneDigest) {
  std::string message(70000, '\0');
  std::uint32_t state = 1;
  for (char& c : message) {
    state = state * 1103515245 + 12345;
    c = static_cast<char>(state >> 16);
  }
  const sha256_digest whole = sha256_portable_of(message.data(), message.size());
  EXPECT_EQ(sha256_of(message.data(), message.size()), whole);
  for (const std::size_t piece : {1, 55, 56, 63, 64, 65, 127, 4096}) {
    sha256 hash;
    for (std::size_t at = 0; at < message.size(); at += piece) {
      hash.update(message.data() + at, std::min(piece, message.size() - at));
    }
    EXPECT_EQ(hash.finish(), whole) << piece;
  }
}

} // namespace
