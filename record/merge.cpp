// Laying one record's values over another's.
#include "record/dmi_record.h"

#include <uuid/uuid.h>

int merge_records(dmi_record& result, const dmi_record& base, const dmi_record& override,
                  field_id* overflow) {
  dmi_record_init(result);
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    if (field == FIELD_SYSTEM_UUID) {
      const std::uint8_t* uuid = dmi_record_uuid(override);
      uuid_copy(dmi_record_uuid(result), uuid_is_null(uuid) ? dmi_record_uuid(base) : uuid);
      continue;
    }
    // The index decides, not the text: an empty text set in the override still wins.
    const dmi_record* source = dmi_record_index(override, field) != 0 ? &override
                               : dmi_record_index(base, field) != 0   ? &base
                                                                      : nullptr;
    if (source != nullptr && dmi_record_set_text(result, field, dmi_record_text(*source, field))) {
      if (overflow != nullptr) {
        *overflow = field;
      }
      return -1;
    }
  }
  return 0;
}
