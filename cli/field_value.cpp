// Taking one field's value.
#include "cli/field_value.h"

value_result set_field_value(dmi_record& record, field_id field, const char* value) {
  if (field == FIELD_SYSTEM_UUID) {
    if (dmi_record_parse_uuid(record, value) != 0) {
      report_bad_uuid(value);
    }
    return value_result::taken;
  }
  if (dmi_record_set_text(record, field, value) != 0) {
    report_field_overflow(field);
    return value_result::no_room;
  }
  return value_result::taken;
}
