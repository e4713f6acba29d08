// The 256-byte DMI record, the table of its fourteen fields, and the operations on records.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t DMI_RECORD_SIZE = 256;
// Offset of the string area; a text's index counts from here.
constexpr std::size_t DMI_STRING_AREA_OFFSET = 33;
// Room for texts with their NULs: the string area less the zero byte at index 0.
constexpr std::size_t DMI_TEXT_CAPACITY = DMI_RECORD_SIZE - DMI_STRING_AREA_OFFSET - 1;
constexpr std::size_t DMI_UUID_OFFSET = 8;
constexpr std::size_t DMI_UUID_SIZE = 16;
constexpr std::uint16_t DMI_MARKER_STORED = 0x8001;

// The record as it lies in memory, on disk and in flash: `marker` (offset 0) and `next_free`
// (offset 2) little-endian, one index byte per text field, the UUID at offset 8 in libuuid's
// byte order, then the NUL-terminated texts from offset 33.
struct dmi_record {
  std::uint8_t bytes[DMI_RECORD_SIZE];
};
static_assert(sizeof(dmi_record) == DMI_RECORD_SIZE, "dmi_record is a 256-byte file format");

// The fields in record order; the value of each is its getopt_long value too.
enum field_id {
  FIELD_SYSTEM_MANUFACTURER,
  FIELD_SYSTEM_PRODUCT_NAME,
  FIELD_SYSTEM_VERSION,
  FIELD_SYSTEM_SERIAL_NUMBER,
  FIELD_SYSTEM_UUID,
  FIELD_SYSTEM_SKU,
  FIELD_BOARD_MANUFACTURER,
  FIELD_BOARD_PRODUCT_NAME,
  FIELD_BOARD_VERSION,
  FIELD_BOARD_SERIAL_NUMBER,
  FIELD_CHASSIS_MANUFACTURER,
  FIELD_CHASSIS_VERSION,
  FIELD_CHASSIS_SERIAL_NUMBER,
  FIELD_CHASSIS_ASSET_TAG,
  FIELD_COUNT
};

// The field names, in field_id order and ended by an all-zero entry. One table serves as the
// long options of the command line, the keys of the configuration file and the help list.
extern const struct option dmi_fields[FIELD_COUNT + 1];

// The field's name, e.g. "system-sku".
const char* field_name(field_id field);

// Clears all 256 bytes and sets `next_free` to 1, so index 0 reads as the empty text.
void dmi_record_init(dmi_record& record);

std::uint16_t dmi_record_marker(const dmi_record& record);
void dmi_record_set_marker(dmi_record& record, std::uint16_t marker);
std::uint16_t dmi_record_next_free(const dmi_record& record);

// Appends `text` and its NUL at `next_free` and points the field's index at it; the text of an
// earlier set stays behind as dead bytes. For the thirteen text fields. Returns 0, or -1 without
// changing the record when the text would not fit before the record's end (nothing printed).
int dmi_record_set_text(dmi_record& record, field_id field, std::string_view text);

// The field's index byte; 0 means the field is not set.
std::uint8_t dmi_record_index(const dmi_record& record, field_id field);

// The field's text, read without leaving the record: an index past the end reads as the empty
// text, a text with no NUL before the end runs up to the end (as in an erased flash).
std::string_view dmi_record_text(const dmi_record& record, field_id field);

// The 16 UUID bytes, to read or to write in place; all zero means no UUID is set.
std::uint8_t* dmi_record_uuid(dmi_record& record);
const std::uint8_t* dmi_record_uuid(const dmi_record& record);

// Parses a UUID text into the record. Returns 0, or -1 when the text is not a UUID; the UUID
// bytes are then left as they were.
int dmi_record_parse_uuid(dmi_record& record, const char* text);

// The field_id whose name equals `name` exactly (case-sensitive), or -1.
int lookup_field(const char* name);

// Says that the field's value does not fit in the record, as one line.
std::string field_overflow_words(field_id field);

// Rebuilds `result` from scratch, compacted: each text field from `override` when its index is
// set there, else from `base` when set there; the UUID from `override` unless it is nil.
// `result` must be distinct from both inputs. Returns 0, or -1 when the texts taken do not fit;
// `*overflow` (when given) then names the first field that did not fit (nothing printed).
int merge_records(dmi_record& result, const dmi_record& base, const dmi_record& override,
                  field_id* overflow = nullptr);

// Appends the seventeen-line field report to `out`, each text between single quotes with its
// control characters escaped (see escape_control_bytes).
void print_dmi_fields(std::string& out, const dmi_record& record);

// The field's value as text: the UUID in its 36-character form, a text field as it is (raw;
// each report escapes it its own way), or empty when its index is 0, as merge_records takes it.
std::string field_value_text(const dmi_record& record, field_id field);

// Whether the field's value differs between two records: a text field by its value as
// field_value_text gives it (a field not set reads as the empty text), the UUID by its 16 bytes.
bool field_differs(const dmi_record& before, const dmi_record& after, field_id field);

// A list of fields, at most one of each: in table order, or in the order they were added.
struct field_list {
  field_id ids[FIELD_COUNT];
  int count = 0;

  const field_id* begin() const {
    return ids;
  }
  const field_id* end() const {
    return ids + count;
  }
  bool empty() const {
    return count == 0;
  }
  // Adds `field` at the end, unless the list holds it already.
  void add(field_id field) {
    for (const field_id held : *this) {
      if (held == field) {
        return;
      }
    }
    ids[count++] = field;
  }
};

// The fields whose values differ between two records.
field_list changed_fields(const dmi_record& before, const dmi_record& after);

// Appends one line "NAME: 'OLD' -> 'NEW'" for each field whose value differs, in table order,
// with the values as the field report shows them, or the one line `unchanged` (with its line end).
void print_field_changes(std::string& out, const dmi_record& before, const dmi_record& after,
                         const char* unchanged = "No field would change\n");
