// What must hold for every record the tool builds itself, checked by the fuzz targets.
#pragma once

#include "record/dmi_record.h"
#include "record/text_escape.h"

#include <algorithm>
#include <cstring>

// Stops the run as a finding; libFuzzer saves the input that got here.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      __builtin_trap();                                                                            \
    }                                                                                              \
  } while (0)

// Index 0 reads as the empty text, `next_free` stays within the string area, and every set
// text lies, NUL included, below `next_free`.
inline void check_record_invariants(const dmi_record& record) {
  FUZZ_CHECK(record.bytes[DMI_STRING_AREA_OFFSET] == 0);
  const std::size_t next_free = dmi_record_next_free(record);
  FUZZ_CHECK(next_free >= 1 && next_free <= DMI_TEXT_CAPACITY + 1);
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    if (field == FIELD_SYSTEM_UUID || dmi_record_index(record, field) == 0) {
      continue;
    }
    const std::size_t index = dmi_record_index(record, field);
    const std::size_t start = DMI_STRING_AREA_OFFSET + index;
    FUZZ_CHECK(start < DMI_RECORD_SIZE);
    const char* text = reinterpret_cast<const char*>(&record.bytes[start]);
    const std::size_t length = strnlen(text, DMI_RECORD_SIZE - start);
    FUZZ_CHECK(start + length < DMI_RECORD_SIZE);
    FUZZ_CHECK(index + length < next_free);
    FUZZ_CHECK(dmi_record_text(record, field).size() == length);
  }
}

// The readers of options and configuration files refuse control characters, so no text they set
// holds one.
inline void check_no_control_bytes(const dmi_record& record) {
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    FUZZ_CHECK(field == FIELD_SYSTEM_UUID || !has_control_byte(dmi_record_text(record, field)));
  }
}

// The field report of any record: seventeen lines, whatever the record holds.
inline void print_to_nowhere(const dmi_record& record) {
  std::string report;
  print_dmi_fields(report, record);
  FUZZ_CHECK(std::count(report.begin(), report.end(), '\n') == 17);
}
