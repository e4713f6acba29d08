// Tests of the journal's judgement of the chip and of the state folder's safety.
#include "flash_target/journal.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(JudgeJournal, TellsWhichRegionTheChipHolds) {
  const std::string before(8, 'b');
  const std::string meant(8, 'm');
  const std::string half = "mmmm\xff\xff\xff\xff"; // a write cut short
  const std::optional<std::string> none;
  const struct {
    const char* name;
    std::string chip;
    std::optional<std::string> before, meant;
    journal_finding finding;
  } cases[] = {
      {"no journal", before, none, none, journal_finding::none},
      {"write completed", meant, before, meant, journal_finding::write_completed},
      {"write never began", before, before, meant, journal_finding::write_not_begun},
      {"a write that changed nothing", before, before, before, journal_finding::write_completed},
      {"cut short", half, before, meant, journal_finding::unknown},
      // Killed while the journal was being written: no write had started.
      {"no region meant yet", half, before, none, journal_finding::write_not_begun},
      {"region meant cut short", before, before, std::string("mmmm"),
       journal_finding::write_not_begun},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judge_journal(c.chip, c.before, c.meant), c.finding) << c.name;
  }
}

TEST(StateFolder, OnlyARootFolderNoOneElseCanWriteIsSafe) {
  const struct {
    mode_t mode;
    uid_t owner;
    const char* reason;
  } cases[] = {
      {S_IFDIR | 0755, 0, nullptr},
      {S_IFREG | 0600, 0, "it is not a folder"},
      {S_IFDIR | 0700, 1000, "it is not owned by root"},
      {S_IFDIR | 0770, 0, "it is writable by group or others"},
      {S_IFDIR | 0702, 0, "it is writable by group or others"},
  };
  for (const auto& c : cases) {
    struct stat status = {};
    status.st_mode = c.mode;
    status.st_uid = c.owner;
    EXPECT_STREQ(unsafe_state_folder(status), c.reason) << std::oct << c.mode << " " << c.owner;
  }
}

} // namespace
