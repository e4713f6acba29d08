// The JSON documents of a run.
#include "run/json_output.h"

#include "record/record_json.h"
#include "record/utf8.h"
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

// The kind's name as a script reads it.
const char* failure_kind_name(failure_kind kind) {
  switch (kind) {
  case failure_kind::usage:
    return "usage";
  case failure_kind::refused_value:
    return "refused-value";
  case failure_kind::image:
    return "image";
  case failure_kind::file:
    return "file";
  case failure_kind::outside_program:
    return "outside-program";
  case failure_kind::journal:
    return "journal";
  case failure_kind::lock:
    return "lock";
  case failure_kind::mismatch:
    return "mismatch";
  }
  return "unknown";
}

// The member that names a failure's subject: the field, the program, the option or the file.
const char* subject_member(failure_kind kind) {
  switch (kind) {
  case failure_kind::refused_value:
  case failure_kind::mismatch:
    return "field";
  case failure_kind::outside_program:
    return "program";
  case failure_kind::usage:
    return "option";
  case failure_kind::image:
  case failure_kind::file:
  case failure_kind::journal:
  case failure_kind::lock:
    break;
  }
  return "path";
}

std::string mismatches_json(const item_list<value_mismatch>& mismatches) {
  std::string out = "[";
  for (const value_mismatch& each : mismatches) {
    json_object mismatch;
    mismatch.text("field", each.field);
    mismatch.text("found", each.found);
    mismatch.text("expected", each.expected);
    out += out.size() > 1 ? "," : "";
    out += mismatch.finish();
  }
  return out + "]";
}

std::string problems_json(const item_list<table_problem>& problems) {
  std::string out = "[";
  for (const table_problem& each : problems) {
    json_object problem;
    problem.raw("line", std::to_string(each.line));
    if (!each.column.empty()) {
      problem.text("column", each.column);
    }
    problem.words("message", each.text);
    out += out.size() > 1 ? "," : "";
    out += problem.finish();
  }
  return out + "]";
}

std::string record_json(const dmi_record& record) {
  std::string out;
  append_record_json(out, record);
  return out;
}

} // namespace

void json_object::text(std::string_view name, std::string_view value) {
  if (is_utf8(value)) {
    std::string quoted;
    append_json_string(quoted, value);
    raw(name, quoted);
    return;
  }
  raw(name, "null");
  not_utf8_ += not_utf8_.empty() ? "" : ",";
  append_json_string(not_utf8_, name);
}

void json_object::words(std::string_view name, std::string_view value) {
  std::string quoted;
  append_json_string(quoted, value);
  raw(name, quoted);
}

void json_object::raw(std::string_view name, std::string_view json) {
  members_ += members_.empty() ? "" : ",";
  append_json_string(members_, name);
  members_ += ':';
  members_ += json;
}

std::string json_object::finish() const {
  std::string object = "{" + members_;
  if (!not_utf8_.empty()) {
    object += members_.empty() ? "\"not_utf8\":[" : ",\"not_utf8\":[";
    object += not_utf8_;
    object += ']';
  }
  return object + "}";
}

void add_opening(json_object& document, const run_settings& settings) {
  // The document's own format, so a script can tell a later one apart; then what made it.
  document.raw("format", "1");
  document.text("tool_version", tool_version());
  // A batch run as one row is the run of that row: a write or a read.
  const bool whole_batch = settings.batch_table && !settings.batch_row;
  document.text("mode", whole_batch && settings.expect ? "batch-check"
                        : whole_batch                  ? "batch"
                        : settings.restore             ? "restore"
                        : settings.discard_journal     ? "discard-journal"
                                                       : mode_name(settings.mode));
  document.raw("dry_run", settings.dry_run ? "true" : "false");
  document.text("source", settings.image_file ? *settings.image_file : "flash");
  if (settings.output_file) {
    document.text("output", *settings.output_file);
  }
}

std::string json_document(const run_settings& settings, const dmi_record& found,
                          const dmi_record& stored) {
  json_object document;
  add_opening(document, settings);
  document.raw("record", record_json(settings.mode == OP_READ ? found : stored));
  if (settings.mode != OP_READ) {
    document.raw("previous", record_json(found));
    std::string changed;
    append_changed_fields_json(changed, found, stored);
    document.raw("changed", changed);
    // Bytes can change with no field: the marker of a record first stored by this tool, say.
    document.raw("record_changed",
                 std::memcmp(found.bytes, stored.bytes, DMI_RECORD_SIZE) != 0 ? "true" : "false");
  }
  if (settings.expect) {
    document.raw("matches", "true");
  }
  return document.finish() + "\n";
}

std::string json_journal_document(const run_settings& settings,
                                  const item_list<discarded_file>& discarded) {
  json_object document;
  add_opening(document, settings);
  if (settings.restore) {
    document.raw("restored", "true");
  } else {
    std::string files = "[";
    for (const discarded_file& each : discarded) {
      json_object file;
      file.text("path", each.path);
      file.words("held", each.held);
      files += files.size() > 1 ? "," : "";
      files += file.finish();
    }
    document.raw("discarded", files + "]");
  }
  return document.finish() + "\n";
}

void add_failure(json_object& object, const run_failure& failure) {
  object.raw("status", std::to_string(failure.status()));
  object.text("kind", failure_kind_name(failure.kind()));
  object.words("message", failure.message());
  if (!failure.subject().empty()) {
    object.text(subject_member(failure.kind()), failure.subject());
  }
  if (!failure.path().empty()) {
    object.text("path", failure.path());
  }
  if (failure.program_status()) {
    object.raw("program_status", std::to_string(*failure.program_status()));
  }
  if (failure.flash()) {
    object.text("flash",
                *failure.flash() == flash_after_failure::restored ? "restored" : "needs-restore");
  }
  if (failure.mismatches() != nullptr) {
    object.raw("mismatches", mismatches_json(*failure.mismatches()));
  }
  if (failure.problems() != nullptr) {
    object.raw("problems", problems_json(*failure.problems()));
    if (failure.problems_not_listed() > 0) {
      object.raw("problems_not_listed", std::to_string(failure.problems_not_listed()));
    }
  }
}

std::string json_failure_document(const run_settings& settings, const run_failure& failure) {
  json_object document;
  add_opening(document, settings);
  add_failure(document, failure);
  return document.finish() + "\n";
}

std::string change_note(const run_settings& settings, const dmi_record& stored) {
  if (settings.mode == OP_READ || settings.dry_run) {
    return "";
  }
  std::string note = settings.image_file ? "Image file " + *settings.image_file : "The flash";
  return note + " was changed all the same; the record stored: " + record_json(stored) + "\n";
}
