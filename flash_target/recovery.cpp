// The journal of an earlier flash write: judged at the start of a run, or restored on request.
#include "flash_target/recovery.h"

#include "flash_target/chip.h"
#include "flash_target/flash_write.h"
#include "flash_target/journal.h"
#include "util/fail.h"

#include <cstdio>

void settle_earlier_write(int folder, const working_files& files, bool will_write) {
  if (folder < 0) {
    return;
  }
  const auto before = load_journal_region(folder, REGION_BEFORE_FILE);
  const auto meant = load_journal_region(folder, REGION_MEANT_FILE);
  if (!before && !meant) {
    return;
  }
  switch (judge_journal(read_coreboot_region_bytes(files.image), before, meant)) {
  case journal_finding::none:
    return;
  case journal_finding::write_completed:
    remove_journal(folder);
    std::fputs("An earlier flash write had completed: the chip holds the region meant for it; its "
               "journal is removed\n",
               stderr);
    return;
  case journal_finding::write_not_begun:
    remove_journal(folder);
    std::fputs("An earlier flash write never took place: the chip holds the region as it was "
               "before; its journal is removed\n",
               stderr);
    return;
  case journal_finding::unknown:
    break;
  }
  if (will_write) {
    report_kept_region("Refusing to write the flash: its coreboot region matches neither its "
                       "content before an earlier write nor the content meant for it");
    end_run(EXIT_TOOL_ERROR);
  }
  report_kept_region("Warning: the coreboot region of the flash matches neither its content "
                     "before an earlier write nor the content meant for it");
}

void restore_from_journal(int folder, const working_files& files) {
  const auto before = folder < 0 ? std::nullopt : load_journal_region(folder, REGION_BEFORE_FILE);
  const auto meant = folder < 0 ? std::nullopt : load_journal_region(folder, REGION_MEANT_FILE);
  // Without the region meant for the chip no write began, and the region from before may be
  // incomplete.
  if (!before || !meant) {
    fail("Nothing to restore: there is no journal of a flash write in %s\n", STATE_FOLDER);
  }
  {
    const flash_write_shield shield;
    if (const int status = write_back_region_before(files.layout)) {
      end_run(status);
    }
  }
  read_coreboot_region(files);
  if (read_coreboot_region_bytes(files.image) != *before) {
    report_kept_region("The coreboot region of the flash does not read back as restored");
    end_run(EXIT_TOOL_ERROR);
  }
  remove_journal(folder);
  std::printf("The coreboot region of the flash holds its content from before the failed write "
              "again\n");
}
