// Well-formed UTF-8.
#include "record/utf8.h"

namespace {

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

} // namespace

std::size_t utf8_multibyte_length(std::string_view text) {
  if (text.empty()) {
    return 0;
  }
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    second_low = lead == 0xE0 ? 0xA0 : 0x80;  // E0 80..9F would be overlong
    second_high = lead == 0xED ? 0x9F : 0xBF; // ED A0..BF would be a surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    second_low = lead == 0xF0 ? 0x90 : 0x80;  // F0 80..8F would be overlong
    second_high = lead == 0xF4 ? 0x8F : 0xBF; // F4 90 and above is past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < second_low || byte(1) > second_high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(byte(i))) {
      return 0;
    }
  }
  return length;
}

bool is_utf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length =
        static_cast<unsigned char>(text.front()) < 0x80 ? 1 : utf8_multibyte_length(text);
    if (length == 0) {
      return false;
    }
    text.remove_prefix(length);
  }
  return true;
}
