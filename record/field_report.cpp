// The seventeen-line report of a record's values, and the lines naming the fields that differ.
#include "record/dmi_record.h"
#include "record/text_escape.h"

namespace {

// A value between single quotes, as every line that shows one writes it. A control character in
// the text would start a new line or move the terminal's cursor, so each is shown escaped: every
// line stays one field's, whatever the flash holds.
void print_quoted(std::string& out, std::string_view text) {
  out += '\'';
  out += escape_control_bytes(text);
  out += '\'';
}

void print_text(std::string& out, const char* label, const dmi_record& record, field_id field) {
  out += label;
  print_quoted(out, dmi_record_text(record, field));
  out += '\n';
}

} // namespace

void print_dmi_fields(std::string& out, const dmi_record& record) {
  out += "Type 1 Fields:\n";
  print_text(out, " system-manufacturer:\t", record, FIELD_SYSTEM_MANUFACTURER);
  print_text(out, " system-product-name:\t", record, FIELD_SYSTEM_PRODUCT_NAME);
  print_text(out, " system-version:\t", record, FIELD_SYSTEM_VERSION);
  print_text(out, " system-serial-number:\t", record, FIELD_SYSTEM_SERIAL_NUMBER);
  out += " system-uuid:\t\t'" + field_value_text(record, FIELD_SYSTEM_UUID) + "'\n";
  print_text(out, " system-sku:\t\t", record, FIELD_SYSTEM_SKU);
  out += "Type 2 Fields:\n";
  print_text(out, " board-manufacturer:\t", record, FIELD_BOARD_MANUFACTURER);
  print_text(out, " board-product-name:\t", record, FIELD_BOARD_PRODUCT_NAME);
  print_text(out, " board-version:\t\t", record, FIELD_BOARD_VERSION);
  print_text(out, " board-serial-number:\t", record, FIELD_BOARD_SERIAL_NUMBER);
  out += "Type 3 Fields:\n";
  print_text(out, " chassis-manufacturer:\t", record, FIELD_CHASSIS_MANUFACTURER);
  print_text(out, " chassis-version:\t", record, FIELD_CHASSIS_VERSION);
  print_text(out, " chassis-serial-number:\t", record, FIELD_CHASSIS_SERIAL_NUMBER);
  print_text(out, " chassis-asset-tag:\t", record, FIELD_CHASSIS_ASSET_TAG);
}

void print_field_changes(std::string& out, const dmi_record& before, const dmi_record& after,
                         const char* unchanged) {
  const field_list changed = changed_fields(before, after);
  for (const field_id field : changed) {
    out += field_name(field);
    out += ": ";
    print_quoted(out, field_value_text(before, field));
    out += " -> ";
    print_quoted(out, field_value_text(after, field));
    out += '\n';
  }
  if (changed.empty()) {
    out += unchanged;
  }
}
