// Field values as text and the fields that differ between two records: what the report, the
// JSON document and the dry run all show.
#include "record/dmi_record.h"

#include <uuid/uuid.h>

#include <cstring>

std::string field_value_text(const dmi_record& record, field_id field) {
  if (field != FIELD_SYSTEM_UUID) {
    return std::string(dmi_record_text(record, field));
  }
  char uuid_text[37];
  uuid_unparse(dmi_record_uuid(record), uuid_text);
  return uuid_text;
}

bool field_differs(const dmi_record& before, const dmi_record& after, field_id field) {
  if (field == FIELD_SYSTEM_UUID) {
    return std::memcmp(dmi_record_uuid(before), dmi_record_uuid(after), DMI_UUID_SIZE) != 0;
  }
  return dmi_record_text(before, field) != dmi_record_text(after, field);
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
