// The board's flash chip as a run's target.
#include "flash_target/chip_target.h"

#include "cbfs/image_record.h"
#include "flash_target/chip.h"
#include "flash_target/journal_files.h"
#include "flash_target/recovery.h"
#include "system/run_lock.h"
#include "system/working_files.h"
#include "util/failure.h"

chip_target::~chip_target() {
  if (journal_.write_id == 0 || write_begun_ || !state_folder_.valid()) {
    return;
  }
  try {
    remove_journal(state_folder_.get());
  } catch (const run_failure&) {
    // Left for the next run, which finds the region from before alone and removes it.
  }
}

void chip_target::take_hold() {
  // A second run on the chip at the same time ends here, before anything is written.
  lock_ = take_run_lock();
  state_folder_ = open_state_folder(will_change_ && !dry_run());
}

void chip_target::make_working_files() {
  make_fixed_working_files(files_);
  write_bios_layout(files_.layout);
}

dmi_record chip_target::read_record(command_runner& runner) {
  read_coreboot_region(runner, files_);
  if (state_folder_.valid() && journal_present(state_folder_.get())) {
    region_buffer chip;
    load_working_region(files_, chip);
    settle_earlier_write(runner.out(), state_folder_.get(), chip, false, identity_.read());
  }
  return read_dmi_record(files_.image);
}

void chip_target::fetch_working_image(command_runner& runner) {
  read_coreboot_region(runner, files_);
  const bool journal_found = state_folder_.valid() && journal_present(state_folder_.get());
  if (!journal_found && dry_run()) {
    return;
  }
  region_ = std::make_unique<region_buffer>();
  load_working_region(files_, *region_);
  // Read once: the identity a journal found is judged by is the one a new journal records.
  const board_identity now = identity_.read();
  if (journal_found) {
    settle_earlier_write(runner.out(), state_folder_.get(), *region_, true, now);
  }
  // Kept before cbfstool or cp change anything in the working image.
  if (!dry_run()) {
    journal_ = save_region_before(state_folder_.get(), *region_, now);
  }
}

dmi_record chip_target::fetch_record_to_carry(command_runner& runner) {
  fetch_working_image(runner);
  return read_dmi_record(files_.image);
}

void chip_target::put_back_working_image(command_runner& runner, bool) {
  if (dry_run()) {
    return;
  }
  write_begun_ = true;
  write_coreboot_region(runner, files_, {state_folder_.get(), region_.get(), journal_, &identity_});
}

void chip_target::restore(command_runner& runner, bool same_board) {
  restore_from_journal(runner, state_folder_.get(), files_, identity_, same_board);
}

item_list<discarded_file> chip_target::discard_journal(run_output& out) {
  return ::discard_journal(out, state_folder_.get());
}
