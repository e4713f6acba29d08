// The seventeen-line report of a record's values.
#include "record/dmi_record.h"
#include "record/text_escape.h"

#include <uuid/uuid.h>

namespace {

// A control character in the text would start a new line or move the terminal's cursor, so each
// is shown escaped: every line stays one field's, whatever the flash holds.
void print_text(std::FILE* stream, const char* label, const dmi_record& record, field_id field) {
  const std::string shown = escape_control_bytes(dmi_record_text(record, field));
  std::fprintf(stream, "%s'%s'\n", label, shown.c_str());
}

} // namespace

void print_dmi_fields(std::FILE* stream, const dmi_record& record) {
  if (stream == nullptr) {
    return;
  }
  char uuid_text[37];
  uuid_unparse(dmi_record_uuid(record), uuid_text);

  std::fputs("Type 1 Fields:\n", stream);
  print_text(stream, " system-manufacturer:\t", record, FIELD_SYSTEM_MANUFACTURER);
  print_text(stream, " system-product-name:\t", record, FIELD_SYSTEM_PRODUCT_NAME);
  print_text(stream, " system-version:\t", record, FIELD_SYSTEM_VERSION);
  print_text(stream, " system-serial-number:\t", record, FIELD_SYSTEM_SERIAL_NUMBER);
  std::fprintf(stream, " system-uuid:\t\t'%s'\n", uuid_text);
  print_text(stream, " system-sku:\t\t", record, FIELD_SYSTEM_SKU);
  std::fputs("Type 2 Fields:\n", stream);
  print_text(stream, " board-manufacturer:\t", record, FIELD_BOARD_MANUFACTURER);
  print_text(stream, " board-product-name:\t", record, FIELD_BOARD_PRODUCT_NAME);
  print_text(stream, " board-version:\t\t", record, FIELD_BOARD_VERSION);
  print_text(stream, " board-serial-number:\t", record, FIELD_BOARD_SERIAL_NUMBER);
  std::fputs("Type 3 Fields:\n", stream);
  print_text(stream, " chassis-manufacturer:\t", record, FIELD_CHASSIS_MANUFACTURER);
  print_text(stream, " chassis-version:\t", record, FIELD_CHASSIS_VERSION);
  print_text(stream, " chassis-serial-number:\t", record, FIELD_CHASSIS_SERIAL_NUMBER);
  print_text(stream, " chassis-asset-tag:\t", record, FIELD_CHASSIS_ASSET_TAG);
}
