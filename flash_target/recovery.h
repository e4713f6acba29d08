// What a run does with the journal of an earlier flash write, and the operator's --restore.
#pragma once

#include "system/flash_files.h"

// Judges the journal in the state folder `folder` (-1 for none) against the coreboot region just
// read into the working image. A write that completed, or that never took place, has its journal
// removed with one line on standard error, and the run goes on. A region that is neither ends a
// run that will write (`will_write`) with 255 before any write, naming the restore command;
// any other run goes on after a warning line. Ends the run on failure.
void settle_earlier_write(int folder, const working_files& files, bool will_write);

// Writes the journal's region from before the failed write back to the chip under a
// flash_write_shield, reads the region back and compares it with the journal, then removes the
// journal and says so. Ends the run with 255 when there is no journal to restore from, and with
// the write's status when the write fails (the journal kept). Ends the run on failure.
void restore_from_journal(int folder, const working_files& files);
