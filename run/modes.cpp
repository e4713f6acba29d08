// The four modes: read, write, update, and update with new values.
#include "run/modes.h"

#include "flash/cbfs_record.h"
#include "flash/command_runner.h"
#include "flash/flash_region.h"
#include "flash/image_record.h"
#include "util/fail.h"

#include <cstdio>

namespace {

// Lays the gathered values over the image record, marked as stored by this tool. Done before
// the new image is copied in, so values that do not fit stop the run before any file changes.
void merge_over_image_record(dmi_record& merged_record, const dmi_record& image_record,
                             const dmi_record& cmdline_record) {
  field_id overflow = FIELD_COUNT;
  if (merge_records(merged_record, image_record, cmdline_record, &overflow) != 0) {
    report_field_overflow(overflow);
    end_run(EXIT_TOOL_ERROR);
  }
  dmi_record_set_marker(merged_record, DMI_MARKER_STORED);
}

// Copies the new firmware image over the working image. Ends the run on failure.
void copy_new_image(const run_settings& settings, const working_files& files) {
  command_buffer command;
  format_command(command, "cp %s %s", shell_quote(settings.bios_file.value_or("")).c_str(),
                 shell_quote(files.image).c_str());
  run_command(command, command_log::unlogged);
}

} // namespace

void run_read_mode(const working_files& files, dmi_record& config_record) {
  read_coreboot_region(files);
  read_dmi_record(files.image, config_record);
  print_dmi_fields(stdout, config_record);
}

void run_write_mode(const working_files& files, dmi_record& config_record,
                    const dmi_record& cmdline_record, dmi_record& merged_record) {
  std::printf("Programming DMI...\n");
  read_coreboot_region(files);
  read_dmi_record(files.image, config_record);
  merge_over_image_record(merged_record, config_record, cmdline_record);
  update_cbfs_record(merged_record, files);
  patch_record_region(files.image, files);
}

void run_update_mode(const run_settings& settings, const working_files& files,
                     dmi_record& config_record, const dmi_record& cmdline_record,
                     dmi_record& merged_record) {
  std::printf("Updating coreboot region  ...\n");
  read_coreboot_region(files);
  read_dmi_record(files.image, config_record);
  // A configuration file, even one of comments only, means the record is stored merged;
  // without one the old record is carried over byte for byte, marker included.
  const dmi_record* record_to_store = &config_record;
  if (settings.config_path) {
    merge_over_image_record(merged_record, config_record, cmdline_record);
    record_to_store = &merged_record;
  }
  copy_new_image(settings, files);
  update_cbfs_record(*record_to_store, files);
  write_coreboot_region(files);
}

void run_update_dmi_mode(const run_settings& settings, const working_files& files,
                         dmi_record& config_record, const dmi_record& cmdline_record,
                         dmi_record& merged_record) {
  std::printf("Programming DMI...\n");
  read_coreboot_region(files);
  read_dmi_record(files.image, config_record);
  merge_over_image_record(merged_record, config_record, cmdline_record);
  copy_new_image(settings, files);
  update_cbfs_record(merged_record, files);
  std::printf("Updating coreboot region of flash ...\n");
  write_coreboot_region(files);
}
