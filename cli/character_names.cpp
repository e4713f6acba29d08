// The names of characters that slip into values unseen.
#include "cli/character_names.h"

#include "record/utf8.h"

#include <cstdint>
#include <cstdio>

namespace {

struct named_character {
  std::uint32_t code;
  const char* name;
};

// clang-format off
constexpr named_character NAMED_CHARACTERS[] = {
    {0x0009, "CHARACTER TABULATION"},          {0x000A, "LINE FEED"},
    {0x000D, "CARRIAGE RETURN"},               {0x007F, "DELETE"},
    {0x00A0, "NO-BREAK SPACE"},                {0x00AD, "SOFT HYPHEN"},
    {0x00AB, "LEFT-POINTING DOUBLE ANGLE QUOTATION MARK"},
    {0x00BB, "RIGHT-POINTING DOUBLE ANGLE QUOTATION MARK"},
    {0x00B4, "ACUTE ACCENT"},                  {0x00B7, "MIDDLE DOT"},
    {0x2002, "EN SPACE"},                      {0x2003, "EM SPACE"},
    {0x2007, "FIGURE SPACE"},                  {0x2009, "THIN SPACE"},
    {0x200A, "HAIR SPACE"},                    {0x200B, "ZERO WIDTH SPACE"},
    {0x200C, "ZERO WIDTH NON-JOINER"},         {0x200D, "ZERO WIDTH JOINER"},
    {0x200E, "LEFT-TO-RIGHT MARK"},            {0x200F, "RIGHT-TO-LEFT MARK"},
    {0x2010, "HYPHEN"},                        {0x2011, "NON-BREAKING HYPHEN"},
    {0x2012, "FIGURE DASH"},                   {0x2013, "EN DASH"},
    {0x2014, "EM DASH"},                       {0x2015, "HORIZONTAL BAR"},
    {0x2018, "LEFT SINGLE QUOTATION MARK"},    {0x2019, "RIGHT SINGLE QUOTATION MARK"},
    {0x201A, "SINGLE LOW-9 QUOTATION MARK"},   {0x201C, "LEFT DOUBLE QUOTATION MARK"},
    {0x201D, "RIGHT DOUBLE QUOTATION MARK"},   {0x201E, "DOUBLE LOW-9 QUOTATION MARK"},
    {0x2022, "BULLET"},                        {0x2026, "HORIZONTAL ELLIPSIS"},
    {0x2028, "LINE SEPARATOR"},                {0x2029, "PARAGRAPH SEPARATOR"},
    {0x202F, "NARROW NO-BREAK SPACE"},         {0x2032, "PRIME"},
    {0x2060, "WORD JOINER"},                   {0x2212, "MINUS SIGN"},
    {0x3000, "IDEOGRAPHIC SPACE"},             {0xFEFF, "BYTE ORDER MARK"},
    {0xFFFD, "REPLACEMENT CHARACTER"},
};
// clang-format on

// The code point of the well-formed UTF-8 sequence of `length` bytes at the start of `text`.
std::uint32_t decode(std::string_view text, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  constexpr unsigned char LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  std::uint32_t code = byte(0) & LEAD_BITS[length];
  for (std::size_t i = 1; i < length; ++i) {
    code = code << 6 | (byte(i) & 0x3F);
  }
  return code;
}

} // namespace

std::string character_name(std::string_view text) {
  const auto first = static_cast<unsigned char>(text.front());
  const std::size_t length = first < 0x80 ? 1 : utf8_multibyte_length(text);
  char shown[16];
  if (length == 0) {
    std::snprintf(shown, sizeof shown, "0x%02X", first);
    return std::string(shown) + " (not UTF-8)";
  }
  const std::uint32_t code = decode(text, length);
  std::snprintf(shown, sizeof shown, "U+%04X", static_cast<unsigned>(code));
  for (const named_character& named : NAMED_CHARACTERS) {
    if (named.code == code) {
      return std::string(shown) + " " + named.name;
    }
  }
  return shown;
}
