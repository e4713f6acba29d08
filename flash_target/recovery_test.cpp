// Tests of what a run does with the journal of a write cut short: on a board set up from a cloned
// disk it writes nothing, on the board that made it the region is put back byte for byte.
#include "flash_target/journal_files.h"
#include "flash_target/recovery.h"
#include "system/working_files.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace {

const std::string CHIP = "/tmp/chip.bin";
const char* const MEANT_IMAGE = "/tmp/meant.rom";
// Where the write of the journal's board changes the region: the record's block and the next.
constexpr std::size_t RECORD_BLOCK = (DMI_RECORD_OFFSET - COREBOOT_REGION_OFFSET) / 4096;
constexpr std::size_t NEXT_BLOCK = RECORD_BLOCK + 1;

std::optional<identity_uuid> uuid(const char* text) {
  return identity_uuid_of_text(text);
}

// A board's record, and the identity its firmware reports for it.
struct board {
  const char* serial;
  const char* board_serial;
  const char* uuid;
  board_identity identity() const {
    return {serial, board_serial, ::uuid(uuid)};
  }
};

const board MASTER{"SN-2024-0040", "BB-0040", "4c4c4544-0042-3510-8052-b4c04f333232"};
const board MASTER_MEANT{"SN-2024-0050", "BB-0040", "4c4c4544-0042-3510-8052-b4c04f333232"};

// A coreboot region of firmware `seed` (1 or 2), its record's block erased.
std::string firmware(int seed) {
  static std::string made[2];
  std::string& region = made[seed - 1];
  if (region.empty()) {
    region.resize(REGION_SIZE);
    for (std::size_t i = 0; i < REGION_SIZE; ++i) {
      region[i] = static_cast<char>(i * (5 + 2 * seed) + seed);
    }
    region.replace(RECORD_BLOCK * 4096, 4096, 4096, '\xff');
  }
  return region;
}

// The same with `record` at its place.
std::string firmware(int seed, const board& record) {
  dmi_record bytes = make_record({{FIELD_SYSTEM_SERIAL_NUMBER, record.serial},
                                  {FIELD_BOARD_SERIAL_NUMBER, record.board_serial}});
  dmi_record_parse_uuid(bytes, record.uuid);
  return firmware(seed).replace(DMI_RECORD_OFFSET - COREBOOT_REGION_OFFSET, DMI_RECORD_SIZE,
                                record_bytes(bytes));
}

const std::string BEFORE = firmware(1, MASTER);
// The master's write: its new serial in the record, and the block after it.
const std::string MEANT = [] {
  std::string region = firmware(1, MASTER_MEANT);
  region.replace(NEXT_BLOCK * 4096, 4096, 4096, '\x33');
  return region;
}();

// `base` with block `block` as flashrom leaves one cut short on its way to `to`: erased, then
// programmed up to its middle.
std::string cut_at(std::string base, std::size_t block, const std::string& to) {
  base.replace(block * 4096, 2048, to, block * 4096, 2048);
  base.replace(block * 4096 + 2048, 2048, 2048, '\xff');
  return base;
}

// An image file of the chip's size with `region` at its place.
void write_image(const std::string& path, const std::string& region) {
  make_image(path, "");
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_EQ(::pwrite(fd, region.data(), REGION_SIZE, COREBOOT_REGION_OFFSET),
            static_cast<ssize_t>(REGION_SIZE));
  ::close(fd);
}

std::string region_of(const std::string& path) {
  std::string region(REGION_SIZE, '\0');
  const int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_EQ(::pread(fd, region.data(), REGION_SIZE, COREBOOT_REGION_OFFSET),
            static_cast<ssize_t>(REGION_SIZE))
      << path;
  ::close(fd);
  return region;
}

// flashrom on the emulated chip CHIP: a read copies its region into the image named last, a write
// copies the named image's region onto it (unless the chip `takes_writes` not) and is noted in
// /tmp/writes.
void play_flashrom(const std::string& command, bool takes_writes = true) {
  const std::string file = command.substr(command.rfind(' ') + 1);
  if (command.find(" -r ") != std::string::npos) {
    write_image(file, region_of(CHIP));
  } else {
    write_file("/tmp/writes", read_file("/tmp/writes") + file + "\n");
    if (takes_writes) {
      write_image(CHIP, region_of(file));
    }
  }
}

