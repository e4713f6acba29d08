// The journaled write of the chip and what a run does with the journal: the write with its restore
// when it fails, the judgement of an earlier write's journal, and the operator's --restore and
// --discard-journal.
#pragma once

#include "flash_target/journal_files.h"
#include "flash_target/region.h"
#include "system/board_identity.h"
#include "system/command_runner.h"
#include "system/flash_files.h"
#include "util/item_list.h"

#include <string>

// The journal of this run's write: the state folder (-1 for none), the coreboot region as read
// from the chip, the write id and board identity under which that region was kept, and where the
// identity is read again before the region is written back (the system's when null).
struct write_journal {
  int folder = -1;
  const region_buffer* before = nullptr;
  journal_start start;
  const board_identity_source* identity = nullptr;
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
// region just read from the chip, and `now`, the board's identity (see judge_journal). A journal
// that shows the chip holding a whole region (the write completed, never began, or left only the
// region from before) is removed with one line through `out`, and the run goes on. Any other
// journal (partly written, damaged, another board's, or one whose region is not proven to come
// from it) ends a run that will write (`will_write`) with 255 before any write, naming the way
// out; any other run goes on after a warning line. Ends the run on failure.
void settle_earlier_write(run_output& out, int folder, const region_buffer& chip, bool will_write,
                          const board_identity& now);

// How the restore after a failed write left the chip, and the line that says so.
struct restore_outcome {
  bool restored = false;
  std::string words;
};

// Puts the region from before a failed write back on the chip, once the journal is proven to be
// this board's and the region the chip holds now to come from it: reads the chip into the working
// image and the board's identity from `identity`, judges them, and writes the journal's region
// from before back under a flash_write_shield (the journal then removed). What goes wrong on the
// way is said through the runner's output; the outcome's words say how the region was left.
restore_outcome restore_after_failed_write(command_runner& runner, int folder,
                                           const working_files& files,
                                           const board_identity_source& identity);

// --restore: reads the chip and the board's identity and, when the journal shows a write cut
// short on this board, writes the journal's region from before back to the chip under a
// flash_write_shield, reads the region back and compares it with the journal, then removes the
// journal and says so. `same_board` (--same-board) takes the journal as this board's without
// asking its identity. Refuses with 255 and the way out, before anything is written, a journal
// that is damaged, another board's, or whose region is not proven to come from it; with nothing
// to restore (no journal, or one that shows the chip whole, which is then removed) ends with 255.
// Ends the run with the write's status when the write fails, and with 255 when the region does
// not read back as restored (the journal kept either way). Ends the run on failure.
void restore_from_journal(command_runner& runner, int folder, const working_files& files,
                          const board_identity_source& identity, bool same_board);

// A journal file that --discard-journal removed: its path and what it held ("12 blocks, written
// 2026-12-09 08:00:00 UTC by vek_smbios_util 1.0.0", or "damaged: " and why).
struct discarded_file {
  std::string path;
  std::string held;
};

// --discard-journal: removes the journal's files, whatever they hold, says through `out` what it
// discarded, and returns it. Ends the run with 255 when there is nothing to discard.
item_list<discarded_file> discard_journal(run_output& out, int folder);
