// The field table and the basic operations on a dmi_record.
#include "record/dmi_record.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>

// clang-format off
const struct option dmi_fields[FIELD_COUNT + 1] = {
    {"system-manufacturer",   required_argument, nullptr, FIELD_SYSTEM_MANUFACTURER},
    {"system-product-name",   required_argument, nullptr, FIELD_SYSTEM_PRODUCT_NAME},
    {"system-version",        required_argument, nullptr, FIELD_SYSTEM_VERSION},
    {"system-serial-number",  required_argument, nullptr, FIELD_SYSTEM_SERIAL_NUMBER},
    {"system-uuid",           required_argument, nullptr, FIELD_SYSTEM_UUID},
    {"system-sku",            required_argument, nullptr, FIELD_SYSTEM_SKU},
    {"board-manufacturer",    required_argument, nullptr, FIELD_BOARD_MANUFACTURER},
    {"board-product-name",    required_argument, nullptr, FIELD_BOARD_PRODUCT_NAME},
    {"board-version",         required_argument, nullptr, FIELD_BOARD_VERSION},
    {"board-serial-number",   required_argument, nullptr, FIELD_BOARD_SERIAL_NUMBER},
    {"chassis-manufacturer",  required_argument, nullptr, FIELD_CHASSIS_MANUFACTURER},
    {"chassis-version",       required_argument, nullptr, FIELD_CHASSIS_VERSION},
    {"chassis-serial-number", required_argument, nullptr, FIELD_CHASSIS_SERIAL_NUMBER},
    {"chassis-asset-tag",     required_argument, nullptr, FIELD_CHASSIS_ASSET_TAG},
    {nullptr,                 0,                 nullptr, 0},
};

// Record offset of each field's index byte (of the UUID's 16 bytes for system-uuid).
constexpr std::size_t FIELD_OFFSET[FIELD_COUNT] = {
    4, 5, 6, 7, DMI_UUID_OFFSET, 24, 25, 26, 27, 28, 29, 30, 31, 32,
};
// clang-format on

namespace {

constexpr std::size_t MARKER_OFFSET = 0;
constexpr std::size_t NEXT_FREE_OFFSET = 2;

std::uint16_t read_le16(const dmi_record& record, std::size_t offset) {
  return static_cast<std::uint16_t>(record.bytes[offset] | (record.bytes[offset + 1] << 8));
}

void write_le16(dmi_record& record, std::size_t offset, std::uint16_t value) {
  record.bytes[offset] = static_cast<std::uint8_t>(value & 0xff);
  record.bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

} // namespace

const char* field_name(field_id field) {
  return dmi_fields[field].name;
}

void dmi_record_init(dmi_record& record) {
  std::memset(record.bytes, 0, sizeof record.bytes);
  write_le16(record, NEXT_FREE_OFFSET, 1);
}

std::uint16_t dmi_record_marker(const dmi_record& record) {
  return read_le16(record, MARKER_OFFSET);
}

void dmi_record_set_marker(dmi_record& record, std::uint16_t marker) {
  write_le16(record, MARKER_OFFSET, marker);
}

std::uint16_t dmi_record_next_free(const dmi_record& record) {
  return read_le16(record, NEXT_FREE_OFFSET);
}

int dmi_record_set_text(dmi_record& record, field_id field, std::string_view text) {
  const std::size_t next_free = dmi_record_next_free(record);
  const std::size_t length = text.size();
  // The text and its NUL must end inside the record; this also keeps the index within 8 bits.
  if (next_free > DMI_TEXT_CAPACITY || length + 1 > DMI_TEXT_CAPACITY + 1 - next_free) {
    return -1;
  }
  record.bytes[FIELD_OFFSET[field]] = static_cast<std::uint8_t>(next_free);
  std::uint8_t* destination = &record.bytes[DMI_STRING_AREA_OFFSET + next_free];
  std::copy(text.begin(), text.end(), destination);
  destination[length] = 0;
  write_le16(record, NEXT_FREE_OFFSET, static_cast<std::uint16_t>(next_free + length + 1));
  return 0;
}

std::uint8_t dmi_record_index(const dmi_record& record, field_id field) {
  return record.bytes[FIELD_OFFSET[field]];
}

std::string_view dmi_record_text(const dmi_record& record, field_id field) {
  const std::size_t start = DMI_STRING_AREA_OFFSET + record.bytes[FIELD_OFFSET[field]];
  if (start >= DMI_RECORD_SIZE) {
    return {};
  }
  const char* text = reinterpret_cast<const char*>(&record.bytes[start]);
  return {text, strnlen(text, DMI_RECORD_SIZE - start)};
}

std::uint8_t* dmi_record_uuid(dmi_record& record) {
  return &record.bytes[DMI_UUID_OFFSET];
}

const std::uint8_t* dmi_record_uuid(const dmi_record& record) {
  return &record.bytes[DMI_UUID_OFFSET];
}

int dmi_record_parse_uuid(dmi_record& record, const char* text) {
  uuid_t parsed;
  if (uuid_parse(text, parsed) != 0) {
    return -1;
  }
  uuid_copy(dmi_record_uuid(record), parsed);
  return 0;
}

int lookup_field(const char* name) {
  for (const struct option* entry = dmi_fields; entry->name != nullptr; ++entry) {
    if (std::strcmp(entry->name, name) == 0) {
      return entry->val;
    }
  }
  return -1;
}

std::string field_overflow_words(field_id field) {
  return std::string("Value of ") + field_name(field) + " does not fit in the DMI record (" +
         std::to_string(DMI_TEXT_CAPACITY) + " bytes of text in all)\n";
}
