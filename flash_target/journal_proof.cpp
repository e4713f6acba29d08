// The judgement of a journal and the proof of a region.
#include "flash_target/journal_proof.h"

#include "record/dmi_record.h"
#include "system/flash_geometry.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

namespace {

// How many blocks block_words names before it counts the rest.
constexpr std::size_t NAMED_BLOCKS = 4;

// A verdict on the files alone, before the chip is looked at: damaged, none or the region from
// before alone. Null for two sound files of one write.
std::optional<journal_verdict> judge_files(const journal_file& before, const journal_file& meant) {
  using state = journal_file::state;
  for (const auto& [file, name] :
       {std::pair{&before, REGION_BEFORE_FILE}, {&meant, REGION_MEANT_FILE}}) {
    if (file->found == state::damaged) {
      return journal_verdict{journal_finding::damaged, journal_path(name) + ": " + file->damage};
    }
  }
  if (before.found == state::missing) {
    if (meant.found == state::missing) {
      return journal_verdict{};
    }
    // The region from before is written first and removed last: without it, the journal is not
    // one this tool left.
    return journal_verdict{journal_finding::damaged, journal_path(REGION_MEANT_FILE) +
                                                         ": the region from before the write is "
                                                         "missing"};
  }
  if (meant.found == state::missing) {
    return journal_verdict{journal_finding::before_only, ""};
  }
  if (before.header.write_id != meant.header.write_id) {
    return journal_verdict{journal_finding::damaged, "its two files belong to different writes"};
  }
  return std::nullopt;
}

// Whether every block of `blocks` in `chip` equals the one in `region`.
bool blocks_equal(const std::uint8_t* chip, const std::uint8_t* region, const block_set& blocks) {
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    if (blocks[block] &&
        std::memcmp(block_at(chip, block), block_at(region, block), JOURNAL_BLOCK_SIZE) != 0) {
      return false;
    }
  }
  return true;
}

// Where a block of the chip stands between its content before and the content meant.
enum class block_state { settled, on_its_way, neither };

block_state state_of(const std::uint8_t* now, const std::uint8_t* from, const std::uint8_t* to) {
  if (std::memcmp(now, from, JOURNAL_BLOCK_SIZE) == 0 ||
      std::memcmp(now, to, JOURNAL_BLOCK_SIZE) == 0) {
    return block_state::settled;
  }
  bool erasing = true;     // on its way from before towards all ones
  bool programming = true; // on its way from all ones towards the content meant
  for (std::size_t i = 0; i < JOURNAL_BLOCK_SIZE && (erasing || programming); ++i) {
    erasing = erasing && (now[i] & from[i]) == from[i];
    programming = programming && (now[i] & to[i]) == to[i];
  }
  return erasing || programming ? block_state::on_its_way : block_state::neither;
}

// Whether the write changes a block of the unit that holds `block`: flashrom erases no other.
bool unit_changes(const block_set& changed, std::size_t block) {
  const std::size_t first = block / ERASE_UNIT_BLOCKS * ERASE_UNIT_BLOCKS;
  for (std::size_t at = first; at < first + ERASE_UNIT_BLOCKS; ++at) {
    if (changed[at]) {
      return true;
    }
  }
  return false;
}

// The record's place in the coreboot region, and the block that holds it.
constexpr std::size_t RECORD_IN_REGION = DMI_RECORD_OFFSET - COREBOOT_REGION_OFFSET;
constexpr std::size_t RECORD_BLOCK = RECORD_IN_REGION / JOURNAL_BLOCK_SIZE;
static_assert(RECORD_IN_REGION % JOURNAL_BLOCK_SIZE + DMI_RECORD_SIZE <= JOURNAL_BLOCK_SIZE);

// A text field of the record as firmware would report it: none when it is not set or empty.
std::optional<std::string> record_text(const dmi_record& record, field_id field) {
  const std::string_view text = dmi_record_text(record, field);
  if (dmi_record_index(record, field) == 0 || text.empty()) {
    return std::nullopt;
  }
  return std::string(text.substr(0, IDENTITY_TEXT_MAX));
}

