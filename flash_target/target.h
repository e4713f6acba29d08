// What a run works on: the board's flash chip, reached through flashrom, or an image file
// standing in for it. The modes fetch the working image from the target and put it back through
// these few calls, so they hold one step list for both.
#pragma once

#include "flash_target/image_destination.h"
#include "flash_target/region.h"
#include "record/dmi_record.h"
#include "system/flash_files.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The chip when `image_path` is empty, else the image file at `image_path`.
struct flash_target {
  std::string image_path;
  // The image file, open for the whole run (and locked by a run that changes it); -1 for the
  // chip. Closed, and so unlocked, when the run ends.
  int image_fd = -1;
  // A dry run takes every step up to the final write and then leaves the target as it was.
  bool dry_run = false;
  // For the chip, the state folder that holds the journal of flash writes, open for the whole
  // run; -1 when there is none (an image file, or a run that writes nothing and found none).
  int state_folder = -1;
  // For the chip, the coreboot region as read by a run that will write it, and the id of the
  // journal it was kept in.
  std::unique_ptr<region_buffer> region;
  std::uint64_t write_id = 0;
  // Where a run that changes the image file puts its result: the image file itself, or the -o
  // file. Unused for the chip and for a read.
  image_destination destination;

  bool is_image() const {
    return !image_path.empty();
  }
};

// Opens the image file at `path` as the run's target: it must be a regular file of exactly
// 16 MiB. A run that changes it in place (`will_change`, no `output_path`) takes an exclusive
// lock on it, refused while another run holds one, and, unless it is a dry run, refuses a
// symbolic link; its destination is the image file. A run that makes `output_path` only reads
// the image, so it takes no lock; its destination is that file (see output_file_destination).
// A read follows a link and takes no lock. Ends the run on failure with one line on standard
// error and nothing written.
flash_target open_image_target(const std::string& path,
                               const std::optional<std::string>& output_path, bool will_change,
                               bool dry_run);

// The working files of a run. For the chip, the fixed names in /tmp made anew (see
// make_fixed_working_files) and the layout file written.
// For an image file, a working copy made in its destination's folder (for a dry run, in the
// private folder) and a record file in a private folder made under /tmp, all noted as the run's
// leftovers (see system/leftovers.h) until the working copy has been renamed into place. There
// is no layout file. Ends the run on failure.
working_files make_working_files(const flash_target& target);

// Reads the record the target holds now: from the chip through the working image, from an image
// file in place with one positioned read. The journal of an earlier write to the chip is judged
// against the region read (see settle_earlier_write). Ends the run on failure.
void read_target_record(const flash_target& target, const working_files& files, dmi_record& record);

// Reads the record that an update carries over to the new image: for the chip, the region is
// fetched as fetch_working_image does (an earlier write judged, this run's journal begun) and the
// record read from it; for an image file, the record is read in place, as the new image takes the
// working copy's place whole. Ends the run on failure.
void fetch_record_to_carry(flash_target& target, const working_files& files, dmi_record& record);

// Brings the target's whole content into the working image: flashrom reads the chip's coreboot
// region, or the image file is copied. For the chip, the journal of an earlier write is judged
// (a region that may be partly written ends the run), and the region as read starts this run's
// journal unless it is a dry run. Ends the run on failure.
void fetch_working_image(flash_target& target, const working_files& files);

// Puts the working image back: flashrom writes its coreboot region to the chip; or, for an
// image file, the working copy is flushed to disk and renamed over its destination (see
// place_working_copy), the image file's bytes below the coreboot region laid into it first when
// it `holds_new_image` (a copy of the image holds them already). Does nothing in a dry run.
// Ends the run on failure, the target then as it was (a failing flashrom write is undone from
// the journal, or the journal is kept for --restore).
void put_back_working_image(const flash_target& target, const working_files& files,
                            bool holds_new_image);

// `chip_words` for the chip, `image_words` for an image file: progress lines name what they act
// on.
const char* target_words(const flash_target& target, const char* chip_words,
                         const char* image_words);
