// Records as JSON text.
#include "record/record_json.h"

#include "record/text_escape.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence of two or more bytes at the start of `text`, or
// 0 when there is none: overlong forms, UTF-16 surrogates and values past U+10FFFF are not
// well-formed, and neither is a sequence cut short.
std::size_t multibyte_sequence_length(std::string_view text) {
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

void append_escaped_byte(std::string& out, unsigned char byte) {
  out += "\\u00";
  out += HEX_DIGITS[byte >> 4];
  out += HEX_DIGITS[byte & 0x0F];
}

} // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.front());
    std::size_t taken = 1;
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (is_control_byte(byte)) {
      append_escaped_byte(out, byte);
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else if ((taken = multibyte_sequence_length(text)) != 0) {
      out.append(text.substr(0, taken));
    } else {
      taken = 1;
      append_escaped_byte(out, byte);
    }
    text.remove_prefix(taken);
  }
  out += '"';
}

void append_changed_fields_json(std::string& out, const dmi_record& found,
                                const dmi_record& stored) {
  out += '[';
  const char* separator = "";
  for (const field_id field : changed_fields(found, stored)) {
    out += separator;
    append_json_string(out, field_name(field));
    separator = ",";
  }
  out += ']';
}

void append_record_json(std::string& out, const dmi_record& record) {
  out += "{\"marker\":" + std::to_string(dmi_record_marker(record)) + ",\"fields\":{";
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    if (id != 0) {
      out += ',';
    }
    append_json_string(out, field_name(field));
    out += ':';
    append_json_string(out, field_value_text(record, field));
  }
  out += "},\"bytes\":\"";
  for (const std::uint8_t byte : record.bytes) {
    out += HEX_DIGITS[byte >> 4];
    out += HEX_DIGITS[byte & 0x0F];
  }
  out += "\"}";
}