class fixed_identity : public board_identity_source {
public:
  explicit fixed_identity(board_identity identity) : identity_(std::move(identity)) {}
  board_identity read() const override {
    return identity_;
  }

private:
  board_identity identity_;
};

// The journal of the master's write, begun on a board of `identity`, with the chip as `chip`.
void leave_cut_write(const board_identity& identity, const std::string& chip) {
  const unique_fd folder = open_state_folder(true);
  region_buffer before;
  std::memcpy(before.data(), BEFORE.data(), REGION_SIZE);
  const journal_start start = save_region_before(folder.get(), before, identity);
  write_image(MEANT_IMAGE, MEANT);
  save_region_meant(folder.get(), start, MEANT_IMAGE, before);
  write_image(CHIP, chip);
}

// A run on the chip that finds the journal: -w's judgement, or --restore.
child_result run_on_chip(const board_identity& now, bool restore, bool same_board = false) {
  return run_in_child([&] {
    const unique_fd folder = open_state_folder(false);
    if (!restore) {
      region_buffer chip;
      std::memcpy(chip.data(), region_of(CHIP).data(), REGION_SIZE);
      shell_recorder shell;
      settle_earlier_write(shell.out(), folder.get(), chip, true, now);
      return;
    }
    shell_recorder shell({}, [](const std::string& command) { play_flashrom(command); });
    restore_from_journal(shell.runner(), folder.get(), working_files{}, fixed_identity(now),
                         same_board);
  });
}

const std::string JOURNAL_IN = "journal in " + std::string(STATE_FOLDER);
const std::string OTHER_BOARD =
    JOURNAL_IN + " was made on another board (serial SN-2024-0040, this board: ";

