// The values a run is given.
#include "run/given_values.h"

#include "cli/config_file.h"
#include "cli/value_rules.h"
#include "system/file_checks.h"
#include "util/failure.h"
#include "util/file_io.h"

#include <uuid/uuid.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void log_record(run_log& log, const std::string& heading, const dmi_record& record) {
  if (log.is_open()) {
    std::string block = heading;
    print_dmi_fields(block, record);
    log.write(block);
  }
}

[[noreturn]] void cannot_open_config(const std::string& path) {
  fail(failure_kind::file, path, "Unable to open config file %s: %s\n", path.c_str(),
       std::strerror(errno));
}

// Ends the run when another user may have chosen or filled the configuration file at `path`,
// described by `status` (see input_fault).
void refuse_untrusted_config(const std::string& path, const struct stat& status) {
  if (const std::string fault = input_fault(path, status); !fault.empty()) {
    fail(failure_kind::file, path, "Unable to open config file %s: %s\n", path.c_str(),
         fault.c_str());
  }
}

// Opens the configuration file, judged before it is opened (another user's FIFO would hold the
// run up) and again once open: a name filled in meanwhile leads to another file.
unique_stream open_config_file(const std::string& path) {
  struct stat named;
  if (::stat(path.c_str(), &named) != 0) {
    cannot_open_config(path);
  }
  refuse_untrusted_config(path, named);
  unique_stream file(std::fopen(path.c_str(), "re"));
  struct stat opened;
  if (file == nullptr || ::fstat(::fileno(file.get()), &opened) != 0) {
    cannot_open_config(path);
  }
  if (!same_file(named, opened)) {
    fail(failure_kind::file, path, "Unable to open config file %s: it was replaced\n",
         path.c_str());
  }
  refuse_untrusted_config(path, opened);
  return file;
}

} // namespace

dmi_record load_config_file(const std::string& config_path) {
  const unique_stream file = open_config_file(config_path);
  dmi_record config_record;
  dmi_record_init(config_record);
  const config_outcome outcome = parse_config_file(config_record, file.get());
  const std::string& why = outcome.why;
  switch (outcome.result) {
  case config_result::taken:
    return config_record;
  case config_result::bad_entry:
    fail(failure_kind::file, config_path, "%sInvalid config file entry in %s\n", why.c_str(),
         config_path.c_str());
  case config_result::bad_value:
  case config_result::no_room:
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, why).with_path(config_path);
  case config_result::read_error:
  case config_result::too_long:
    break;
  }
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::file, why, config_path);
}

void check_given_values(const dmi_record& values, const std::string& config_path) {
  const std::string where = config_path.empty() ? "" : " in " + config_path;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    std::optional<broken_rule> broken;
    if (field == FIELD_SYSTEM_UUID) {
      if (!uuid_is_null(dmi_record_uuid(values))) {
        broken = check_uuid_rules(dmi_record_uuid(values));
      }
    } else if (dmi_record_index(values, field) != 0) {
      broken = check_value_rules(field, dmi_record_text(values, field));
    }
    if (broken) {
      throw run_failure(
          EXIT_TOOL_ERROR, failure_kind::refused_value,
          format_text("Value of %s%s %s\n", field_name(field), where.c_str(), broken->text.c_str()),
          field_name(field))
          .with_path(config_path);
    }
  }
}

void check_carried_values(const dmi_record& found, const dmi_record& given,
                          const std::string& source_path) {
  const std::optional<carried_placeholder> carried = find_carried_placeholder(found, given);
  if (!carried) {
    return;
  }
  const char* name = field_name(carried->field);
  const std::string source = source_path.empty() ? "the flash" : source_path;
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value,
                    format_text("Value of %s carried over from %s %s: give the field a value\n",
                                name, source.c_str(), carried->broken.text.c_str()),
                    name)
      .with_path(source_path);
}

dmi_record overlay_values(const dmi_record& base, const dmi_record& override) {
  dmi_record merged;
  field_id overflow = FIELD_COUNT;
  if (merge_records(merged, base, override, &overflow) != 0) {
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, field_overflow_words(overflow),
                      field_name(overflow));
  }
  return merged;
}

dmi_record gather_values(const run_settings& settings, const dmi_record& config_record,
                         const dmi_record& cmdline_record, run_log& log) {
  // Merged before anything is logged, so values that do not fit stop the run before any write.
  const dmi_record given = overlay_values(config_record, cmdline_record);
  if (settings.config_path) {
    log_record(log, "\nDMI fields from " + *settings.config_path + ":\n-----\n", config_record);
  }
  log_record(log, "\nDMI fields from commandline:\n-----\n", cmdline_record);
  log_record(log, "\nMerged DMI values to write to flash:\n-----\n", given);
  return given;
}

dmi_record stored_record(const dmi_record& found, const dmi_record& given) {
  // Laid over before the new image is copied in, so values that do not fit stop the run before
  // any file changes.
  dmi_record stored = overlay_values(found, given);
  dmi_record_set_marker(stored, DMI_MARKER_STORED);
  return stored;
}
