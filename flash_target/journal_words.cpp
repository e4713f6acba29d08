// The words a run says about a journal.
#include "flash_target/journal_words.h"

#include "record/text_escape.h"
#include "util/failure.h"

#include <uuid/uuid.h>

#include <ctime>

namespace {

// The way out for a journal that is not to be written to the chip as it is.
constexpr const char* DISCARD_WAY_OUT = "; run vek_smbios_util --discard-journal to drop it";
// ... and for one whose board the identity does not prove, when the operator knows better.
constexpr const char* SAME_BOARD_WAY_OUT =
    "; nothing is written; run vek_smbios_util --discard-journal to drop it, or, when it is this "
    "board's own journal (its record was half written before it rebooted), vek_smbios_util "
    "--restore --same-board to put it back";

std::string value_words(const std::optional<std::string>& text) {
  return text ? escape_control_bytes(*text) : "none";
}

std::string value_words(const std::optional<identity_uuid>& uuid) {
  if (!uuid) {
    return "none";
  }
  char text[37];
  uuid_unparse_lower(uuid->bytes, text);
  return text;
}

// The first value of `identity` that was read, with its name: "serial SN-0040".
std::string identity_words(const board_identity& identity) {
  if (identity.system_serial || !identity.known()) {
    return "serial " + value_words(identity.system_serial);
  }
  if (identity.board_serial) {
    return "board serial " + value_words(identity.board_serial);
  }
  return "UUID " + value_words(identity.system_uuid);
}

// The first value that tells `then` from `now`, as "serial SN-0040, this board: SN-0041".
std::string difference_words(const board_identity& then, const board_identity& now) {
  if (then.system_serial == now.system_serial && then.board_serial != now.board_serial) {
    return "board serial " + value_words(then.board_serial) +
           ", this board: " + value_words(now.board_serial);
  }
  if (then.system_serial == now.system_serial && then.board_serial == now.board_serial) {
    return "UUID " + value_words(then.system_uuid) +
           ", this board: " + value_words(now.system_uuid);
  }
  return "serial " + value_words(then.system_serial) +
         ", this board: " + value_words(now.system_serial);
}

// Whose journal it is, when the identity does not say it is this board's.
std::string board_words(board_match board, const std::optional<board_identity>& recorded,
                        const board_identity& now) {
  const std::string journal = std::string("the journal in ") + STATE_FOLDER;
  if (board == board_match::another_board) {
    return journal + " was made on another board (" + difference_words(*recorded, now) + ")";
  }
  if (!recorded) {
    return journal + " records no board (this board: " + identity_words(now) + ")";
  }
  if (!recorded->known()) {
    return journal +
           " was made on a board that could not be identified (this board: " + identity_words(now) +
           ")";
  }
  return journal + " was made on the board with " + identity_words(*recorded) +
         ", and this board could not be identified";
}

} // namespace

std::string kept_region_words(const char* opening) {
  return format_text("%s; its content before the write is kept in %s; run vek_smbios_util "
                     "--restore to put it back\n",
                     opening, journal_path(REGION_BEFORE_FILE).c_str());
}

const char* whole_region_words(journal_finding finding) {
  switch (finding) {
  case journal_finding::write_completed:
    return "An earlier flash write had completed: the chip holds the region meant for it";
  case journal_finding::write_not_begun:
    return "An earlier flash write never took place: the chip holds the region as it was before";
  case journal_finding::before_only:
    return "An earlier flash write left only the region from before it: the write never began, "
           "or it had completed and its journal was being removed";
  case journal_finding::none:
  case journal_finding::damaged:
  case journal_finding::partly_written:
  case journal_finding::another_board:
  case journal_finding::foreign:
    break;
  }
  return nullptr;
}

bool is_unusable(journal_finding finding) {
  return finding == journal_finding::damaged || finding == journal_finding::another_board ||
         finding == journal_finding::foreign;
}

std::string unusable_words(const journal_verdict& verdict,
                           const std::optional<board_identity>& recorded,
                           const board_identity& now) {
  if (verdict.finding == journal_finding::damaged) {
    return "the journal of an earlier flash write is damaged: " + verdict.reason + DISCARD_WAY_OUT;
  }
  if (verdict.finding == journal_finding::another_board) {
    return board_words(verdict.board, recorded, now) + SAME_BOARD_WAY_OUT;
  }
  const char* unidentified =
      verdict.board == board_match::unidentified ? "the board could not be identified, and " : "";
  return std::string("the journal of an earlier flash write may belong to another board: ") +
         unidentified + "its blocks at " + verdict.reason +
         " hold neither their content before that write nor the content meant for them" +
         DISCARD_WAY_OUT;
}

std::string discarded_file_words(const journal_file& file) {
  if (file.found == journal_file::state::damaged) {
    return "damaged: " + file.damage;
  }
  char written[32] = "an unknown time";
  struct tm when {};
  if (::gmtime_r(&file.header.written, &when) != nullptr) {
    std::strftime(written, sizeof written, "%Y-%m-%d %H:%M:%S UTC", &when);
  }
  return std::to_string(file.header.blocks.count()) + " blocks, written " + written +
         " by vek_smbios_util " + file.header.tool_version;
}
