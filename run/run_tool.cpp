// Run preparation, then the mode.
#include "run/run_tool.h"

#include "cli/config_file.h"
#include "flash/command_runner.h"
#include "flash/flash_region.h"
#include "flash/record_file.h"
#include "flash/run_lock.h"
#include "flash/search_path.h"
#include "flash/working_files.h"
#include "run/modes.h"
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
  std::FILE* file = std::fopen(config_path.c_str(), "r");
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

} // namespace

int run_tool(const run_settings& settings, dmi_record& config_record, dmi_record& cmdline_record,
             dmi_record& merged_record) {
  drop_relative_path_entries();
  // Before anything is written: a second run at the same time ends here.
  take_run_lock();
  open_log(settings.log_path);
  if (settings.config_path) {
    load_config_file(*settings.config_path, config_record);
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
  working_files files;
  if (make_working_files(files) != 0 || write_bios_layout(files.layout) != 0) {
    std::printf("Failed to create BIOS layout file, exiting ...\n");
    return EXIT_TOOL_ERROR;
  }
  switch (settings.mode) {
  case OP_READ:
    run_read_mode(files, config_record);
    return 0;
  case OP_WRITE:
    run_write_mode(files, config_record, cmdline_record, merged_record);
    return 0;
  case OP_UPDATE:
    run_update_mode(settings, files, config_record, cmdline_record, merged_record);
    return 0;
  case OP_UPDATE_DMI:
    run_update_dmi_mode(settings, files, config_record, cmdline_record, merged_record);
    return 0;
  case OP_NONE:
    std::printf("Unknown Operation, Aborting...\n");
    return EXIT_TOOL_ERROR;
  }
  return EXIT_TOOL_ERROR;
}
