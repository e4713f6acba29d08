// The judgement of a journal against the chip, and the proof that a region comes from a journal:
// pure functions of bytes, which neither read nor write a file.
#pragma once

#include "flash_target/journal.h"

#include <cstdint>
#include <string>

// What a journal found at the start of a run says about the chip.
enum class journal_finding {
  none,            // no journal
  damaged,         // a file that is no sound journal, or the two files of different writes
  before_only,     // the region from before alone: no write began, or one completed and the
                   // removal of its journal was cut short; either way the chip holds a whole region
  write_completed, // every block the write changes holds the region meant for the chip
  write_not_begun, // every block the write changes holds the region from before
  partly_written,  // the blocks are on their way between the two: the write was cut short
  foreign,         // blocks that are neither: the journal may belong to another board
};

struct journal_verdict {
  journal_finding finding = journal_finding::none;
  std::string reason; // damaged: the file and why; foreign: the first blocks that are neither
};

// Judges the coreboot region read from the chip against the journal's two files. Only the blocks
// the write changes (those the region meant holds) count; the others, where the firmware may keep
// data of its own, are left out. Neither all as meant nor all as before: the region must be
// proven to come from the journal (see prove_in_transit), or it is foreign.
journal_verdict judge_journal(const std::uint8_t* chip, const journal_file& before,
                              const journal_file& meant);

// Whether every block of `changed` in `chip` is the block from before, the block meant, or one on
// its way between them: an erase only sets bits and programming only clears them, so each byte
// of such a block holds every 1-bit of the byte from before, or every 1-bit of the byte meant,
// the same choice for the whole block. Returns the blocks that are neither (none when the region
// comes from this journal), in order.
block_set prove_in_transit(const std::uint8_t* chip, const std::uint8_t* before,
                           const std::uint8_t* meant, const block_set& changed);

// The first blocks of `blocks` in words, by their offsets in the image: "0xff0000, 0xff1000 and
// 3 more".
std::string block_words(const block_set& blocks);
