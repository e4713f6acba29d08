// The board's flash chip as a run's target, and the runs on its journal alone.
#pragma once

#include "flash_target/journal_files.h"
#include "flash_target/recovery.h"
#include "flash_target/region.h"
#include "flash_target/target.h"
#include "system/board_identity.h"
#include "util/unique_fd.h"

#include <cstdint>
#include <memory>

class chip_target : public flash_target {
public:
  // A run that will write the chip (`will_change`, not a dry run) makes the state folder when it
  // is missing. The board's identity, which binds the journal to the board, is read from
  // `identity`.
  chip_target(bool will_change, bool dry_run,
              const board_identity_source& identity = system_board_identity())
      : flash_target(dry_run), will_change_(will_change), identity_(identity) {}
  // Removes the journal this run began when it ends before its write began: the chip holds the
  // region the journal kept, and a journal left behind would only hold up the next run.
  ~chip_target() override;

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

  // --restore, once the hold is taken and the working files made; `same_board` is --same-board.
  // See restore_from_journal.
  void restore(command_runner& runner, bool same_board);
  // --discard-journal, once the hold is taken: see discard_journal.
  item_list<discarded_file> discard_journal(run_output& out);

private:
  bool will_change_;
  const board_identity_source& identity_;
  unique_fd lock_;
  // The state folder that holds the journal of flash writes; none when the run writes nothing
  // and finds none.
  unique_fd state_folder_;
  // The coreboot region as read by a run that will write it, and the id and board identity of the
  // journal it was kept in.
  std::unique_ptr<region_buffer> region_;
  journal_start journal_;
  bool write_begun_ = false;
};
