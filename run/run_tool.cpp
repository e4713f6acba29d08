// Run preparation and read mode.
#include "run/run_tool.h"

#include "cli/config_file.h"
#include "flash/command_runner.h"
#include "flash/flash_region.h"
#include "flash/image_record.h"
#include "flash/record_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    std::fprintf(stderr, "Unable to open config file %s: %s\n", config_path.c_str(),
                 std::strerror(errno));
    std::exit(EXIT_TOOL_ERROR);
  }
  const int result = parse_config_file(config_record, file);
  std::fclose(file);
  if (result == CONFIG_BAD_ENTRY) {
    std::fprintf(stderr, "Invalid config file entry\n");
  }
  if (result != 0) {
    std::exit(EXIT_TOOL_ERROR);
  }
}

} // namespace

void merge_or_exit(dmi_record& result, const dmi_record& base, const dmi_record& override) {
  field_id overflow = FIELD_COUNT;
  if (merge_records(result, base, override, &overflow) != 0) {
    report_field_overflow(overflow);
    std::exit(EXIT_TOOL_ERROR);
  }
}

void read_image_record(dmi_record& record) {
  if (read_dmi_record(record) != 0) {
    std::exit(EXIT_TOOL_ERROR);
  }
}

int run_tool(const run_settings& settings, dmi_record& config_record, dmi_record& cmdline_record,
             dmi_record& merged_record) {
  open_log();
  if (settings.config_path) {
    load_config_file(*settings.config_path, config_record);
  }
  // Merged before anything is logged, so values that do not fit stop the run before any write.
  merge_or_exit(merged_record, config_record, cmdline_record);
  if (settings.config_path && log_stream != nullptr) {
    std::fprintf(log_stream, "\nDMI fields from %s:\n-----\n", settings.config_path->c_str());
    print_dmi_fields(log_stream, config_record);
  }
  log_record("\nDMI fields from commandline:\n-----\n", cmdline_record);
  cmdline_record = merged_record;
  log_record("\nMerged DMI values to write to flash:\n-----\n", merged_record);
  if (settings.copy_path && write_record_file(settings.copy_path->c_str(), 0, merged_record) != 0) {
    std::exit(EXIT_TOOL_ERROR);
  }
  if (write_bios_layout() != 0) {
    std::printf("Failed to create BIOS layout file, exiting ...\n");
    return -1;
  }
  switch (settings.mode) {
  case OP_READ:
    run_read_mode(config_record);
    return 0;
  case OP_WRITE:
    return run_write_mode(config_record, cmdline_record, merged_record);
  case OP_UPDATE:
    return run_update_mode(settings, config_record, cmdline_record, merged_record);
  case OP_UPDATE_DMI:
    return run_update_dmi_mode(settings, config_record, cmdline_record, merged_record);
  case OP_NONE:
    std::printf("Unknown Operation, Aborting...\n");
    std::exit(EXIT_TOOL_ERROR);
  }
  return -1;
}

void run_read_mode(dmi_record& config_record) {
  read_coreboot_region();
  read_image_record(config_record);
  print_dmi_fields(stdout, config_record);
}
