// The modes that change the flash: write, update, and update with new values.
#include "cli/options.h"
#include "flash/cbfs_record.h"
#include "flash/command_runner.h"
#include "flash/flash_files.h"
#include "flash/flash_region.h"
#include "flash/image_record.h"
#include "run/run_tool.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Lays the gathered values over the image record, marked as stored by this tool. Done before
// the new image is copied in, so values that do not fit stop the run before any file changes.
void merge_over_image_record(dmi_record& merged_record, const dmi_record& image_record,
                             const dmi_record& cmdline_record) {
  merge_or_exit(merged_record, image_record, cmdline_record);
  dmi_record_set_marker(merged_record, DMI_MARKER_STORED);
}

// Copies the new firmware image over the working image. Ends the run on failure.
void copy_new_image(const run_settings& settings) {
  command_buffer command;
  format_command(command, "cp %s %s", shell_quote(settings.bios_file.value_or("")).c_str(),
                 WORKING_IMAGE_PATH);
  run_command(command, false);
}

void store_record(const dmi_record& record) {
  if (update_cbfs_record(record) != 0) {
    std::exit(EXIT_TOOL_ERROR);
  }
}

} // namespace

int run_write_mode(dmi_record& config_record, const dmi_record& cmdline_record,
                   dmi_record& merged_record) {
  std::printf("Programming DMI...\n");
  read_coreboot_region();
  read_image_record(config_record);
  merge_over_image_record(merged_record, config_record, cmdline_record);
  store_record(merged_record);
  patch_record_region(WORKING_IMAGE_PATH);
  return 0;
}

int run_update_mode(const run_settings& settings, dmi_record& config_record,
                    const dmi_record& cmdline_record, dmi_record& merged_record) {
  std::printf("Updating coreboot region  ...\n");
  read_coreboot_region();
  read_image_record(config_record);
  // A configuration file, even one of comments only, means the record is stored merged;
  // without one the old record is carried over byte for byte, marker included.
  const dmi_record* record_to_store = &config_record;
  if (settings.config_path) {
    merge_over_image_record(merged_record, config_record, cmdline_record);
    record_to_store = &merged_record;
  }
  copy_new_image(settings);
  store_record(*record_to_store);
  write_coreboot_region();
  return 0;
}

int run_update_dmi_mode(const run_settings& settings, dmi_record& config_record,
                        const dmi_record& cmdline_record, dmi_record& merged_record) {
  std::printf("Programming DMI...\n");
  read_coreboot_region();
  read_image_record(config_record);
  merge_over_image_record(merged_record, config_record, cmdline_record);
  copy_new_image(settings);
  store_record(merged_record);
  std::printf("Updating coreboot region of flash ...\n");
  write_coreboot_region();
  return 0;
}
