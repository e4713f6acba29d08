// The board's flash chip as a run's target, and the runs on its journal alone.
#pragma once

#include "flash_target/region.h"
#include "flash_target/target.h"
#include "util/unique_fd.h"

#include <cstdint>
#include <memory>

class chip_target : public flash_target {
public:
  // A run that will write the chip (`will_change`, not a dry run) makes the state folder when it
  // is missing.
  chip_target(bool will_change, bool dry_run) : flash_target(dry_run), will_change_(will_change) {}

  void take_hold() override;
  void make_working_files() override;
  dmi_record read_record(command_runner& runner) override;
  void fetch_working_image(command_runner& runner) override;
  dmi_record fetch_record_to_carry(command_runner& runner) override;
  void put_back_working_image(command_runner& runner, bool holds_new_image) override;
  const char* update_start_line() const override {
    return "Updating coreboot region  ...\n";
  }
  const char* update_write_line() const override {
    return "Updating coreboot region of flash ...\n";
  }
  std::string name() const override {
    return "the flash";
  }

  // --restore, once the hold is taken and the working files made: see restore_from_journal.
  void restore(command_runner& runner);
  // --discard-journal, once the hold is taken: see discard_journal.
  void discard_journal(run_output& out);

private:
  bool will_change_;
  unique_fd lock_;
  // The state folder that holds the journal of flash writes; none when the run writes nothing
  // and finds none.
  unique_fd state_folder_;
  // The coreboot region as read by a run that will write it, and the id of the journal it was
  // kept in.
  std::unique_ptr<region_buffer> region_;
  std::uint64_t write_id_ = 0;
};
