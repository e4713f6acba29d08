// An image file as a run's target.
#include "flash_target/image_target.h"

#include "cbfs/image_record.h"
#include "flash_target/image_file.h"
#include "system/stale_files.h"

image_target::image_target(const std::string& path, const std::optional<std::string>& output_path,
                           bool will_change, bool dry_run)
    : flash_target(dry_run), path_(path), will_change_(will_change) {
  const bool in_place = will_change && !output_path;
  image_ = open_image_file(path, in_place, !in_place || dry_run);
  if (output_path) {
    destination_ = output_file_destination(*output_path, image_.get(), path);
  } else if (will_change && !dry_run) {
    destination_ = image_file_destination(image_.get(), path);
  }
}

void image_target::make_working_files() {
  // A read needs no working copy: it reads the image in place.
  if (will_change_) {
    files_ = make_image_working_files(dry_run() ? nullptr : &destination_);
  }
}

void image_target::clear_stale_files(run_output& out) {
  if (will_change_ && !dry_run()) {
    ::clear_stale_files(destination_.folder.get(), destination_.folder_path, out);
  }
}

dmi_record image_target::read_record(command_runner& runner) {
  runner.out().progress("Reading image...\n");
  return read_dmi_record(image_.get(), path_);
}

void image_target::fetch_working_image(command_runner& runner) {
  runner.out().progress("Reading image...\n");
  copy_image_file(image_.get(), path_, files_.image);
}

dmi_record image_target::fetch_record_to_carry(command_runner& runner) {
  return read_record(runner);
}

void image_target::put_back_working_image(command_runner& runner, bool holds_new_image) {
  if (dry_run()) {
    return;
  }
  runner.out().progress("Writing image...\n");
  if (holds_new_image) {
    lay_image_low_region(image_.get(), path_, files_.image);
  }
  place_working_copy(destination_, files_.image, files_.image_leftover, image_.get());
}