// Boards are set up from one cloned system disk: the master's journal of a cut write reaches
// every clone. Only on the master is the region it kept written back.
TEST(CutWrite, IsPutBackOnlyOnTheBoardThatMadeIt) {
  const auto clone = [](const char* serial) {
    return board{serial, "BB-0041", "9b3c6f2e-1d4a-4f8b-a7c2-0e5d9f1b3a44"};
  };
  const board_identity other_firmware{"OF-7731", "OFB-7731", std::nullopt};
  const board_identity no_record{"To Be Filled By O.E.M.", "To Be Filled By O.E.M.", std::nullopt};
  const std::string master_cut = cut_at(MEANT, NEXT_BLOCK, MEANT);
  const struct {
    std::string name;
    board_identity recorded;
    std::string chip;
    board_identity now;
    bool same_board;
    std::string refusal; // words both -w and --restore refuse with; empty: restored
  } cases[] = {
      // Clones whose serial's every byte holds each 1-bit of the master's took the region along.
      {"clone SN-2024-0041", MASTER.identity(), firmware(1, clone("SN-2024-0041")),
       clone("SN-2024-0041").identity(), false, OTHER_BOARD + "SN-2024-0041)"},
      {"clone SN-2024-0042", MASTER.identity(), firmware(1, clone("SN-2024-0042")),
       clone("SN-2024-0042").identity(), false, OTHER_BOARD + "SN-2024-0042)"},
      {"clone SN-2024-0043", MASTER.identity(), firmware(1, clone("SN-2024-0043")),
       clone("SN-2024-0043").identity(), false, OTHER_BOARD + "SN-2024-0043)"},
      {"clone SN-2024-0048", MASTER.identity(), firmware(1, clone("SN-2024-0048")),
       clone("SN-2024-0048").identity(), false, OTHER_BOARD + "SN-2024-0048)"},
      {"clone SN-2024-0051", MASTER.identity(), firmware(1, clone("SN-2024-0051")),
       clone("SN-2024-0051").identity(), false, OTHER_BOARD + "SN-2024-0051)"},
      {"clone SN-2024-0140", MASTER.identity(), firmware(1, clone("SN-2024-0140")),
       clone("SN-2024-0140").identity(), false, OTHER_BOARD + "SN-2024-0140)"},
      {"clone SN-2025-0040", MASTER.identity(), firmware(1, clone("SN-2025-0040")),
       clone("SN-2025-0040").identity(), false, OTHER_BOARD + "SN-2025-0040)"},
      {"clone with the serial meant", MASTER.identity(), firmware(1, clone("SN-2024-0050")),
       clone("SN-2024-0050").identity(), false, OTHER_BOARD + "SN-2024-0050)"},
      {"other firmware with an erased record block", MASTER.identity(), firmware(2), other_firmware,
       false, OTHER_BOARD + "OF-7731)"},
      {"firmware that does not report the record", MASTER.identity(),
       firmware(1, clone("SN-2024-0044")), no_record, false,
       OTHER_BOARD + "To Be Filled By O.E.M.)"},
      {"an identity that cannot be read",
       MASTER.identity(),
       firmware(1, clone("SN-2024-0041")),
       {},
       false,
       JOURNAL_IN + " was made on the board with serial SN-2024-0040, and this board could not "
                    "be identified"},
      {"no identity at either time, other firmware",
       {},
       firmware(2),
       {},
       false,
       "the board could not be identified, and its blocks at 0xc00000, 0xc01000, 0xc02000, "
       "0xc03000 and 1019 more hold neither"},
      // The master itself, cut short, then restarted or not.
      {"the master without a reboot", MASTER.identity(), cut_at(BEFORE, RECORD_BLOCK, MEANT),
       MASTER.identity(), false, ""},
      {"the master rebooted into the record meant, the UUID in SMBIOS order",
       MASTER.identity(),
       master_cut,
       {"SN-2024-0050", "BB-0040", uuid("44454c4c-4200-1035-8052-b4c04f333232")},
       false,
       ""},
      {"the master rebooted into a record it does not report",
       MASTER.identity(),
       master_cut,
       {},
       false,
       JOURNAL_IN + " was made on the board with serial SN-2024-0040"},
      {"the same, with the operator's --same-board", MASTER.identity(), master_cut, {}, true, ""},
      {"the master, no identity at either time", {}, master_cut, {}, false, ""},
  };
  for (const auto& c : cases) {
    leave_cut_write(c.recorded, c.chip);
    const child_result write = run_on_chip(c.now, false);
    EXPECT_EQ(write.exit_status, 255) << c.name;
    EXPECT_TRUE(write.err.starts_with("Refusing to write the flash: ")) << c.name;
    // -w takes no word of the operator's: it refuses the journal --same-board restores.
    if (!c.same_board) {
      EXPECT_NE(write.err.find(c.refusal.empty() ? "matches neither" : c.refusal),
                std::string::npos)
          << c.name << ": " << write.err;
    }
    const child_result restore = run_on_chip(c.now, true, c.same_board);
    if (c.refusal.empty()) {
      EXPECT_EQ(restore.exit_status, 0) << c.name << ": " << restore.err;
      EXPECT_TRUE(region_of(CHIP) == BEFORE) << c.name << ": not restored byte for byte";
    } else {
      EXPECT_EQ(restore.exit_status, 255) << c.name;
      EXPECT_NE(restore.err.find(c.refusal), std::string::npos) << c.name << ": " << restore.err;
      EXPECT_FALSE(file_exists("/tmp/writes")) << c.name << ": the chip was written";
      EXPECT_TRUE(region_of(CHIP) == c.chip) << c.name;
    }
    std::filesystem::remove_all(STATE_FOLDER);
    ::unlink("/tmp/writes");
  }
}

// flashrom said the write succeeded, but the chip did not take it.
TEST(CutWrite, RestoreThatReadsBackOtherBytesKeepsTheJournal) {
  leave_cut_write(MASTER.identity(), cut_at(BEFORE, RECORD_BLOCK, MEANT));
  const child_result restore = run_in_child([] {
    const unique_fd folder = open_state_folder(false);
    shell_recorder shell({}, [](const std::string& command) { play_flashrom(command, false); });
    restore_from_journal(shell.runner(), folder.get(), working_files{},
                         fixed_identity(MASTER.identity()), false);
  });
  EXPECT_EQ(restore.exit_status, 255);
  EXPECT_TRUE(restore.err.starts_with("The coreboot region of the flash does not read back as "
                                      "restored; its content before the write is kept in "))
      << restore.err;
  EXPECT_TRUE(file_exists(journal_path(REGION_BEFORE_FILE)));
  EXPECT_TRUE(file_exists(journal_path(REGION_MEANT_FILE)));
}

} // namespace
