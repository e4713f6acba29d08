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

value_outcome set_field_value(dmi_record& record, field_id field, const char* value,
                              int line_number) {
  if (field == FIELD_SYSTEM_UUID) {
    dmi_record parsed = record;
    if (dmi_record_parse_uuid(parsed, value) != 0) {
      // The value is named escaped, so a newline in it cannot split or forge the message.
      return {value_result::not_a_uuid, "system-uuid value '" + escape_control_bytes(value) + "'" +
                                            where(line_number) + " is not a UUID\n"};
    }
    // All zero means "not set": stored, it would leave the old UUID in place without a word.
    if (uuid_is_null(dmi_record_uuid(parsed))) {
      return {value_result::nil_uuid,
              "system-uuid value '" + escape_control_bytes(value) + "'" + where(line_number) +
                  " is all zero, which means \"not set\" and cannot be stored\n"};
    }
    record = parsed;
    return {};
  }
  // A control character would reach the SMBIOS tables and every report of them: a newline or
  // tab forges lines for scripts, an escape sequence drives the terminal.
  if (has_control_byte(value)) {
    return {value_result::control_byte, std::string("Value of ") + field_name(field) +
                                            where(line_number) + " holds a control character\n"};
  }
  if (dmi_record_set_text(record, field, value) != 0) {
    return {value_result::no_room, field_overflow_words(field)};
  }
  return {};
}
