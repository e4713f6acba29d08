// The journal of a flash write, end to end on the emulated chip: a write that fails and cannot
// be undone at once is refused over, restored on request, or found complete by the next run.
#include "flash_target/journal.h"
#include "system/file_checks.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Linux's /sys/class/dmi/id, where the kernel reports the board's identity, as a folder of the
// case's own: a tmpfs over /sys/class in the test process's private mount namespace (the machine
// may have no DMI at all), unmounted at the end of the case.
class dmi_identity {
public:
  dmi_identity() {
    mounted_ = ::mount("vek_test_dmi", "/sys/class", "tmpfs", 0, "mode=0755") == 0;
    error_ = errno;
    if (mounted_) {
      ::mkdir("/sys/class/dmi", 0755);
      ::mkdir("/sys/class/dmi/id", 0755);
    }
  }
  ~dmi_identity() {
    if (mounted_) {
      ::umount2("/sys/class", MNT_DETACH);
    }
  }
  dmi_identity(const dmi_identity&) = delete;
  dmi_identity& operator=(const dmi_identity&) = delete;

  bool mounted() const {
    return mounted_;
  }
  const char* why_not() const {
    return std::strerror(error_);
  }
  // The board as its firmware reports it from now on, each value with its line end.
  void report(const std::string& serial, const std::string& board_serial,
              const std::string& uuid) const {
    write_file("/sys/class/dmi/id/product_serial", serial + "\n");
    write_file("/sys/class/dmi/id/board_serial", board_serial + "\n");
    write_file("/sys/class/dmi/id/product_uuid", uuid + "\n");
  }

private:
  bool mounted_ = false;
  int error_ = 0;
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

// The state folder and every folder above it: no other user may be able to move the journal
// aside or put one of their own in its place.
TEST_F(Journal, StateFolderIsRootsAloneOrTheRunEndsBeforeTheChipIsRead) {
  ASSERT_EQ(board_.run({"-w"}, "", [] { ::umask(0); }).exit_status, 0);
  struct stat status;
  ASSERT_EQ(::lstat(STATE_FOLDER, &status), 0);
  EXPECT_EQ(status.st_mode, S_IFDIR | 0700);
  ASSERT_EQ(::rmdir(STATE_FOLDER), 0) << "left empty by the write";
  const std::string chip = read_file(emulated_board::CHIP);

  const std::string above = folder_of(STATE_FOLDER);
  const std::string refusal = std::string("Refusing the state folder ") + STATE_FOLDER + ": ";
  const struct {
    const char* name;
    std::function<bool()> make_unsafe; // false: cannot be made here
    std::function<void()> make_safe;
    std::string reason;
  } cases[] = {
      {"a link to a folder of root's",
       [] {
         return ::mkdir("/tmp/board/elsewhere", 0700) == 0 &&
                ::symlink("/tmp/board/elsewhere", STATE_FOLDER) == 0;
       },
       [] { ::unlink(STATE_FOLDER); }, "it is a symbolic link"},
      {"the folder above writable by all, without the sticky bit",
       [&] { return ::chmod(above.c_str(), 0777) == 0; }, [&] { ::chmod(above.c_str(), 0755); },
       "folder " + above + " is writable by group or others"},
      {"the folder above writable by its group", [&] { return ::chmod(above.c_str(), 0775) == 0; },
       [&] { ::chmod(above.c_str(), 0755); },
       "folder " + above + " is writable by group or others"},
      {"the folder above another user's",
       [&] { return ::chown(above.c_str(), unprivileged_id(), unprivileged_id()) == 0; },
       [&] { ::chown(above.c_str(), 0, 0); },
       "folder " + above + " is owned by uid " + std::to_string(unprivileged_id())},
  };
  std::string not_tried;
  for (const auto& c : cases) {
    if (!c.make_unsafe()) {
      not_tried += std::string(not_tried.empty() ? "" : "; ") + c.name;
      c.make_safe();
      continue;
    }
    ::unlink("/tmp/board/calls");
    for (const char* mode : {"-r", "-w"}) {
      const child_result result = board_.run({mode});
      EXPECT_EQ(result.exit_status, 255) << c.name << " " << mode;
      EXPECT_EQ(result.err, refusal + c.reason + "\n") << c.name << " " << mode;
    }
    EXPECT_TRUE(board_.calls().empty()) << c.name;
    c.make_safe();
  }
  EXPECT_EQ(read_file(emulated_board::CHIP), chip);
  if (!not_tried.empty()) {
    GTEST_SKIP() << "not tried, no second user here: " << not_tried;
  }
}

// A journal carried to another board (boards are set up from one cloned system disk) is never
// written to that board's chip: where neither board can be identified (no SMBIOS tables here),
// its region cannot be proven to come from the journal.
TEST_F(Journal, AJournalOfAnotherBoardIsNeverWrittenToTheChip) {
  ASSERT_EQ(board_
                .run({"-w", "--system-serial-number=MASTER-2"},
                     "flashrom-write:partial-exit:3 flashrom-restore:exit:4")
                .exit_status,
            3);
  ASSERT_EQ(journal_files(), 2);
  const dmi_record clone =
      make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}, {FIELD_SYSTEM_SERIAL_NUMBER, "CLONE-7"}});
  board_.make_chip(&clone);
  const std::string clone_chip = read_file(emulated_board::CHIP);
  const std::string theirs =
      "the journal of an earlier flash write may belong to another board: the board could not be "
      "identified, and its blocks at 0xff0000 hold neither their content before that write nor the "
      "content meant for them; run vek_smbios_util --discard-journal to drop it\n";

  const child_result write = board_.run({"-w", "--system-sku=S"});
  EXPECT_EQ(write.exit_status, 255);
  EXPECT_EQ(write.err, "Refusing to write the flash: " + theirs);
  const child_result restore = board_.run({"--restore"});
  EXPECT_EQ(restore.exit_status, 255);
  EXPECT_EQ(restore.err, "Refusing to restore: " + theirs);
  const child_result read = board_.run({"-r"});
  EXPECT_EQ(read.exit_status, 0);
  EXPECT_EQ(read.err, "Warning: " + theirs);
  EXPECT_NE(read.out.find("'CLONE-7'"), std::string::npos) << read.out;
  EXPECT_EQ(read_file(emulated_board::CHIP), clone_chip);
  EXPECT_EQ(journal_files(), 2);

  const child_result discard = board_.run({"--discard-journal"});
  EXPECT_EQ(discard.exit_status, 0) << discard.err;
  EXPECT_TRUE(discard.out.starts_with("Discarded the journal of an earlier flash write: " +
                                      journal_path(REGION_BEFORE_FILE) + " (1024 blocks, written "))
      << discard.out;
  EXPECT_EQ(journal_files(), 0);
  EXPECT_EQ(board_.run({"-w", "--system-sku=S"}).exit_status, 0);
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP),
            stored_merge(clone, make_record({{FIELD_SYSTEM_SKU, "S"}})));
}

