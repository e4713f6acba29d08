// The journal of a flash write, end to end on the emulated chip: a write that fails and cannot
// be undone at once is refused over, restored on request, or found complete by the next run.
#include "flash_target/journal.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

namespace {

const char* const TOOL_PID = "/tmp/board/tool.pid";
const std::string KEPT = "; its content before the write is kept in " +
                         journal_path(REGION_BEFORE_FILE) +
                         "; run vek_smbios_util --restore to put it back\n";

class Journal : public testing::Test {
protected:
  void SetUp() override {
    board_.make_chip(&old_record_);
    chip_before_ = read_file(emulated_board::CHIP);
  }

  // How many of the journal's two files are there.
  static int journal_files() {
    return file_exists(journal_path(REGION_BEFORE_FILE)) +
           file_exists(journal_path(REGION_MEANT_FILE));
  }

  emulated_board board_;
  const dmi_record old_record_ = make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}});
  std::string chip_before_;
};

TEST_F(Journal, FailedRestoreKeepsTheJournalWhichRefusesWritesUntilRestored) {
  // The write programs half the region and fails, and the restore fails as well.
  const child_result failed = board_.run({"-w", "--system-sku=lost"},
                                         "flashrom-write:partial-exit:3 flashrom-restore:exit:4");
  EXPECT_EQ(failed.exit_status, 3);
  EXPECT_EQ(failed.err, "The coreboot region of the flash may be partly written" + KEPT);
  ASSERT_NE(read_file(emulated_board::CHIP), chip_before_);
  EXPECT_EQ(journal_files(), 2);

  ::unlink("/tmp/board/calls");
  const child_result refused = board_.run({"-w", "--system-sku=again"});
  EXPECT_EQ(refused.exit_status, 255);
  EXPECT_TRUE(refused.err.starts_with("Refusing to write the flash: ") &&
              refused.err.ends_with(KEPT))
      << refused.err;
  EXPECT_EQ(board_.calls().size(), 1u) << "only the read";
  const child_result read = board_.run({"-r"});
  EXPECT_EQ(read.exit_status, 0);
  EXPECT_TRUE(read.err.starts_with("Warning: ") && read.err.ends_with(KEPT)) << read.err;
  EXPECT_NE(read.out.find("system-manufacturer"), std::string::npos) << read.out;

  // As after a reboot: nothing the runs left in /tmp is needed.
  for (const char* path : {"/tmp/bios_layout", "/tmp/flash_backup.bin", "/tmp/dmi.bin"}) {
    ::unlink(path);
  }
  EXPECT_EQ(board_.run({"--restore"}).exit_status, 0);
  EXPECT_EQ(read_file(emulated_board::CHIP), chip_before_);
  EXPECT_EQ(journal_files(), 0);
  EXPECT_EQ(board_.run({"-w", "--system-sku=again"}).exit_status, 0);
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP),
            stored_merge(old_record_, make_record({{FIELD_SYSTEM_SKU, "again"}})));

  const child_result nothing = board_.run({"--restore"});
  EXPECT_EQ(nothing.exit_status, 255);
  EXPECT_TRUE(nothing.err.starts_with("Nothing to restore: ")) << nothing.err;
}

TEST_F(Journal, RunKilledDuringAWriteThatCompletesIsFoundAsMeantByTheNext) {
  std::optional<held_step> write(std::in_place, board_, "flashrom-write");
  background_child killer([&write] {
    if (write->started()) {
      ::kill(std::stoi(read_file(TOOL_PID)), SIGKILL);
    }
  });
  const child_result killed = board_.run({"-w", "--system-sku=killed"}, "",
                                         [] { write_file(TOOL_PID, std::to_string(::getpid())); });
  ASSERT_EQ(killed.exit_status, -1);
  EXPECT_EQ(journal_files(), 2);
  ASSERT_TRUE(write->release());
  write.reset();
  // flashrom holds the run lock until its write is done.
  const int lock = ::open("/var/run/vek_smbios_util.lock", O_RDONLY);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  ::close(lock);

  const child_result next = board_.run({"-r"});
  EXPECT_EQ(next.exit_status, 0);
  EXPECT_EQ(next.err, "An earlier flash write had completed: the chip holds the region meant for "
                      "it; its journal is removed\n");
  EXPECT_EQ(journal_files(), 0);
}

TEST_F(Journal, StateFolderIsRootsAloneOrTheRunEndsBeforeTheChipIsRead) {
  ASSERT_EQ(board_.run({"-w"}, "", [] { ::umask(0); }).exit_status, 0);
  struct stat status;
  ASSERT_EQ(::lstat(STATE_FOLDER, &status), 0);
  EXPECT_EQ(status.st_mode, S_IFDIR | 0700);

  ASSERT_EQ(::rmdir(STATE_FOLDER), 0) << "left empty by the write";
  ASSERT_EQ(::mkdir("/tmp/board/elsewhere", 0700), 0);
  ASSERT_EQ(::symlink("/tmp/board/elsewhere", STATE_FOLDER), 0);
  ::unlink("/tmp/board/calls");
  const child_result result = board_.run({"-r"});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            std::string("Refusing the state folder ") + STATE_FOLDER + ": it is a symbolic link\n");
  EXPECT_TRUE(board_.calls().empty());
}

} // namespace
