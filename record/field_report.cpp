// The seventeen-line report of a record's values, and the lines naming the fields that differ.
#include "record/dmi_record.h"
#include "record/text_escape.h"

namespace {

// A value between single quotes, as every line that shows one writes it. A control character in
// the text would start a new line or move the terminal's cursor, so each is shown escaped: every
// line stays one field's, whatever the flash holds.
void print_quoted(std::FILE* stream, std::string_view text) {
  std::fprintf(stream, "'%s'", escape_control_bytes(text).c_str());
}

void print_text(std::FILE* stream, const char* label, const dmi_record& record, field_id field) {
  std::fputs(label, stream);
  print_quoted(stream, dmi_record_text(record, field));
  std::fputc('\n', stream);
}

} // namespace

void print_dmi_fields(std::FILE* stream, const dmi_record& record) {
  if (stream == nullptr) {
    return;
  }
  std::fputs("Type 1 Fields:\n", stream);
  print_text(stream, " system-manufacturer:\t", record, FIELD_SYSTEM_MANUFACTURER);
  print_text(stream, " system-product-name:\t", record, FIELD_SYSTEM_PRODUCT_NAME);
  print_text(stream, " system-version:\t", record, FIELD_SYSTEM_VERSION);
  print_text(stream, " system-serial-number:\t", record, FIELD_SYSTEM_SERIAL_NUMBER);
  std::fprintf(stream, " system-uuid:\t\t'%s'\n",
               field_value_text(record, FIELD_SYSTEM_UUID).c_str());
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

void print_field_changes(std::FILE* stream, const dmi_record& before, const dmi_record& after,
                         const char* unchanged) {
  const field_list changed = changed_fields(before, after);
  for (const field_id field : changed) {
    std::fprintf(stream, "%s: ", field_name(field));
    print_quoted(stream, field_value_text(before, field));
    std::fputs(" -> ", stream);
    print_quoted(stream, field_value_text(after, field));
    std::fputc('\n', stream);
  }
  if (changed.empty()) {
    std::fputs(unchanged, stream);
  }
}
