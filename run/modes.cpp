// The four modes: read, write, update, and update with new values; one step list for both targets.
#include "run/modes.h"

#include "cbfs/cbfs_record.h"
#include "cbfs/image_record.h"
#include "system/command_runner.h"
#include "system/file_checks.h"
#include "util/fail.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// Refuses, before the chip is read, a new image that cannot be a whole chip image: anything but
// a regular file of exactly 16 MiB (a device such as /dev/zero would fill /tmp), or one that
// another user could swap for something else before cp reads it. The operator's own path, so a
// link to such a file is followed. Ends the run on failure.
void check_new_image(const run_settings& settings) {
  const std::string image = settings.bios_file.value_or("");
  const char* path = image.c_str();
  struct stat status;
  if (::stat(path, &status) != 0) {
    fail("Refusing new image %s: %s\n", path, std::strerror(errno));
  }
  switch (image_file_fault(status)) {
  case image_fault::not_regular:
    fail("Refusing new image %s: not a regular file\n", path);
  case image_fault::wrong_size:
    fail("Refusing new image %s: %jd bytes, not %jd\n", path,
         static_cast<std::intmax_t>(status.st_size), static_cast<std::intmax_t>(FLASH_IMAGE_SIZE));
  case image_fault::none:
    break;
  }
  const path_verdict verdict = check_trusted_path(image, path_use::input);
  if (!verdict.trusted()) {
    fail("Refusing new image %s: %s\n", path,
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
}

// Copies the new firmware image over the working image. Ends the run on failure.
void copy_new_image(const run_settings& settings, const working_files& files) {
  // A path that begins with "-" would reach cp as an option.
  const std::string path = settings.bios_file.value_or("");
  const std::string source = path.rfind('-', 0) == 0 ? "./" + path : path;
  command_buffer command;
  format_command(command, "cp %s %s", shell_quote(source).c_str(),
                 shell_quote(files.image).c_str());
  run_command(command, command_log::unlogged);
}

} // namespace

const dmi_record& run_read_mode(const flash_target& target, const working_files& files,
                                dmi_record& config_record) {
  read_target_record(target, files, config_record);
  // Erased flash reads as all ones: no record is stored, and a field report of it would pass a
  // check that looks at the exit status only.
  if (std::all_of(std::begin(config_record.bytes), std::end(config_record.bytes),
                  [](std::uint8_t byte) { return byte == 0xFF; })) {
    fail("No record is stored in %s: its record area is erased\n",
         target.is_image() ? target.image_path.c_str() : "the flash");
  }
  print_dmi_fields(stdout, config_record);
  return config_record;
}

const dmi_record& run_write_mode(flash_target& target, const working_files& files,
                                 dmi_record& config_record, const dmi_record& cmdline_record,
                                 dmi_record& merged_record) {
  std::printf("Programming DMI...\n");
  fetch_working_image(target, files);
  read_dmi_record(files.image, config_record);
  merge_over_image_record(merged_record, config_record, cmdline_record);
  update_cbfs_record(merged_record, files);
  patch_record_region(files.image, files.image);
  put_back_working_image(target, files, false);
  return merged_record;
}

const dmi_record& run_update_mode(const run_settings& settings, flash_target& target,
                                  const working_files& files, dmi_record& config_record,
                                  const dmi_record& cmdline_record, dmi_record& merged_record) {
  check_new_image(settings);
  std::fputs(target_words(target, "Updating coreboot region  ...\n", "Updating image  ...\n"),
             stdout);
  fetch_record_to_carry(target, files, config_record);
  // A configuration file, even one of comments only, means the record is stored merged;
  // without one the old record is carried over byte for byte, marker included.
  const dmi_record* record_to_store = &config_record;
  if (settings.config_path) {
    merge_over_image_record(merged_record, config_record, cmdline_record);
    record_to_store = &merged_record;
  }
  copy_new_image(settings, files);
  update_cbfs_record(*record_to_store, files);
  put_back_working_image(target, files, true);
  return *record_to_store;
}

const dmi_record& run_update_dmi_mode(const run_settings& settings, flash_target& target,
                                      const working_files& files, dmi_record& config_record,
                                      const dmi_record& cmdline_record, dmi_record& merged_record) {
  check_new_image(settings);
  std::printf("Programming DMI...\n");
  fetch_record_to_carry(target, files, config_record);
  merge_over_image_record(merged_record, config_record, cmdline_record);
  copy_new_image(settings, files);
  update_cbfs_record(merged_record, files);
  // A dry run stops short of the write, so it does not announce it either.
  if (!target.dry_run) {
    std::fputs(
        target_words(target, "Updating coreboot region of flash ...\n", "Updating image ...\n"),
        stdout);
  }
  put_back_working_image(target, files, true);
  return merged_record;
}
