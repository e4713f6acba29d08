// Tests of the proof that a region comes from a journal, and of whose board a journal is.
#include "flash_target/journal_proof.h"
#include "system/flash_geometry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

std::uint8_t* block(region_buffer& region, std::size_t index) {
  return region.data() + index * JOURNAL_BLOCK_SIZE;
}

void fill(region_buffer& region, std::uint8_t byte) {
  std::memset(region.data(), byte, REGION_SIZE);
}

// Each byte of a block on its way holds every 1-bit of the byte from before (an erase under way)
// or every 1-bit of the byte meant (programming under way), the same choice for the whole block.
TEST(ProveRegion, TakesBlocksBetweenTheTwoRegionsAndNamesTheOthers) {
  const struct {
    const char* name;
    std::uint8_t before, meant, first_half, second_half;
    bool from_journal;
  } cases[] = {
      {"as before", 0x5A, 0x30, 0x5A, 0x5A, true},
      {"as meant", 0x5A, 0x30, 0x30, 0x30, true},
      {"erased", 0x5A, 0x30, 0xFF, 0xFF, true},
      {"being erased", 0x5A, 0x30, 0x7B, 0xFF, true},
      {"being programmed", 0x5A, 0x30, 0x30, 0x3F, true},
      {"programmed over the old bits without an erase", 0x5A, 0x10, 0x10, 0x5A, true},
      {"a bit cleared that both regions hold", 0x5A, 0x30, 0x10, 0x10, false},
      {"half erasing from before, half programming towards meant", 0x0F, 0xF0, 0x1F, 0xF8, false},
  };
  region_buffer before;
  region_buffer meant;
  region_buffer chip;
  fill(before, 0);
  fill(meant, 0);
  fill(chip, 0);
  block_set changed;
  // All in the first 64 KiB unit, where blocks may be on their way.
  static_assert(std::size(cases) <= ERASE_UNIT_BLOCKS);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::memset(block(before, i), cases[i].before, JOURNAL_BLOCK_SIZE);
    std::memset(block(meant, i), cases[i].meant, JOURNAL_BLOCK_SIZE);
    std::memset(block(chip, i), cases[i].first_half, JOURNAL_BLOCK_SIZE / 2);
    std::memset(block(chip, i) + JOURNAL_BLOCK_SIZE / 2, cases[i].second_half,
                JOURNAL_BLOCK_SIZE / 2);
    changed.set(i);
  }
  const block_set foreign = prove_region(chip.data(), before.data(), meant.data(), changed, false);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(foreign[i], !cases[i].from_journal) << cases[i].name;
  }
  EXPECT_EQ(block_words(foreign), "0xc06000 and 0xc07000");
  EXPECT_EQ(block_words(block_set().set()), "0xc00000, 0xc01000, 0xc02000, 0xc03000 and 1020 more");
}

// A write cut short leaves at most one 64 KiB unit on its way; without the board's identity, the
// blocks the write does not change must hold the region before too, but inside that unit.
TEST(ProveRegion, TakesBlocksOnTheirWayInOneUnitAndWithoutAnIdentityJudgesEveryBlock) {
  // The write changes blocks 16 to 18 (the second unit) and 40 (the third).
  const std::size_t changed_blocks[] = {16, 17, 18, 40};
  const auto erase = [](std::size_t at) {
    return [at](region_buffer& chip) { std::memset(block(chip, at), 0xFF, JOURNAL_BLOCK_SIZE); };
  };
  const auto clear_a_bit = [](std::size_t at) {
    return [at](region_buffer& chip) { block(chip, at)[9] = 0x10; };
  };
  const struct {
    const char* name;
    std::vector<std::function<void(region_buffer&)>> edits;
    std::vector<std::size_t> foreign_with_identity, foreign_without;
  } cases[] = {
      {"the second unit erased and partly programmed",
       {[](region_buffer& c) { std::memset(block(c, 16), 0x30, JOURNAL_BLOCK_SIZE); }, erase(17),
        erase(18), [](region_buffer& c) { std::memset(block(c, 18), 0x30, 100); }, erase(19)},
       {},
       {}},
      {"blocks on their way in two units", {erase(17), erase(40)}, {40}, {40}},
      {"a changed block with a bit cleared", {clear_a_bit(17)}, {17}, {17}},
      {"firmware data changed outside the write", {clear_a_bit(100)}, {}, {100}},
      {"an unchanged block erased outside the unit on its way", {erase(17), erase(50)}, {}, {50}},
      {"an unchanged block with a bit cleared inside that unit",
       {erase(17), clear_a_bit(19)},
       {},
       {19}},
      {"an unchanged block on its way in a unit the write leaves alone", {erase(60)}, {}, {60}},
  };
  region_buffer before;
  region_buffer meant;
  fill(before, 0x5A);
  fill(meant, 0x5A);
  block_set changed;
  for (const std::size_t at : changed_blocks) {
    std::memset(block(meant, at), 0x30, JOURNAL_BLOCK_SIZE);
    changed.set(at);
  }
  for (const auto& c : cases) {
    region_buffer chip;
    std::memcpy(chip.data(), before.data(), REGION_SIZE);
    for (const auto& edit : c.edits) {
      edit(chip);
    }
    for (const bool every_block : {false, true}) {
      const auto& expected = every_block ? c.foreign_without : c.foreign_with_identity;
      block_set wanted;
      for (const std::size_t at : expected) {
        wanted.set(at);
      }
      const block_set foreign =
          prove_region(chip.data(), before.data(), meant.data(), changed, every_block);
      EXPECT_EQ(block_words(foreign), block_words(wanted))
          << c.name << (every_block ? ", without an identity" : ", with one");
    }
  }
}

} // namespace
