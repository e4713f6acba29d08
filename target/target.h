// What a run works on: the board's flash chip, reached through flashrom, or an image file
// standing in for it. The modes fetch the working image from the target and put it back through
// these few calls, so they hold one step list for both.
#pragma once

#include "record/dmi_record.h"
#include "system/flash_files.h"

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

  bool is_image() const {
    return !image_path.empty();
  }
};

// Opens the image file at `path` as the run's target: it must be a regular file (not a symbolic
// link) of exactly 16 MiB. A run that changes it (`will_change`) takes an exclusive lock on it
// and is refused while another run holds one. Ends the run on failure with one line on standard
// error and nothing written.
flash_target open_image_target(const std::string& path, bool will_change);

// The working files of a run. For the chip, the fixed names in /tmp made anew (see
// make_fixed_working_files) and the layout file written.
// For an image file, a working copy made beside it in its folder and a record file in a private
// folder made under /tmp, both noted as the run's leftovers (see system/leftovers.h) until the
// working copy has replaced the image. There is no layout file. Ends the run on
// failure.
working_files make_working_files(const flash_target& target);

// Reads the record the target holds now: from the chip through the working image, from an image
// file in place with one positioned read. The journal of an earlier write to the chip is judged
// against the region read (see settle_earlier_write). Ends the run on failure.
void read_target_record(const flash_target& target, const working_files& files, dmi_record& record);

// Brings the target's whole content into the working image: flashrom reads the chip's coreboot
// region, or the image file is copied. For the chip, the journal of an earlier write is judged
// (a region that may be partly written ends the run), and the region as read starts this run's
// journal unless it is a dry run. Ends the run on failure.
void fetch_working_image(const flash_target& target, const working_files& files);

// Puts the working image back: flashrom writes its coreboot region to the chip, journaled; or the
// image file's bytes below the coreboot region are laid into the working copy, which is flushed
// to disk and renamed over the image file with the image file's permissions. Does nothing in a
// dry run. Ends the run on failure, the target then as it was (a failing flashrom write is
// undone from the journal, or the journal is kept for --restore).
void put_back_working_image(const flash_target& target, const working_files& files);

// `chip_words` for the chip, `image_words` for an image file: progress lines name what they act
// on.
const char* target_words(const flash_target& target, const char* chip_words,
                         const char* image_words);
