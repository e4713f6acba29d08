// The judgement of a journal against the chip and the board, and the proof that a region comes
// from a journal: pure functions of bytes and identities, which neither read nor write a file.
#pragma once

#include "flash_target/journal.h"
#include "system/board_identity.h"

#include <cstdint>
#include <optional>
#include <string>

// Flash chips erase in units of up to 64 KiB, aligned to their size, and flashrom erases and
// programs in address order: a write cut short leaves at most one such unit between the region
// before and the region meant.
constexpr std::size_t ERASE_UNIT_BLOCKS = 0x10000 / JOURNAL_BLOCK_SIZE;

// Whose journal it is, as the board's identity tells.
enum class board_match {
  this_board,      // the identity now is the one recorded, or that of the record before or meant
  unidentified,    // the identity could be read neither when the journal was begun nor now
  another_board,   // it was read both times, and now it is none of the three
  identified_once, // it was read at one of the two times only (or the journal records none)
};

// The identity the record in the coreboot region at `region` gives the board, as firmware that
// reports the record would: its system-serial-number, board-serial-number and system-uuid.
board_identity record_identity(const std::uint8_t* region);

// Matches `now`, the board's identity read now, with the one `recorded` in the journal (none in a
// journal of the format that recorded none) and with the identities of the record in the region
// before (`record_before`) and in the region meant (`record_meant`): a board rebooted after a cut
// write reports the one or the other.
board_match match_board(const std::optional<board_identity>& recorded, const board_identity& now,
                        const board_identity& record_before, const board_identity& record_meant);

// What a journal found at the start of a run says about the chip.
enum class journal_finding {
  none,            // no journal
  damaged,         // a file that is no sound journal, or the two files of different writes
  before_only,     // the region from before alone: no write began, or one completed and the
                   // removal of its journal was cut short; either way the chip holds a whole region
  write_completed, // every block the write changes holds the region meant for the chip
  write_not_begun, // every block the write changes holds the region from before
  partly_written,  // the blocks are on their way between the two: the write was cut short
  another_board,   // the board's identity says the journal is not this board's (see board_match)
  foreign,         // blocks that are neither: the journal may belong to another board
};

struct journal_verdict {
  journal_finding finding = journal_finding::none;
  std::string reason; // damaged: the file and why; foreign: the first blocks that are neither
  // Whose journal it is; judged only for a region that is neither all as meant nor all as before.
  board_match board = board_match::this_board;
};

// Judges the coreboot region read from the chip against the journal's two files and the board's
// identity `now`. The files first (damaged, missing), then the blocks the write changes: all as
// meant, or all as before, tell the chip whole, whoever's the journal is. Otherwise the journal
// must be this board's (see match_board; `same_board`, the operator's word, takes it as this
// board's), and the region must be proven to come from it (see prove_region; every block is
// judged when the board could not be identified).
journal_verdict judge_journal(const std::uint8_t* chip, const journal_file& before,
                              const journal_file& meant, const board_identity& now,
                              bool same_board);

// The blocks of `chip` that do not come from the journal, in order; none when it does. Each block
// of `changed` must be the block `before`, the block `meant`, or one on its way between them: an
// erase only sets bits and programming only clears them, so each byte of such a block holds every
// 1-bit of the byte before, or every 1-bit of the byte meant, the same choice for the whole block.
// Blocks on their way are taken only inside one 64 KiB-aligned unit, the first where one is found
// of those that hold a block the write changes (flashrom erases no other).
// With `every_block`, each block the write does not change must also be the block before, or on
// its way from it back to it inside that unit: without the board's identity, that is the only
// sign of other firmware. Otherwise those blocks are left out, as the firmware may keep data of
// its own in the region.
block_set prove_region(const std::uint8_t* chip, const std::uint8_t* before,
                       const std::uint8_t* meant, const block_set& changed, bool every_block);

// The first blocks of `blocks` in words, by their offsets in the image: "0xff0000, 0xff1000 and
// 3 more".
std::string block_words(const block_set& blocks);
