// The words a run says about a journal: how it found the chip, why a journal is not written to
// the chip, whose board it was made on, and the ways out.
#pragma once

#include "flash_target/journal_proof.h"
#include "system/board_identity.h"

#include <optional>
#include <string>

// `opening`, then, on the same line, where the region's content before the write is kept and the
// command that puts it back.
std::string kept_region_words(const char* opening);

// What a journal that shows the chip holding a whole region says, or null for any other finding.
const char* whole_region_words(journal_finding finding);

// Whether a journal judged so must never be written to the chip: damaged, another board's, or
// one whose region is not proven to come from it.
bool is_unusable(journal_finding finding);

// Why the journal judged `verdict` must not be written to the chip, and the way out, without a
// line end. For a journal of another board, its identity as `recorded` (none in a journal of the
// format that recorded none) and this board's `now` are named: "the journal in FOLDER was made on
// another board (serial SN-0040, this board: SN-0041); nothing is written; run ...".
std::string unusable_words(const journal_verdict& verdict,
                           const std::optional<board_identity>& recorded,
                           const board_identity& now);

// A journal file, for the line that says it was discarded: "1024 blocks, written ... by
// vek_smbios_util 1.0.0", or why it is damaged.
std::string discarded_file_words(const journal_file& file);
