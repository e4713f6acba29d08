// Taking one field's value, given as text on the command line or in the configuration file.
#pragma once

#include "record/dmi_record.h"

#include <string>

// Whether a value was taken, or why it was refused.
enum class value_result {
  taken,
  no_room,      // the text does not fit in the record
  not_a_uuid,   // a system-uuid text that uuid_parse does not take
  nil_uuid,     // the all-zero UUID, which the record reads as "not set"
  control_byte, // a text holding a control character (a byte below 0x20, or 0x7F)
};

// Whether a value was taken, and when it was not, why in one line (with its line end).
struct value_outcome {
  value_result result = value_result::taken;
  std::string why;

  bool taken() const {
    return result == value_result::taken;
  }
};

// Sets `field` of `record` from `value`: system-uuid is parsed (the all-zero UUID is refused: a
// merge would keep the old UUID under it), every other field gets the text appended. A refused
// value leaves the record as it was; the outcome says why, naming `line_number` of the
// configuration file when that is not 0.
value_outcome set_field_value(dmi_record& record, field_id field, const char* value,
                              int line_number = 0);
