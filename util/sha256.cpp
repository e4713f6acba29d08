// SHA-256: a portable block function, and one with the x86 SHA extensions.
#include "util/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// clang-format off
constexpr std::uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};
constexpr std::uint32_t INITIAL_STATE[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};
// clang-format on

constexpr std::uint32_t rotate_right(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

std::uint32_t load_big_endian(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

void compress_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
      w[t] = load_big_endian(data + 4 * t);
    }
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 =
          rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 =
          rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
      const std::uint32_t choice = (e & f) ^ (~e & g);
      const std::uint32_t t1 = h + s1 + choice + ROUND_CONSTANTS[t] + w[t];
      const std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
      const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + s0 + majority;
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

#if defined(__x86_64__)

// The block function with the SHA extensions. The state is kept as the two halves the
// instructions take, ABEF and CDGH; each group of four rounds takes four words of the message
// schedule, the later groups computed from the earlier ones with sha256msg1 and sha256msg2.
__attribute__((target("sha,sse4.1"))) void
compress_sha_extensions(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    __m128i words[4];
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i& w = words[group % 4];
      if (group < 4) {
        w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)),
                             byte_swap);
      } else {
        const __m128i& previous = words[(group + 3) % 4];
        const __m128i& two_back = words[(group + 2) % 4];
        w = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(w, words[(group + 1) % 4]),
                                               _mm_alignr_epi8(previous, two_back, 4)),
                                 previous);
      }
      __m128i message = _mm_add_epi32(
          w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&ROUND_CONSTANTS[4 * group])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

bool has_sha_extensions() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  return sse41 && ssse3 && (ebx & (1u << 29)) != 0;
}

using compress_function = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

void compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks, bool portable) {
  static const compress_function chosen =
      has_sha_extensions() ? compress_sha_extensions : compress_portable;
  (portable ? compress_portable : chosen)(state, data, blocks);
}

#else

void compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks, bool) {
  compress_portable(state, data, blocks);
}

#endif

} // namespace

sha256::sha256() {
  std::memcpy(state_, INITIAL_STATE, sizeof state_);
}

void sha256::update(const void* data, std::size_t size) {
  auto bytes = static_cast<const std::uint8_t*>(data);
  total_ += size;
  if (pending_size_ > 0) {
    const std::size_t taken = std::min(size, sizeof pending_ - pending_size_);
    std::memcpy(pending_ + pending_size_, bytes, taken);
    pending_size_ += taken;
    bytes += taken;
    size -= taken;
    if (pending_size_ < sizeof pending_) {
      return;
    }
    compress(state_, pending_, 1, portable_);
    pending_size_ = 0;
  }
  compress(state_, bytes, size / 64, portable_);
  bytes += size / 64 * 64;
  pending_size_ = size % 64;
  std::memcpy(pending_, bytes, pending_size_);
}

sha256_digest sha256::finish() {
  const std::uint64_t bits = total_ * 8;
  static constexpr std::uint8_t PADDING[64] = {0x80};
  update(PADDING, pending_size_ < 56 ? 56 - pending_size_ : 120 - pending_size_);
  std::uint8_t length[8];
  for (int i = 0; i < 8; ++i) {
    length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  }
  update(length, sizeof length);
  sha256_digest digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest.bytes[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

sha256_digest sha256_of(const void* data, std::size_t size) {
  sha256 hash;
  hash.update(data, size);
  return hash.finish();
}

sha256_digest sha256_portable_of(const void* data, std::size_t size) {
  sha256 hash;
  hash.portable_ = true;
  hash.update(data, size);
  return hash.finish();
}
