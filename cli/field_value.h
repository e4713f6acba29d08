// Taking one field's value, given as text on the command line or in the configuration file.
#pragma once

#include "record/dmi_record.h"

enum class value_result {
  taken,
  no_room, // the text does not fit in the record (reported)
};

// Sets `field` of `record` from `value`: system-uuid is parsed (a text that is not a UUID is
// reported as a warning and leaves the UUID as it was), every other field gets the text
// appended.
value_result set_field_value(dmi_record& record, field_id field, const char* value);
