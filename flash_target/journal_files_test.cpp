// Tests of the journal's files, the judgement of the chip against them, and the state folder's
// safety.
#include "flash_target/journal_files.h"
#include "flash_target/journal_proof.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

const char* const IMAGE = "/tmp/meant.rom";
// The board the journals are made on, and judged on.
const board_identity BOARD{"SN-2024-0040", std::nullopt,
                           identity_uuid_of_text("4c4c4544-0042-3510-8052-b4c04f333232")};

// Four blocks that a write changes; block 900 the firmware may change on its own.
constexpr std::size_t CHANGED[] = {10, 11, 500, 1023};
constexpr std::size_t FIRMWARE_BLOCK = 900;

std::uint8_t* block(region_buffer& region, std::size_t index) {
  return region.data() + index * JOURNAL_BLOCK_SIZE;
}

void fill(region_buffer& region, std::uint8_t byte) {
  std::memset(region.data(), byte, REGION_SIZE);
}

class JournalFiles : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(STATE_FOLDER, 0700), 0);
    folder_ = ::open(STATE_FOLDER, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder_, 0);
    fill(before_, 0x5A);
    fill(meant_, 0x5A);
    for (const std::size_t index : CHANGED) {
      std::memset(block(meant_, index), 0x30, JOURNAL_BLOCK_SIZE);
    }
  }
  void TearDown() override {
    ::close(folder_);
  }

  // Writes the journal of a write of meant_ over before_, as a run does.
  std::uint64_t save_journal() {
    const journal_start start = save_region_before(folder_, before_, BOARD);
    make_image(IMAGE, "");
    const int image = ::open(IMAGE, O_WRONLY);
    EXPECT_EQ(::pwrite(image, meant_.data(), REGION_SIZE, COREBOOT_REGION_OFFSET),
              static_cast<ssize_t>(REGION_SIZE));
    ::close(image);
    save_region_meant(folder_, start, IMAGE, before_);
    return start.write_id;
  }

  journal_verdict judge(const region_buffer& chip) const {
    return judge_journal(
        chip.data(), load_journal_file(folder_, REGION_BEFORE_FILE, journal_kind::region_before),
        load_journal_file(folder_, REGION_MEANT_FILE, journal_kind::region_meant), BOARD, false);
  }

  int folder_ = -1;
  region_buffer before_;
  region_buffer meant_;
};

TEST_F(JournalFiles, HoldTheRegionBeforeWholeAndTheRegionMeantWhereItDiffers) {
  const std::uint64_t id = save_journal();
  const journal_file before =
      load_journal_file(folder_, REGION_BEFORE_FILE, journal_kind::region_before);
  const journal_file meant =
      load_journal_file(folder_, REGION_MEANT_FILE, journal_kind::region_meant);
  ASSERT_EQ(before.found, journal_file::state::whole) << before.damage;
  ASSERT_EQ(meant.found, journal_file::state::whole) << meant.damage;
  EXPECT_EQ(before.header.write_id, id);
  EXPECT_EQ(meant.header.write_id, id);
  for (const journal_file* file : {&before, &meant}) {
    ASSERT_TRUE(file->header.identity);
    EXPECT_TRUE(same_identity(*file->header.identity, BOARD));
  }
  EXPECT_TRUE(before.header.blocks.all());
  EXPECT_EQ(std::memcmp(before.region->data(), before_.data(), REGION_SIZE), 0);
  EXPECT_EQ(meant.header.blocks.count(), std::size(CHANGED));
  for (const std::size_t index : CHANGED) {
    EXPECT_TRUE(meant.header.blocks[index]) << index;
    EXPECT_EQ(std::memcmp(meant.region->data() + index * JOURNAL_BLOCK_SIZE, block(meant_, index),
                          JOURNAL_BLOCK_SIZE),
              0)
        << index;
  }
  // The region from before is an image flashrom writes as it stands: the region at its place.
  const std::string file = read_file(journal_path(REGION_BEFORE_FILE));
  ASSERT_EQ(file.size(), static_cast<std::size_t>(FLASH_IMAGE_SIZE));
  EXPECT_EQ(std::memcmp(file.data() + COREBOOT_REGION_OFFSET, before_.data(), REGION_SIZE), 0);
  EXPECT_FALSE(file_exists(journal_path(REGION_BEFORE_FILE) + ".partial"));
}

