// The four modes: read, write, update, and update with new values; one step list for both targets.
#include "run/modes.h"

#include "cbfs/cbfs_record.h"
#include "cbfs/image_record.h"
#include "run/given_values.h"
#include "system/file_checks.h"
#include "util/failure.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// Refuses, before the chip is read, a new image that cannot be a whole chip image: anything but
// a regular file of exactly 16 MiB (a device such as /dev/zero would fill /tmp), or one that
// another user could swap for something else before cp reads it. The operator's own path, so a
// link to such a file is followed. Ends the run on failure.
void check_new_image(const run_settings& settings) {
  const std::string image = settings.bios_file.value_or("");
  const char* path = image.c_str();
  struct stat status;
  if (::stat(path, &status) != 0) {
    fail(failure_kind::image, image, "Refusing new image %s: %s\n", path, std::strerror(errno));
  }
  switch (image_file_fault(status)) {
  case image_fault::not_regular:
    fail(failure_kind::image, image, "Refusing new image %s: not a regular file\n", path);
  case image_fault::wrong_size:
    fail(failure_kind::image, image, "Refusing new image %s: %jd bytes, not %jd\n", path,
         static_cast<std::intmax_t>(status.st_size), static_cast<std::intmax_t>(FLASH_IMAGE_SIZE));
  case image_fault::none:
    break;
  }
  const path_verdict verdict = check_trusted_path(image, path_use::input);
  if (!verdict.trusted()) {
    fail(failure_kind::image, image, "Refusing new image %s: %s\n", path,
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
}

// Copies the new firmware image over the working image. Ends the run on failure.
void copy_new_image(const run_settings& settings, command_runner& runner,
                    const working_files& files) {
  // A path that begins with "-" would reach cp as an option.
  const std::string path = settings.bios_file.value_or("");
  const std::string source = path.rfind('-', 0) == 0 ? "./" + path : path;
  command_buffer command;
  format_command(command, "cp %s %s", shell_quote(source).c_str(),
                 shell_quote(files.image).c_str());
  runner.run(command, command_log::unlogged);
}

// Reads the record back from the working image before it is written or renamed into place: it must
// be the record meant for it, or nothing is written.
void check_working_record(const working_files& files, const dmi_record& stored) {
  if (std::memcmp(read_dmi_record(files.image).bytes, stored.bytes, DMI_RECORD_SIZE) != 0) {
    fail(failure_kind::image, files.image,
         "Working image %s does not hold the record meant for it; nothing is written\n",
         files.image.c_str());
  }
}

// With --strict, a placeholder that the target's record would carry into the record stored, in a
// field the run does not set, is refused as a given one is, before anything is written.
void check_carried(const run_settings& settings, const dmi_record& found, const dmi_record& given) {
  if (settings.strict) {
    check_carried_values(found, given, settings.image_file.value_or(""));
  }
}

} // namespace

mode_result run_read_mode(flash_target& target, command_runner& runner) {
  const dmi_record found = target.read_record(runner);
  // Erased flash reads as all ones: no record is stored, and a field report of it would pass a
  // check that looks at the exit status only.
  if (std::all_of(std::begin(found.bytes), std::end(found.bytes),
                  [](std::uint8_t byte) { return byte == 0xFF; })) {
    fail(failure_kind::image, target.name(),
         "No record is stored in %s: its record area is erased\n", target.name().c_str());
  }
  return {found, found};
}

mode_result run_write_mode(const run_settings& settings, flash_target& target,
                           command_runner& runner, const dmi_record& given) {
  runner.out().progress("Programming DMI...\n");
  target.fetch_working_image(runner);
  const working_files& files = target.files();
  const dmi_record found = read_dmi_record(files.image);
  check_carried(settings, found, given);
  const dmi_record stored = stored_record(found, given);
  update_cbfs_record(runner, stored, files);
  patch_record_region(runner.out(), files.image, files.image);
  check_working_record(files, stored);
  target.put_back_working_image(runner, false);
  return {found, stored};
}

mode_result run_update_mode(const run_settings& settings, flash_target& target,
                            command_runner& runner, const dmi_record& given) {
  check_new_image(settings);
  runner.out().progress(target.update_start_line());
  const dmi_record found = target.fetch_record_to_carry(runner);
  check_carried(settings, found, given);
  // A configuration file, even one of comments only, means the record is stored merged;
  // without one the old record is carried over byte for byte, marker included.
  const dmi_record stored = settings.config_path ? stored_record(found, given) : found;
  copy_new_image(settings, runner, target.files());
  update_cbfs_record(runner, stored, target.files());
  check_working_record(target.files(), stored);
  target.put_back_working_image(runner, true);
  return {found, stored};
}

mode_result run_update_dmi_mode(const run_settings& settings, flash_target& target,
                                command_runner& runner, const dmi_record& given) {
  check_new_image(settings);
  runner.out().progress("Programming DMI...\n");
  const dmi_record found = target.fetch_record_to_carry(runner);
  check_carried(settings, found, given);
  const dmi_record stored = stored_record(found, given);
  copy_new_image(settings, runner, target.files());
  update_cbfs_record(runner, stored, target.files());
  check_working_record(target.files(), stored);
  // A dry run stops short of the write, so it does not announce it either.
  if (!target.dry_run()) {
    runner.out().progress(target.update_write_line());
  }
  target.put_back_working_image(runner, true);
  return {found, stored};
}
