// The journaled write of the chip and what a run does with the journal: the write with its restore
// when it fails, the judgement of an earlier write's journal, and the operator's --restore and
// --discard-journal.
#pragma once

#include "flash_target/region.h"
#include "system/command_runner.h"
#include "system/flash_files.h"

#include <cstdint>
#include <string>

// The journal of this run's write: the state folder (-1 for none), the coreboot region as read
// from the chip, and the write id under which that region was kept.
struct write_journal {
  int folder = -1;
  const region_buffer* before = nullptr;
  std::uint64_t write_id = 0;
};

// Writes the working image's coreboot region to the chip with flashrom, once check_working_files
// has found the image and the layout to be the files the run made, under a flash_write_shield.
// With a journal, the blocks meant for the chip join it before the write, and the journal is
// removed once the write has succeeded; when the write fails, the region the journal kept from
// before the run is written back at once (see restore_after_failed_write). Without one, a failed
// write is said to be possibly partial, naming the image meant for the chip. Ends the run on
// failure, with the failed write's status, saying how the chip was left.
void write_coreboot_region(command_runner& runner, const working_files& files,
                           const write_journal& journal);

// Judges the journal in the state folder `folder` (-1 for none) against `chip`, the coreboot
// region just read from the chip. A journal that shows the chip holding a whole region (the write
// completed, never began, or left only the region from before) is removed with one line through
// `out`, and the run goes on. Any other journal (partly written, damaged, or one that may belong
// to another board) ends a run that will write (`will_write`) with 255 before any write, naming
// the way out; any other run goes on after a warning line. Ends the run on failure.
void settle_earlier_write(run_output& out, int folder, const region_buffer& chip, bool will_write);

// How the restore after a failed write left the chip, and the line that says so.
struct restore_outcome {
  bool restored = false;
  std::string words;
};

// Puts the region from before a failed write back on the chip, once the region the chip holds now
// is proven to come from the journal: reads the chip into the working image, judges it, and
// writes the journal's region from before back under a flash_write_shield (the journal then
// removed). What goes wrong on the way is said through the runner's output; the outcome's words
// say how the region was left.
restore_outcome restore_after_failed_write(command_runner& runner, int folder,
                                           const working_files& files);

// --restore: reads the chip and, when the journal shows a write cut short, writes the journal's
// region from before back to the chip under a flash_write_shield, reads the region back and
// compares it with the journal, then removes the journal and says so. Refuses, with 255 and the
// way out, a journal that is damaged or may belong to another board; with nothing to restore
// (no journal, or one that shows the chip whole, which is then removed) ends with 255. Ends the
// run with the write's status when the write fails (the journal kept). Ends the run on failure.
void restore_from_journal(command_runner& runner, int folder, const working_files& files);

// --discard-journal: removes the journal's files, whatever they hold, and says through `out`
// what it discarded. Ends the run with 255 when there is nothing to discard.
void discard_journal(run_output& out, int folder);
