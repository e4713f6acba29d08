// Tests of the proof that a region comes from a journal.
#include "flash_target/journal_proof.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::uint8_t* block(region_buffer& region, std::size_t index) {
  return region.data() + index * JOURNAL_BLOCK_SIZE;
}

void fill(region_buffer& region, std::uint8_t byte) {
  std::memset(region.data(), byte, REGION_SIZE);
}

// Each byte of a block on its way holds every 1-bit of the byte from before (an erase under way)
// or every 1-bit of the byte meant (programming under way), the same choice for the whole block.
TEST(ProveInTransit, TakesBlocksBetweenTheTwoRegionsAndNamesTheOthers) {
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
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::memset(block(before, i), cases[i].before, JOURNAL_BLOCK_SIZE);
    std::memset(block(meant, i), cases[i].meant, JOURNAL_BLOCK_SIZE);
    std::memset(block(chip, i), cases[i].first_half, JOURNAL_BLOCK_SIZE / 2);
    std::memset(block(chip, i) + JOURNAL_BLOCK_SIZE / 2, cases[i].second_half,
                JOURNAL_BLOCK_SIZE / 2);
    changed.set(i);
  }
  // A block the write does not change says nothing, whatever it holds.
  std::memset(block(chip, 700), 0xA5, JOURNAL_BLOCK_SIZE);
  const block_set foreign = prove_in_transit(chip.data(), before.data(), meant.data(), changed);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(foreign[i], !cases[i].from_journal) << cases[i].name;
  }
  EXPECT_FALSE(foreign[700]);
  EXPECT_EQ(block_words(foreign), "0xc06000 and 0xc07000");
  EXPECT_EQ(block_words(block_set().set()), "0xc00000, 0xc01000, 0xc02000, 0xc03000 and 1020 more");
}

} // namespace
