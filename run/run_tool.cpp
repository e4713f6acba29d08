// Run preparation, then the mode.
#include "run/run_tool.h"

#include "cbfs/record_file.h"
#include "cli/config_file.h"
#include "cli/value_rules.h"
#include "flash_target/chip_target.h"
#include "flash_target/target.h"
#include "record/record_json.h"
#include "record/text_escape.h"
#include "run/modes.h"
#include "run/named_files.h"
#include "system/run_log.h"
#include "system/search_path.h"
#include "util/failure.h"

#include <uuid/uuid.h>

#include <algorithm>
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

// The values of the -c file. Ends the run on failure.
dmi_record load_config_file(const std::string& config_path) {
  std::FILE* file = std::fopen(config_path.c_str(), "re");
  if (file == nullptr) {
    fail(failure_kind::file, config_path, "Unable to open config file %s: %s\n",
         config_path.c_str(), std::strerror(errno));
  }
  dmi_record config_record;
  dmi_record_init(config_record);
  std::string why;
  const config_result result = parse_config_file(config_record, file, why);
  std::fclose(file);
  switch (result) {
  case config_result::taken:
    return config_record;
  case config_result::bad_entry:
    fail(failure_kind::refused_value, config_path, "%sInvalid config file entry in %s\n",
         why.c_str(), config_path.c_str());
  case config_result::bad_value:
  case config_result::no_room:
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, why, config_path);
  case config_result::read_error:
  case config_result::too_long:
    break;
  }
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::file, why, config_path);
}

// With --strict, and always in a batch: each value given (on the command line, or in the -c file
// `config_path`) must pass the value rules. Ends the run naming the first that does not.
void check_value_rules(const dmi_record& values, const std::string& config_path) {
  const std::string where = config_path.empty() ? "" : " in " + config_path;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    std::optional<broken_rule> broken;
    if (field == FIELD_SYSTEM_UUID) {
      const std::uint8_t* uuid = dmi_record_uuid(values);
      if (std::any_of(uuid, uuid + DMI_UUID_SIZE, [](std::uint8_t byte) { return byte != 0; })) {
        broken = check_uuid_rules(uuid);
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

// --expect: ends the run with 1 when the record read does not hold every value given, naming each
// field that differs with what was found and what was expected; UUIDs are compared as UUIDs.
void check_expected_values(const dmi_record& found, const dmi_record& given) {
  std::string lines;
  std::string members = ",\"mismatches\":[";
  const char* first = nullptr;
  int given_count = 0;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    const bool is_given = field == FIELD_SYSTEM_UUID ? !uuid_is_null(dmi_record_uuid(given))
                                                     : dmi_record_index(given, field) != 0;
    if (!is_given) {
      continue;
    }
    ++given_count;
    if (!field_differs(found, given, field)) {
      continue;
    }
    const std::string was = field_value_text(found, field);
    const std::string wanted = field_value_text(given, field);
    lines += std::string(field_name(field)) + ": found '" + escape_control_bytes(was) +
             "', expected '" + escape_control_bytes(wanted) + "'\n";
    members += first == nullptr ? "{\"field\":" : ",{\"field\":";
    append_json_string(members, field_name(field));
    members += ",\"found\":";
    append_json_string(members, was);
    members += ",\"expected\":";
    append_json_string(members, wanted);
    members += '}';
    first = first == nullptr ? field_name(field) : first;
  }
  if (given_count == 0) {
    fail(failure_kind::usage, "",
         "--expect needs values to check: give them as options or with -c\n");
  }
  if (first != nullptr) {
    throw run_failure(1, failure_kind::mismatch, lines, first).with_document_members(members + "]");
  }
}

bool changes_target(operating_mode mode) {
  return mode == OP_WRITE || mode == OP_UPDATE || mode == OP_UPDATE_DMI;
}

// The values the operator gave: the file's under the command line's, each source and the merge
// logged. Merged before anything is logged, so values that do not fit stop the run before any
// write.
dmi_record gather_values(const run_settings& settings, const dmi_record& config_record,
                         const dmi_record& cmdline_record, run_log& log) {
  dmi_record given;
  field_id overflow = FIELD_COUNT;
  if (merge_records(given, config_record, cmdline_record, &overflow) != 0) {
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, field_overflow_words(overflow),
                      field_name(overflow));
  }
  if (settings.config_path) {
    log_record(log, "\nDMI fields from " + *settings.config_path + ":\n-----\n", config_record);
  }
  log_record(log, "\nDMI fields from commandline:\n-----\n", cmdline_record);
  log_record(log, "\nMerged DMI values to write to flash:\n-----\n", given);
  return given;
}

// Performs the mode. Ends the run when there is no mode.
mode_result run_mode(const run_settings& settings, flash_target& target, command_runner& runner,
                     const dmi_record& given) {
  switch (settings.mode) {
  case OP_READ:
    return run_read_mode(target, runner);
  case OP_WRITE:
    return run_write_mode(target, runner, given);
  case OP_UPDATE:
    return run_update_mode(settings, target, runner, given);
  case OP_UPDATE_DMI:
    return run_update_dmi_mode(settings, target, runner, given);
  case OP_NONE:
    break;
  }
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::usage, "Unknown Operation, Aborting...\n")
      .shown_on_standard_output();
}

// The runs on the chip's journal alone: --restore and --discard-journal.
void run_on_journal(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
                    command_shell& shell) {
  chip_target chip(false, false);
  chip.take_hold();
  run_log log = settings.log_path ? run_log(*settings.log_path) : run_log();
  command_runner runner(out, log, shell);
  if (settings.discard_journal) {
    chip.discard_journal(out);
    return;
  }
  dmi_record config_record;
  dmi_record_init(config_record);
  gather_values(settings, config_record, cmdline_record, log);
  chip.make_working_files();
  chip.restore(runner);
}

// The run up to its result, which it returns once the target and the run's own files are gone.
mode_result perform(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
                    command_shell& shell) {
  const std::unique_ptr<flash_target> target = open_target(
      settings.image_file, settings.output_file, changes_target(settings.mode), settings.dry_run);
  // Read before the run lock is taken: a file that never ends (a FIFO without a writer) then
  // holds up this run only, not every other run on the chip.
  dmi_record config_record;
  dmi_record_init(config_record);
  if (settings.config_path) {
    config_record = load_config_file(*settings.config_path);
  }
  if (settings.strict) {
    check_value_rules(cmdline_record, "");
    check_value_rules(config_record, settings.config_path.value_or(""));
  }
  target->take_hold();
  run_log log = settings.log_path ? run_log(*settings.log_path) : run_log();
  command_runner runner(out, log, shell);
  const dmi_record given = gather_values(settings, config_record, cmdline_record, log);
  if (settings.copy_path) {
    write_record_file(settings.copy_path->c_str(), link_policy::follow, given);
  }
  target->make_working_files();
  const mode_result result = run_mode(settings, *target, runner, given);
  if (settings.expect) {
    check_expected_values(result.found, given);
  }
  return result;
}

} // namespace

void run_tool(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
              command_shell& shell) {
  drop_relative_path_entries();
  refuse_outputs_over_inputs(settings);
  if (settings.restore || settings.discard_journal) {
    run_on_journal(settings, cmdline_record, out, shell);
    return;
  }
  out.show_result(settings, perform(settings, cmdline_record, out, shell));
}
