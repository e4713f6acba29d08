// Run preparation, then the mode.
#include "run/run_tool.h"

#include "cbfs/record_file.h"
#include "cli/config_file.h"
#include "flash_target/journal.h"
#include "flash_target/recovery.h"
#include "flash_target/target.h"
#include "record/text_escape.h"
#include "run/json_output.h"
#include "run/modes.h"
#include "run/named_files.h"
#include "system/command_runner.h"
#include "system/leftovers.h"
#include "system/run_lock.h"
#include "system/search_path.h"
#include "util/fail.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void log_record(const char* heading, const dmi_record& record) {
  if (log_stream != nullptr) {
    std::fputs(heading, log_stream);
    print_dmi_fields(log_stream, record);
  }
}

// Reads the -c file into `config_record`. Ends the run on failure.
void load_config_file(const std::string& config_path, dmi_record& config_record) {
  std::FILE* file = std::fopen(config_path.c_str(), "re");
  if (file == nullptr) {
    fail("Unable to open config file %s: %s\n", config_path.c_str(), std::strerror(errno));
  }
  const config_result result = parse_config_file(config_record, file);
  std::fclose(file);
  if (result == config_result::bad_entry) {
    fail("Invalid config file entry\n");
  }
  if (result != config_result::taken) {
    end_run(EXIT_TOOL_ERROR);
  }
}

bool changes_target(operating_mode mode) {
  return mode == OP_WRITE || mode == OP_UPDATE || mode == OP_UPDATE_DMI;
}

// The chip, or the -f image file checked (and locked for a mode that changes it) before the run
// writes anything anywhere.
flash_target choose_target(const run_settings& settings) {
  if (!settings.image_file) {
    flash_target chip;
    chip.dry_run = settings.dry_run;
    return chip;
  }
  return open_image_target(*settings.image_file, settings.output_file,
                           changes_target(settings.mode), settings.dry_run);
}

// Performs the mode. Returns the record stored (in a dry run, to be stored; for a read, the
// record read). Ends the run when there is no mode.
const dmi_record& run_mode(const run_settings& settings, flash_target& target,
                           const working_files& files, dmi_record& config_record,
                           const dmi_record& cmdline_record, dmi_record& merged_record) {
  switch (settings.mode) {
  case OP_READ:
    return run_read_mode(target, files, config_record);
  case OP_WRITE:
    return run_write_mode(target, files, config_record, cmdline_record, merged_record);
  case OP_UPDATE:
    return run_update_mode(settings, target, files, config_record, cmdline_record, merged_record);
  case OP_UPDATE_DMI:
    return run_update_dmi_mode(settings, target, files, config_record, cmdline_record,
                               merged_record);
  case OP_NONE:
    break;
  }
  std::printf("Unknown Operation, Aborting...\n");
  end_run(EXIT_TOOL_ERROR);
}

// What a dry run would have done: for an update, the region it would replace; the fields the
// record stored would change; then that nothing was written.
void report_dry_run(const run_settings& settings, const dmi_record& found,
                    const dmi_record& stored) {
  if (settings.mode == OP_WRITE) {
    print_field_changes(stdout, found, stored);
  } else {
    std::printf("The coreboot region would be replaced by that of %s\n",
                escape_control_bytes(settings.bios_file.value_or("")).c_str());
    print_field_changes(stdout, found, stored, "The record would be carried over unchanged\n");
  }
  std::printf("Dry run: nothing was written\n");
}

} // namespace

void run_tool(const run_settings& settings, dmi_record& config_record, dmi_record& cmdline_record,
              dmi_record& merged_record) {
  drop_relative_path_entries();
  refuse_outputs_over_inputs(settings);
  flash_target target = choose_target(settings);
  // Read before the run lock is taken: a file that never ends (a FIFO without a writer) then
  // holds up this run only, not every other run on the chip.
  if (settings.config_path) {
    load_config_file(*settings.config_path, config_record);
  }
  // Before anything is written: a second run on the chip at the same time ends here. An image
  // file is locked on its own by a run that changes it. The state folder is checked (and made
  // for a run that will write) before the chip is read.
  if (!target.is_image()) {
    take_run_lock();
    target.state_folder = open_state_folder(changes_target(settings.mode) && !settings.dry_run);
  }
  open_log(settings.log_path);
  if (settings.discard_journal) {
    discard_journal(target.state_folder);
    return;
  }
  // Merged before anything is logged, so values that do not fit stop the run before any write.
  field_id overflow = FIELD_COUNT;
  if (merge_records(merged_record, config_record, cmdline_record, &overflow) != 0) {
    report_field_overflow(overflow);
    end_run(EXIT_TOOL_ERROR);
  }
  if (settings.config_path && log_stream != nullptr) {
    std::fprintf(log_stream, "\nDMI fields from %s:\n-----\n", settings.config_path->c_str());
    print_dmi_fields(log_stream, config_record);
  }
  log_record("\nDMI fields from commandline:\n-----\n", cmdline_record);
  cmdline_record = merged_record;
  log_record("\nMerged DMI values to write to flash:\n-----\n", merged_record);
  if (settings.copy_path &&
      write_record_file(settings.copy_path->c_str(), link_policy::follow, merged_record) != 0) {
    end_run(EXIT_TOOL_ERROR);
  }
  // A read needs no working copy of an image file: it reads the image in place.
  const working_files files = target.is_image() && !changes_target(settings.mode)
                                  ? working_files{}
                                  : make_working_files(target);
  if (settings.restore) {
    restore_from_journal(target.state_folder, files);
    remove_leftovers();
    return;
  }
  const dmi_record& stored =
      run_mode(settings, target, files, config_record, cmdline_record, merged_record);
  if (settings.dry_run && settings.mode != OP_READ) {
    report_dry_run(settings, config_record, stored);
  }
  remove_leftovers();
  if (settings.json) {
    write_json_document(json_document(settings, config_record, stored),
                        change_note(settings, stored));
  }
}
