// Taking one field's value.
#include "cli/field_value.h"

#include "record/text_escape.h"

#include <uuid/uuid.h>

#include <string>

namespace {

// " on line N" for a value from the configuration file, nothing for one from the command line.
std::string where(int line_number) {
  return line_number != 0 ? " on line " + std::to_string(line_number) : "";
}

} // namespace

value_result set_field_value(dmi_record& record, field_id field, const char* value,
                             std::string& why, int line_number) {
  if (field == FIELD_SYSTEM_UUID) {
    dmi_record parsed = record;
    if (dmi_record_parse_uuid(parsed, value) != 0) {
      // The value is named escaped, so a newline in it cannot split or forge the message.
      why = "system-uuid value '" + escape_control_bytes(value) + "'" + where(line_number) +
            " is not a UUID\n";
      return value_result::not_a_uuid;
    }
    // All zero means "not set": stored, it would leave the old UUID in place without a word.
    if (uuid_is_null(dmi_record_uuid(parsed))) {
      why = "system-uuid value '" + escape_control_bytes(value) + "'" + where(line_number) +
            " is all zero, which means \"not set\" and cannot be stored\n";
      return value_result::nil_uuid;
    }
    record = parsed;
    return value_result::taken;
  }
  // A control character would reach the SMBIOS tables and every report of them: a newline or
  // tab forges lines for scripts, an escape sequence drives the terminal.
  if (has_control_byte(value)) {
    why = std::string("Value of ") + field_name(field) + where(line_number) +
          " holds a control character\n";
    return value_result::control_byte;
  }
  if (dmi_record_set_text(record, field, value) != 0) {
    why = field_overflow_words(field);
    return value_result::no_room;
  }
  return value_result::taken;
}