// A damaged journal (a FIFO where the region meant for the chip belongs) holds up no run: -r
// warns, -w and --restore refuse naming the way out, --discard-journal drops it.
TEST_F(Journal, ADamagedJournalHoldsUpNoRunAndIsDiscardedOnRequest) {
  ASSERT_EQ(
      board_
          .run({"-w", "--system-sku=lost"}, "flashrom-write:partial-exit:3 flashrom-restore:exit:4")
          .exit_status,
      3);
  const std::string meant = journal_path(REGION_MEANT_FILE);
  ASSERT_EQ(::unlink(meant.c_str()), 0);
  ASSERT_EQ(::mkfifo(meant.c_str(), 0600), 0);
  const std::string damaged = "the journal of an earlier flash write is damaged: " + meant +
                              ": it is not a regular file; run vek_smbios_util --discard-journal "
                              "to drop it\n";
  const child_result read = board_.run({"-r"});
  EXPECT_EQ(read.exit_status, 0);
  EXPECT_EQ(read.err, "Warning: " + damaged);
  const child_result write = board_.run({"-w", "--system-sku=again"});
  EXPECT_EQ(write.exit_status, 255);
  EXPECT_EQ(write.err, "Refusing to write the flash: " + damaged);
  const child_result restore = board_.run({"--restore"});
  EXPECT_EQ(restore.exit_status, 255);
  EXPECT_EQ(restore.err, "Refusing to restore: " + damaged);

  const child_result discard = board_.run({"--discard-journal", "-l", "/tmp/board/discard.log"});
  EXPECT_EQ(discard.exit_status, 0) << discard.err;
  EXPECT_TRUE(discard.out.ends_with(", " + meant + " (damaged: it is not a regular file)\n"))
      << discard.out;
  EXPECT_EQ(journal_files(), 0);
  const child_result again = board_.run({"--discard-journal"});
  EXPECT_EQ(again.exit_status, 255);
  EXPECT_EQ(again.err, std::string("Nothing to discard: there is no journal of a flash write in ") +
                           STATE_FOLDER + "\n");
}

