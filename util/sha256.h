// SHA-256, for the checksums that prove a journal file whole and that a batch's manifest lists for
// its master, its table and each image: the system's libmd behind a small C source
// (util/sha256.c), so no C++ source depends on where the system keeps its header.
#pragma once

#include "util/sha256_state.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t SHA256_SIZE = 32;

struct sha256_digest {
  std::uint8_t bytes[SHA256_SIZE] = {};

  friend bool operator==(const sha256_digest&, const sha256_digest&) = default;
};

// A SHA-256 computed over bytes fed in pieces. A copy carries on from where the original was:
// bytes common to several digests are hashed once.
class sha256 {
public:
  sha256() {
    sha256_state_init(state_);
  }
  void update(const void* data, std::size_t size) {
    sha256_state_update(state_, data, size);
  }
  // The digest of everything fed so far; the object is spent afterwards.
  sha256_digest finish() {
    sha256_digest digest;
    sha256_state_final(state_, digest.bytes);
    return digest;
  }

private:
  alignas(8) unsigned char state_[SHA256_STATE_SIZE];
};

// The SHA-256 of `size` bytes at `data`.
inline sha256_digest sha256_of(const void* data, std::size_t size) {
  sha256 hash;
  hash.update(data, size);
  return hash.finish();
}
