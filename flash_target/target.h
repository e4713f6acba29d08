// What a run works on: the board's flash chip, reached through flashrom, or an image file
// standing in for it, behind one interface, so the modes hold one step list for both. Which of
// the two a mode works on is decided once, by open_target; the runs on the journal alone
// (--restore, --discard-journal) have no image file to work on and use chip_target directly.
#pragma once

#include "record/dmi_record.h"
#include "system/command_runner.h"
#include "system/flash_files.h"

#include <memory>
#include <optional>
#include <string>

class flash_target {
public:
  explicit flash_target(bool dry_run) : dry_run_(dry_run) {}
  virtual ~flash_target() = default;
  flash_target(const flash_target&) = delete;
  flash_target& operator=(const flash_target&) = delete;

  // A dry run takes every step up to the final write and then leaves the target as it was.
  bool dry_run() const {
    return dry_run_;
  }
  // The run's working files, once made.
  const working_files& files() const {
    return files_;
  }

  // Takes what a run on the target holds from here to its end: for the chip, the run lock and
  // the state folder of the journal (made for a run that will write), checked before the chip is
  // read. Ends the run on failure.
  virtual void take_hold() = 0;

  // Makes the run's working files: for the chip, the fixed names in /tmp made anew (see
  // make_fixed_working_files) and the layout file written; for an image file that the run
  // changes, a working copy beside its destination (for a dry run, in a private folder) and a
  // record file in a private folder under /tmp, all removed when the run ends unless the copy has
  // replaced its destination. A read of an image file needs none. Ends the run on failure.
  virtual void make_working_files() = 0;

  // Removes, before the run makes its own working files, what killed runs left where this one
  // works, saying each through `out` (see clear_stale_files): for an image file that the run
  // changes, not in a dry run. The chip's fixed working files are cleared as they are made.
  virtual void clear_stale_files(run_output&) {}

  // Reads the record the target holds now: from the chip through the working image (the journal
  // of an earlier write judged against the region read, see settle_earlier_write), from an image
  // file in place with one positioned read. Ends the run on failure.
  virtual dmi_record read_record(command_runner& runner) = 0;

  // Brings the target's whole content into the working image: flashrom reads the chip's coreboot
  // region, or the image file is copied. For the chip, the journal of an earlier write is judged
  // (a region that may be partly written ends the run), and the region as read starts this run's
  // journal unless it is a dry run. Ends the run on failure.
  virtual void fetch_working_image(command_runner& runner) = 0;

  // The record an update carries over to the new image: for the chip, the region is fetched as
  // fetch_working_image does and the record read from it; for an image file, the record is read
  // in place, as the new image takes the working copy's place whole. Ends the run on failure.
  virtual dmi_record fetch_record_to_carry(command_runner& runner) = 0;

  // Puts the working image back: flashrom writes its coreboot region to the chip; or, for an
  // image file, the working copy is flushed to disk and renamed over its destination (see
  // place_working_copy), the image file's bytes below the coreboot region laid into it first when
  // it `holds_new_image` (a copy of the image holds them already). Does nothing in a dry run.
  // Ends the run on failure, the target then as it was (a failing flashrom write is undone from
  // the journal, or the journal is kept for --restore).
  virtual void put_back_working_image(command_runner& runner, bool holds_new_image) = 0;

  // The progress lines of an update, naming what it acts on: at its start, and right before the
  // write of an update with values.
  virtual const char* update_start_line() const = 0;
  virtual const char* update_write_line() const = 0;

  // What the run works on, as messages name it: "the flash", or the image file's path.
  virtual std::string name() const = 0;

protected:
  working_files files_;

private:
  bool dry_run_;
};

// The target of a run: the image file `image_file` when one is given, else the chip. An image file
// is opened at once, checked, and locked by a run that changes it in place (`will_change`, no
// `output_file`); a run that makes `output_file` only reads the image. See open_image_file and
// output_file_destination. Ends the run on failure with one line and nothing written.
std::unique_ptr<flash_target> open_target(const std::optional<std::string>& image_file,
                                          const std::optional<std::string>& output_file,
                                          bool will_change, bool dry_run);