// The verdict on a region that is neither all as meant nor all as before.
journal_verdict judge_region(const std::uint8_t* chip, const journal_file& before,
                             const journal_file& meant, board_match board) {
  if (board == board_match::another_board || board == board_match::identified_once) {
    return {journal_finding::another_board, "", board};
  }
  const block_set foreign = prove_region(chip, before.region->data(), meant.region->data(),
                                         meant.header.blocks, board == board_match::unidentified);
  if (foreign.none()) {
    return {journal_finding::partly_written, "", board};
  }
  return {journal_finding::foreign, block_words(foreign), board};
}

} // namespace

board_identity record_identity(const std::uint8_t* region) {
  dmi_record record;
  std::memcpy(record.bytes, region + RECORD_IN_REGION, DMI_RECORD_SIZE);
  board_identity identity;
  identity.system_serial = record_text(record, FIELD_SYSTEM_SERIAL_NUMBER);
  identity.board_serial = record_text(record, FIELD_BOARD_SERIAL_NUMBER);
  identity.system_uuid = identity_uuid_of_bytes(dmi_record_uuid(record));
  return identity;
}

board_match match_board(const std::optional<board_identity>& recorded, const board_identity& now,
                        const board_identity& record_before, const board_identity& record_meant) {
  const bool known_then = recorded && recorded->known();
  if (!known_then && !now.known()) {
    return board_match::unidentified;
  }
  if (!known_then || !now.known()) {
    return board_match::identified_once;
  }
  for (const board_identity* board : {&*recorded, &record_before, &record_meant}) {
    if (same_identity(*board, now)) {
      return board_match::this_board;
    }
  }
  return board_match::another_board;
}

journal_verdict judge_journal(const std::uint8_t* chip, const journal_file& before,
                              const journal_file& meant, const board_identity& now,
                              bool same_board) {
  if (const auto verdict = judge_files(before, meant)) {
    return *verdict;
  }
  const block_set& changed = meant.header.blocks;
  if (blocks_equal(chip, meant.region->data(), changed)) {
    return {journal_finding::write_completed, ""};
  }
  if (blocks_equal(chip, before.region->data(), changed)) {
    return {journal_finding::write_not_begun, ""};
  }
  if (same_board) {
    return judge_region(chip, before, meant, board_match::this_board);
  }
  // The region meant holds the record's block only when the write changed it.
  const std::uint8_t* meant_record_region =
      changed[RECORD_BLOCK] ? meant.region->data() : before.region->data();
  return judge_region(chip, before, meant,
                      match_board(before.header.identity, now,
                                  record_identity(before.region->data()),
                                  record_identity(meant_record_region)));
}

block_set prove_region(const std::uint8_t* chip, const std::uint8_t* before,
                       const std::uint8_t* meant, const block_set& changed, bool every_block) {
  block_set foreign;
  std::optional<std::size_t> unit; // the one unit where blocks may be on their way
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    if (!changed[block] && !every_block) {
      continue;
    }
    const std::uint8_t* from = block_at(before, block);
    const std::uint8_t* to = changed[block] ? block_at(meant, block) : from;
    const block_state state = state_of(block_at(chip, block), from, to);
    if (state == block_state::on_its_way && !unit && unit_changes(changed, block)) {
      unit = block / ERASE_UNIT_BLOCKS;
    }
    foreign.set(block, state == block_state::neither ||
                           (state == block_state::on_its_way && unit != block / ERASE_UNIT_BLOCKS));
  }
  return foreign;
}

std::string block_words(const block_set& blocks) {
  std::string words;
  std::size_t named = 0;
  for (std::size_t block = 0; block < REGION_BLOCKS && named < NAMED_BLOCKS; ++block) {
    if (blocks[block]) {
      char offset[24];
      std::snprintf(
          offset, sizeof offset, "0x%jx",
          static_cast<std::uintmax_t>(COREBOOT_REGION_OFFSET + block * JOURNAL_BLOCK_SIZE));
      ++named;
      const bool last = named == blocks.count();
      words += named == 1 ? "" : last ? " and " : ", ";
      words += offset;
    }
  }
  if (blocks.count() > named) {
    words += " and " + std::to_string(blocks.count() - named) + " more";
  }
  return words;
}
