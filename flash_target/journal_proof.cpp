// The judgement of a journal and the proof of a region.
#include "flash_target/journal_proof.h"

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

} // namespace

journal_verdict judge_journal(const std::uint8_t* chip, const journal_file& before,
                              const journal_file& meant) {
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
  const block_set foreign =
      prove_in_transit(chip, before.region->data(), meant.region->data(), changed);
  if (foreign.none()) {
    return {journal_finding::partly_written, ""};
  }
  return {journal_finding::foreign, block_words(foreign)};
}

block_set prove_in_transit(const std::uint8_t* chip, const std::uint8_t* before,
                           const std::uint8_t* meant, const block_set& changed) {
  block_set foreign;
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    if (!changed[block]) {
      continue;
    }
    const std::uint8_t* now = block_at(chip, block);
    const std::uint8_t* from = block_at(before, block);
    const std::uint8_t* to = block_at(meant, block);
    bool erasing = true;     // on its way from before towards all ones
    bool programming = true; // on its way from all ones towards the region meant
    for (std::size_t i = 0; i < JOURNAL_BLOCK_SIZE && (erasing || programming); ++i) {
      erasing = erasing && (now[i] & from[i]) == from[i];
      programming = programming && (now[i] & to[i]) == to[i];
    }
    foreign.set(block, !erasing && !programming);
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