// The calls an strace -f -y `trace` shows on the state folder and the journal's files, in order:
// "header FILE" (its first bytes written), "fsync FILE" or "fsync folder", "rename FILE" (the name
// renamed) and "unlink FILE" (a journal file's name, not a .partial one's).
std::vector<std::string> journal_calls(const char* trace) {
  std::vector<std::string> events;
  for (const traced_call& traced : traced_calls(trace, STATE_FOLDER)) {
    // A rename or removal names the file after the folder's descriptor; the others' descriptor
    // is the file's.
    const std::string& call = traced.call;
    const bool named = call.starts_with("rename") || call.starts_with("unlink");
    const std::string& file = named ? traced.name : traced.file;
    if (call == "fsync") {
      events.push_back("fsync " + (file.empty() ? "folder" : file));
    } else if (call.starts_with("rename")) {
      events.push_back("rename " + file);
    } else if (call.starts_with("unlink") && !file.ends_with(".partial")) {
      events.push_back("unlink " + file);
    } else if (call == "pwrite64" && traced.last == "0") {
      events.push_back("header " + file);
    }
  }
  return events;
}

// The journal records the identity the kernel reports when it is begun, and it is read again
// before the region is written back: the disk cloned to another board carries the journal along,
// and that board's chip is never written from it.
TEST_F(Journal, IsWrittenBackOnlyOnTheBoardWhoseIdentityTheKernelReported) {
  const dmi_identity dmi;
  if (!dmi.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs over /sys/class here: " << dmi.why_not();
  }
  dmi.report("SN-2024-0040", "BB-0040", "4c4c4544-0042-3510-8052-b4c04f333232");
  ASSERT_EQ(board_
                .run({"-w", "--system-serial-number=SN-2024-0050"},
                     "flashrom-write:partial-exit:3 flashrom-restore:exit:4")
                .exit_status,
            3);
  const std::string cut = read_file(emulated_board::CHIP);
  ASSERT_NE(cut, chip_before_);

  dmi.report("SN-2024-0041", "BB-0041", "9b3c6f2e-1d4a-4f8b-a7c2-0e5d9f1b3a44");
  const std::string theirs =
      std::string(" journal in ") + STATE_FOLDER +
      " was made on another board (serial SN-2024-0040, this board: SN-2024-0041); nothing is "
      "written; run vek_smbios_util --discard-journal to drop it, or, when it is this board's own "
      "journal (its record was half written before it rebooted), vek_smbios_util --restore "
      "--same-board to put it back\n";
  const child_result write = board_.run({"-w", "--system-sku=S"});
  EXPECT_EQ(write.exit_status, 255);
  EXPECT_EQ(write.err, "Refusing to write the flash: the" + theirs);
  const child_result restore = board_.run({"--restore"});
  EXPECT_EQ(restore.exit_status, 255);
  EXPECT_EQ(restore.err, "The" + theirs);
  EXPECT_EQ(read_file(emulated_board::CHIP), cut);

  dmi.report("SN-2024-0040", "BB-0040", "4c4c4544-0042-3510-8052-b4c04f333232");
  const child_result own = board_.run({"--restore"});
  EXPECT_EQ(own.exit_status, 0) << own.err;
  EXPECT_EQ(read_file(emulated_board::CHIP), chip_before_);
  EXPECT_EQ(journal_files(), 0);
}

// The protocol's order as the system sees it: each journal file's header written and the file
// flushed before it is renamed into place, the folder synced after each rename and after the
// removal, and the region meant removed before the region from before.
TEST_F(Journal, FilesAreFlushedBeforeTheirRenameAndTheFolderSyncedAfter) {
  const char* const trace = "/tmp/board/trace";
  child_result traced;
  const std::string why_not =
      run_traced(trace, "fsync,pwrite64,rename,renameat,renameat2,unlink,unlinkat",
                 {"-w", "--system-sku=traced"}, traced);
  if (!why_not.empty()) {
    GTEST_SKIP() << why_not;
  }
  ASSERT_EQ(traced.exit_status, 0) << traced.err;
  const std::vector<std::string> events = journal_calls(trace);
  const std::vector<std::string> protocol = {"header region_before.bin.partial",
                                             "fsync region_before.bin.partial",
                                             "rename region_before.bin.partial",
                                             "fsync folder",
                                             "header region_meant.bin.partial",
                                             "fsync region_meant.bin.partial",
                                             "rename region_meant.bin.partial",
                                             "fsync folder",
                                             "unlink region_meant.bin",
                                             "unlink region_before.bin",
                                             "fsync folder"};
  EXPECT_EQ(events, protocol) << read_file(trace);
}

} // namespace
