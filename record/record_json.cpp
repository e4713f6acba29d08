// Records as JSON text.
#include "record/record_json.h"

#include "record/text_escape.h"
#include "record/utf8.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

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
    } else if ((taken = utf8_multibyte_length(text)) != 0) {
      out.append(text.substr(0, taken));
    } else {
      // No character stands for this byte: written as one, "Pr\xfcfplatz" would read as
      // "Prüfplatz". The replacement character says that a byte was there and what was not.
      taken = 1;
      out += "\\ufffd";
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
  std::string not_utf8;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    if (id != 0) {
      out += ',';
    }
    append_json_string(out, field_name(field));
    out += ':';
    // A byte that is not UTF-8 has no character to stand for it: written as one, "Pr\xfcfplatz"
    // would read as "Prüfplatz". Such a field is null, named in "not_utf8", its bytes in "bytes".
    const std::string value = field_value_text(record, field);
    if (is_utf8(value)) {
      append_json_string(out, value);
    } else {
      out += "null";
      not_utf8 += not_utf8.empty() ? "" : ",";
      append_json_string(not_utf8, field_name(field));
    }
  }
  out += "},\"not_utf8\":[" + not_utf8 + "],\"bytes\":\"";
  for (const std::uint8_t byte : record.bytes) {
    out += HEX_DIGITS[byte >> 4];
    out += HEX_DIGITS[byte & 0x0F];
  }
  out += "\"}";
}
