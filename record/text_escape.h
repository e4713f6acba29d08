// Control characters in texts: finding them, and showing them so that a text stays on one line.
#pragma once

#include <string>
#include <string_view>

// Whether `byte` is a control character: below 0x20, or 0x7F.
constexpr bool is_control_byte(unsigned char byte) {
  return byte < 0x20 || byte == 0x7f;
}

// Whether `text` holds a control character.
bool has_control_byte(std::string_view text);

// `text` with each control character written as a backslash and three octal digits (a newline
// as "\012"); every other byte, a backslash or UTF-8 included, stays as it is.
std::string escape_control_bytes(std::string_view text);
