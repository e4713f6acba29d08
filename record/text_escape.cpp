// Control characters in texts.
#include "record/text_escape.h"

#include <algorithm>
#include <cstdio>

bool has_control_byte(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return is_control_byte(static_cast<unsigned char>(c)); });
}

std::string escape_control_bytes(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    if (is_control_byte(static_cast<unsigned char>(c))) {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
      shown += octal;
    } else {
      shown += c;
    }
  }
  return shown;
}
