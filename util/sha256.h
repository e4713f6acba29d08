// SHA-256, for the checksums that prove a journal file whole.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t SHA256_SIZE = 32;

struct sha256_digest {
  std::uint8_t bytes[SHA256_SIZE] = {};

  friend bool operator==(const sha256_digest&, const sha256_digest&) = default;
};

// A SHA-256 computed over bytes fed in pieces. On x86-64 processors with the SHA extensions the
// blocks are hashed with them (a 4 MiB region in about 2 ms); elsewhere in portable code.
class sha256 {
public:
  sha256();
  void update(const void* data, std::size_t size);
  // The digest of everything fed so far; the object is spent afterwards.
  sha256_digest finish();

private:
  friend sha256_digest sha256_portable_of(const void* data, std::size_t size);

  std::uint32_t state_[8];
  std::uint8_t pending_[64];
  std::size_t pending_size_ = 0;
  std::uint64_t total_ = 0;
  bool portable_ = false;
};

// The SHA-256 of `size` bytes at `data`.
sha256_digest sha256_of(const void* data, std::size_t size);

// The same in portable code whatever the processor, so the tests can hold the two against each
// other.
sha256_digest sha256_portable_of(const void* data, std::size_t size);
