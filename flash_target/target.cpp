// The run's target: the chip or an image file, behind one set of calls.
#include "flash_target/target.h"

#include "cbfs/image_record.h"
#include "flash_target/chip.h"
#include "flash_target/image_file.h"
#include "flash_target/journal.h"
#include "flash_target/recovery.h"
#include "system/working_files.h"

#include <cstdio>

flash_target open_image_target(const std::string& path,
                               const std::optional<std::string>& output_path, bool will_change,
                               bool dry_run) {
  flash_target target;
  target.image_path = path;
  target.dry_run = dry_run;
  const bool in_place = will_change && !output_path;
  target.image_fd = open_image_file(path, in_place, !in_place || dry_run);
  if (output_path) {
    target.destination = output_file_destination(*output_path, target.image_fd, path);
  } else if (will_change && !dry_run) {
    target.destination = image_file_destination(target.image_fd, path);
  }
  return target;
}

working_files make_working_files(const flash_target& target) {
  if (target.is_image()) {
    return make_image_working_files(target.dry_run ? nullptr : &target.destination);
  }
  working_files files;
  make_fixed_working_files(files);
  write_bios_layout(files.layout);
  return files;
}

void read_target_record(const flash_target& target, const working_files& files,
                        dmi_record& record) {
  if (!target.is_image()) {
    read_coreboot_region(files);
    if (target.state_folder >= 0 && journal_present(target.state_folder)) {
      region_buffer chip;
      load_working_region(files, chip);
      settle_earlier_write(target.state_folder, chip, false);
    }
    read_dmi_record(files.image, record);
    return;
  }
  std::printf("Reading image...\n");
  read_dmi_record(target.image_fd, target.image_path, record);
}

void fetch_working_image(flash_target& target, const working_files& files) {
  if (!target.is_image()) {
    read_coreboot_region(files);
    const bool journal_found = target.state_folder >= 0 && journal_present(target.state_folder);
    if (journal_found || !target.dry_run) {
      target.region = std::make_unique<region_buffer>();
      load_working_region(files, *target.region);
    }
    if (journal_found) {
      settle_earlier_write(target.state_folder, *target.region, true);
    }
    // Kept before cbfstool or cp change anything in the working image.
    if (!target.dry_run) {
      target.write_id = save_region_before(target.state_folder, *target.region);
    }
    return;
  }
  std::printf("Reading image...\n");
  copy_image_file(target.image_fd, target.image_path, files.image);
}

void fetch_record_to_carry(flash_target& target, const working_files& files, dmi_record& record) {
  if (!target.is_image()) {
    fetch_working_image(target, files);
    read_dmi_record(files.image, record);
    return;
  }
  read_target_record(target, files, record);
}

void put_back_working_image(const flash_target& target, const working_files& files,
                            bool holds_new_image) {
  if (target.dry_run) {
    return;
  }
  if (!target.is_image()) {
    write_coreboot_region(files, {target.state_folder, target.region.get(), target.write_id});
    return;
  }
  std::printf("Writing image...\n");
  if (holds_new_image) {
    lay_image_low_region(target.image_fd, target.image_path, files.image);
  }
  place_working_copy(target.destination, files.image, target.image_fd);
}

const char* target_words(const flash_target& target, const char* chip_words,
                         const char* image_words) {
  return target.is_image() ? image_words : chip_words;
}