// Every state the journal can be in, as the next run finds it.
TEST_F(JournalFiles, TellWhatTheChipHoldsOrWhyTheyCannotSay) {
  const std::string before_path = journal_path(REGION_BEFORE_FILE);
  const std::string meant_path = journal_path(REGION_MEANT_FILE);
  // Other names in the state folder, for files moved aside.
  const std::string elsewhere = journal_path("elsewhere");
  const std::string again = journal_path("again");
  const auto chip_as = [](const region_buffer& base,
                          const std::function<void(region_buffer&)>& edit) {
    return [&base, edit](region_buffer& chip) {
      std::memcpy(chip.data(), base.data(), REGION_SIZE);
      edit(chip);
    };
  };
  const auto unchanged = [](region_buffer&) {};
  const struct {
    const char* name;
    std::function<void()> journal; // after the journal of the write is saved
    std::function<void(region_buffer&)> chip;
    journal_finding finding;
    std::string reason;
  } cases[] = {
      {"write completed", {}, chip_as(meant_, unchanged), journal_finding::write_completed, ""},
      {"firmware data changed beside a completed write",
       {},
       chip_as(meant_, [](region_buffer& chip) { block(chip, FIRMWARE_BLOCK)[7] ^= 0x10; }),
       journal_finding::write_completed,
       ""},
      {"write never began", {}, chip_as(before_, unchanged), journal_finding::write_not_begun, ""},
      {"cut short: one block as meant, one half programmed in its unit, two as before",
       {},
       chip_as(before_,
               [this](region_buffer& chip) {
                 std::memcpy(block(chip, 10), block(meant_, 10), JOURNAL_BLOCK_SIZE);
                 std::memset(block(chip, 11), 0xFF, JOURNAL_BLOCK_SIZE);
                 std::memset(block(chip, 11), 0x30, JOURNAL_BLOCK_SIZE / 2);
               }),
       journal_finding::partly_written,
       ""},
      {"blocks that are neither",
       {},
       chip_as(before_,
               [](region_buffer& chip) {
                 block(chip, 11)[0] = 0x01;
                 block(chip, 1023)[4095] = 0x00;
               }),
       journal_finding::foreign,
       "0xc0b000 and 0xfff000"},
      {"only the region from before", [&] { ::unlink(meant_path.c_str()); },
       chip_as(meant_, unchanged), journal_finding::before_only, ""},
      {"only the region meant", [&] { ::unlink(before_path.c_str()); }, chip_as(meant_, unchanged),
       journal_finding::damaged, meant_path + ": the region from before the write is missing"},
      {"a FIFO in place of the region from before",
       [&] {
         ::unlink(before_path.c_str());
         ::mkfifo(before_path.c_str(), 0600);
       },
       chip_as(before_, unchanged), journal_finding::damaged,
       before_path + ": it is not a regular file"},
      {"a link in place of the region meant",
       [&] {
         ::rename(meant_path.c_str(), elsewhere.c_str());
         ::symlink(elsewhere.c_str(), meant_path.c_str());
       },
       chip_as(before_, unchanged), journal_finding::damaged,
       meant_path + ": it is a symbolic link"},
      {"a second link to the region from before",
       [&] { ::link(before_path.c_str(), again.c_str()); }, chip_as(before_, unchanged),
       journal_finding::damaged, before_path + ": it has more than one link"},
      {"a short region from before", [&] { ::truncate(before_path.c_str(), 1000); },
       chip_as(before_, unchanged), journal_finding::damaged,
       before_path + ": it is 1000 bytes, not 16777216"},
      {"garbage in the region from before",
       [&] {
         const int fd = ::open(before_path.c_str(), O_WRONLY);
         ::pwrite(fd, "x", 1, COREBOOT_REGION_OFFSET + 123456);
         ::close(fd);
       },
       chip_as(before_, unchanged), journal_finding::damaged,
       before_path + ": its checksum does not hold"},
      {"the identity in a header changed",
       [&] {
         const int fd = ::open(before_path.c_str(), O_WRONLY);
         ::pwrite(fd, "X", 1, 261); // the first byte of the system serial number
         ::close(fd);
       },
       chip_as(before_, unchanged), journal_finding::damaged,
       before_path + ": its checksum does not hold"},
      {"a damaged header",
       [&] {
         const int fd = ::open(meant_path.c_str(), O_WRONLY);
         ::pwrite(fd, "VEK", 3, 0);
         ::close(fd);
       },
       chip_as(before_, unchanged), journal_finding::damaged,
       meant_path + ": it is not a journal file of vek_smbios_util"},
      {"the two files swapped",
       [&] {
         ::rename(before_path.c_str(), elsewhere.c_str());
         ::rename(meant_path.c_str(), before_path.c_str());
         ::rename(elsewhere.c_str(), meant_path.c_str());
       },
       chip_as(before_, unchanged), journal_finding::damaged,
       before_path + ": it holds the other region of a write"},
      {"files of two writes",
       [&] {
         ::rename(meant_path.c_str(), elsewhere.c_str());
         save_region_before(folder_, before_, BOARD);
         ::rename(elsewhere.c_str(), meant_path.c_str());
       },
       chip_as(before_, unchanged), journal_finding::damaged,
       "its two files belong to different writes"},
  };
  for (const auto& c : cases) {
    save_journal();
    if (c.journal) {
      c.journal();
    }
    region_buffer chip;
    c.chip(chip);
    const journal_verdict verdict = judge(chip);
    EXPECT_EQ(verdict.finding, c.finding) << c.name << ": " << verdict.reason;
    EXPECT_EQ(verdict.reason, c.reason) << c.name;
    ::unlink(elsewhere.c_str());
    ::unlink(again.c_str());
    remove_journal(folder_);
  }
  region_buffer chip;
  EXPECT_EQ(judge(chip).finding, journal_finding::none);
}

