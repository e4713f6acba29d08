// Field values as text and the fields that differ between two records: what the report, the
// JSON document and the dry run all show.
#include "record/dmi_record.h"

#include <uuid/uuid.h>

#include <cstring>

namespace {

// A text field's value as a merge takes it: a field whose index is 0 is not set, whatever bytes
// the string area holds at its start.
std::string_view value_of(const dmi_record& record, field_id field) {
  return dmi_record_index(record, field) == 0 ? std::string_view() : dmi_record_text(record, field);
}

} // namespace

std::string field_value_text(const dmi_record& record, field_id field) {
  if (field != FIELD_SYSTEM_UUID) {
    return std::string(value_of(record, field));
  }
  char uuid_text[37];
  uuid_unparse(dmi_record_uuid(record), uuid_text);
  return uuid_text;
}

bool field_differs(const dmi_record& before, const dmi_record& after, field_id field) {
  if (field == FIELD_SYSTEM_UUID) {
    return std::memcmp(dmi_record_uuid(before), dmi_record_uuid(after), DMI_UUID_SIZE) != 0;
  }
  return value_of(before, field) != value_of(after, field);
}

field_list changed_fields(const dmi_record& before, const dmi_record& after) {
  field_list changed;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    if (field_differs(before, after, static_cast<field_id>(id))) {
      changed.ids[changed.count++] = static_cast<field_id>(id);
    }
  }
  return changed;
}
