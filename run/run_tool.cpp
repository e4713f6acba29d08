// Run preparation, then the mode.
#include "run/run_tool.h"

#include "cbfs/record_file.h"
#include "flash_target/chip_target.h"
#include "flash_target/target.h"
#include "record/text_escape.h"
#include "run/batch.h"
#include "run/given_values.h"
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

// --expect: ends the run with 1 when the record read does not hold every value given, naming each
// field that differs with what was found and what was expected; UUIDs are compared as UUIDs.
void check_expected_values(const dmi_record& found, const dmi_record& given) {
  std::string lines;
  item_list<value_mismatch> mismatches;
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
    value_mismatch mismatch{field_name(field), field_value_text(found, field),
                            field_value_text(given, field)};
    lines += (lines.empty() ? "" : "\n") + mismatch.field + ": found '" +
             escape_control_bytes(mismatch.found) + "', expected '" +
             escape_control_bytes(mismatch.expected) + "'";
    mismatches.push_back(std::move(mismatch));
  }
  if (given_count == 0) {
    fail(failure_kind::usage, "",
         "--expect needs values to check: give them as options or with -c\n");
  }
  if (!mismatches.empty()) {
    const std::string first = mismatches[0].field;
    throw run_failure(1, failure_kind::mismatch, lines, first)
        .with_mismatches(std::move(mismatches));
  }
}

bool changes_target(operating_mode mode) {
  return mode == OP_WRITE || mode == OP_UPDATE || mode == OP_UPDATE_DMI;
}

// Performs the mode. Ends the run when there is no mode.
mode_result run_mode(const run_settings& settings, flash_target& target, command_runner& runner,
                     const dmi_record& given) {
  switch (settings.mode) {
  case OP_READ:
    return run_read_mode(target, runner);
  case OP_WRITE:
    return run_write_mode(settings, target, runner, given);
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

// The runs on the chip's journal alone: --restore and --discard-journal. Returns what a discard
// removed (nothing for a restore, which ends the run unless it restored the region).
item_list<discarded_file> run_on_journal(const run_settings& settings,
                                         const dmi_record& cmdline_record, reporter& out,
                                         command_shell& shell) {
  chip_target chip(false, false);
  chip.take_hold();
  run_log log = settings.log_path ? run_log(*settings.log_path) : run_log();
  command_runner runner(out, log, shell);
  if (settings.discard_journal) {
    return chip.discard_journal(out);
  }
  dmi_record config_record;
  dmi_record_init(config_record);
  gather_values(settings, config_record, cmdline_record, log);
  chip.make_working_files();
  chip.restore(runner, settings.same_board);
  return {};
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
  // A row of a batch table is held to the rules a batch holds its values to.
  if (settings.strict || settings.batch_row) {
    check_given_values(cmdline_record, "");
    check_given_values(config_record, settings.config_path.value_or(""));
  }
  target->take_hold();
  run_log log = settings.log_path ? run_log(*settings.log_path) : run_log();
  command_runner runner(out, log, shell);
  const dmi_record given = gather_values(settings, config_record, cmdline_record, log);
  if (settings.copy_path) {
    write_record_file(settings.copy_path->c_str(), link_policy::follow, given);
  }
  target->clear_stale_files(out);
  target->make_working_files();
  const mode_result result = run_mode(settings, *target, runner, given);
  if (settings.expect) {
    check_expected_values(result.found, given);
  }
  return result;
}

} // namespace

int run_tool(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
             command_shell& shell) {
  drop_relative_path_entries();
  refuse_outputs_over_inputs(settings);
  if (settings.batch_table && !settings.batch_row) {
    return run_batch(settings, cmdline_record, out, shell);
  }
  if (settings.restore || settings.discard_journal) {
    out.show_journal_result(settings, run_on_journal(settings, cmdline_record, out, shell));
    return 0;
  }
  // One board of a batch: the row's values over the options', found before the target is opened,
  // so a table that names no such board, or several, reads and writes nothing.
  const dmi_record given =
      settings.batch_row
          ? overlay_values(cmdline_record, batch_row_values(settings, cmdline_record))
          : cmdline_record;
  try {
    out.show_result(settings, perform(settings, given, out, shell));
  } catch (run_failure& failure) {
    // --expect ends 1 for values that differ and for nothing else, so a script can tell a board
    // that holds other values from a check that could not be made.
    if (settings.expect && failure.kind() != failure_kind::mismatch) {
      throw failure.with_message(failure_words(failure)).with_status(EXIT_TOOL_ERROR);
    }
    throw;
  }
  return 0;
}
