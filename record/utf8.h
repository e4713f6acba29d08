// Well-formed UTF-8: telling a sequence from bytes that no encoder would write.
#pragma once

#include <cstddef>
#include <string_view>

// The length of the well-formed UTF-8 sequence of two or more bytes at the start of `text`, or
// 0 when there is none: overlong forms, UTF-16 surrogates and values past U+10FFFF are not
// well-formed, and neither is a sequence cut short. A byte below 0x80 starts no such sequence.
std::size_t utf8_multibyte_length(std::string_view text);

// Whether all of `text` is well-formed UTF-8.
bool is_utf8(std::string_view text);