// Without the region meant a journal says the chip holds a whole region: the removal takes that
// file first, so a removal cut short after it is read right.
TEST_F(JournalFiles, RemovalTakesTheRegionMeantFirst) {
  save_journal();
  const std::string before_path = journal_path(REGION_BEFORE_FILE);
  // The region before as a folder that cannot go, so the removal stops there.
  ASSERT_EQ(::unlink(before_path.c_str()), 0);
  ASSERT_EQ(::mkdir(before_path.c_str(), 0700), 0);
  write_file(before_path + "/kept", "");
  const child_result removal = run_in_child([this] { remove_journal(folder_); });
  EXPECT_EQ(removal.exit_status, 255);
  EXPECT_TRUE(removal.err.starts_with("Unable to remove " + before_path)) << removal.err;
  EXPECT_FALSE(file_exists(journal_path(REGION_MEANT_FILE)));
}

TEST(StateFolder, OnlyARootFolderNoOneElseCanWriteIsSafe) {
  const struct {
    mode_t mode;
    uid_t owner;
    const char* reason;
  } cases[] = {
      {S_IFDIR | 0755, 0, ""},
      {S_IFREG | 0600, 0, "is not a folder"},
      {S_IFDIR | 0700, 1000, "is owned by uid 1000"},
      {S_IFDIR | 0770, 0, "is writable by group or others"},
      {S_IFDIR | 0702, 0, "is writable by group or others"},
  };
  for (const auto& c : cases) {
    struct stat status = {};
    status.st_mode = c.mode;
    status.st_uid = c.owner;
    EXPECT_EQ(unsafe_state_folder(status), c.reason) << std::oct << c.mode << " " << c.owner;
  }
}

} // namespace
