// The JSON result of a run.
#include "run/json_output.h"

#include "record/record_json.h"
#include "util/version.h"

#include <cstring>

namespace {

const char* mode_name(operating_mode mode) {
  switch (mode) {
  case OP_READ:
    return "read";
  case OP_WRITE:
    return "write";
  case OP_UPDATE:
    return "update";
  case OP_UPDATE_DMI:
    return "update-fields";
  case OP_NONE:
    break;
  }
  return "none";
}

} // namespace

std::string json_opening(const run_settings& settings) {
  // The document's own format, so a script can tell a later one apart; then what made it.
  std::string out = "{\"format\":1,\"tool_version\":";
  append_json_string(out, tool_version());
  out += ",\"mode\":";
  // A batch run as one row is the run of that row: a write or a read.
  const bool whole_batch = settings.batch_table && !settings.batch_row;
  append_json_string(out, !whole_batch      ? mode_name(settings.mode)
                          : settings.expect ? "batch-check"
                                            : "batch");
  out += ",\"dry_run\":";
  out += settings.dry_run ? "true" : "false";
  out += ",\"source\":";
  append_json_string(out, settings.image_file ? *settings.image_file : "flash");
  if (settings.output_file) {
    out += ",\"output\":";
    append_json_string(out, *settings.output_file);
  }
  return out;
}

void append_result_json(std::string& out, const run_settings& settings, const dmi_record& found,
                        const dmi_record& stored) {
  out += ",\"record\":";
  append_record_json(out, settings.mode == OP_READ ? found : stored);
  if (settings.mode != OP_READ) {
    out += ",\"previous\":";
    append_record_json(out, found);
    out += ",\"changed\":";
    append_changed_fields_json(out, found, stored);
    // Bytes can change with no field: the marker of a record first stored by this tool, say.
    out += ",\"record_changed\":";
    out += std::memcmp(found.bytes, stored.bytes, DMI_RECORD_SIZE) != 0 ? "true" : "false";
  }
}

std::string json_document(const run_settings& settings, const dmi_record& found,
                          const dmi_record& stored) {
  std::string out = json_opening(settings);
  append_result_json(out, settings, found, stored);
  if (settings.expect) {
    out += ",\"matches\":true";
  }
  out += "}\n";
  return out;
}

void append_failure_json(std::string& out, const run_failure& failure) {
  out += ",\"status\":" + std::to_string(failure.status()) + ",\"kind\":";
  append_json_string(out, failure_kind_name(failure.kind()));
  out += ",\"message\":";
  append_json_string(out, failure.message());
  if (!failure.subject().empty()) {
    const failure_kind kind = failure.kind();
    out += kind == failure_kind::refused_value || kind == failure_kind::mismatch ? ",\"field\":"
           : kind == failure_kind::outside_program                               ? ",\"program\":"
           : kind == failure_kind::usage                                         ? ",\"option\":"
                                                                                 : ",\"path\":";
    append_json_string(out, failure.subject());
  }
  if (!failure.path().empty()) {
    out += ",\"path\":";
    append_json_string(out, failure.path());
  }
  if (failure.flash()) {
    out += ",\"flash\":";
    out += *failure.flash() == flash_after_failure::restored ? "\"restored\"" : "\"needs-restore\"";
  }
  out += failure.document_members();
}

std::string json_failure_document(const run_settings& settings, const run_failure& failure) {
  std::string out = json_opening(settings);
  append_failure_json(out, failure);
  out += "}\n";
  return out;
}

std::string change_note(const run_settings& settings, const dmi_record& stored) {
  if (settings.mode == OP_READ || settings.dry_run) {
    return "";
  }
  std::string note = settings.image_file ? "Image file " + *settings.image_file : "The flash";
  note += " was changed all the same; the record stored: ";
  append_record_json(note, stored);
  note += '\n';
  return note;
}
