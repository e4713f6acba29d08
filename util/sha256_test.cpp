// Tests of the SHA-256 glue to libmd: its state's room, and a copy that carries on.
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

// A state copied midway gives the digest of what both were fed, and the original goes on alone.
TEST(Sha256, ACopiedStateCarriesOnFromWhereItWas) {
  sha256 prefix;
  prefix.update("abcdbcdecdefdefgefghfghighij", 28);
  sha256 copy = prefix;
  copy.update("hijkijkljklmklmnlmnomnopnopq", 28);
  EXPECT_EQ(hex(copy.finish()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  prefix.update("", 0);
  EXPECT_EQ(prefix.finish(), sha256_of("abcdbcdecdefdefgefghfghighij", 28));
  EXPECT_EQ(hex(sha256_of("", 0)),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

} // namespace
