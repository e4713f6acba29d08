// What keeps a run whole on a shared board, end to end: one run at a time, a flash write that
// signals cannot cut short, a search path without the current folder, and bounded inputs (-u
// and -c) refused before the chip is read.
#include "flash_target/journal.h"
#include "system/flash_files.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

const char* const NEW_IMAGE = "/tmp/board/new.rom";
const char* const TOOL_PID = "/tmp/board/tool.pid";
const char* const LOCK = "/var/run/vek_smbios_util.lock";
const std::string LOCK_HELD = "Another run of vek_smbios_util holds /var/run/vek_smbios_util.lock";
const std::string RESTORED =
    "The coreboot region of the flash was restored to its content before the run\n";

// Waits, for at most `limit`, until `condition` holds; says whether it did.
bool wait_until(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class RunGuard : public testing::Test {
public:
  void SetUp() override {
    old_record_ = make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}});
    board_.make_chip(&old_record_);
    const dmi_record factory = make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}});
    make_coreboot_image(NEW_IMAGE, &factory, 'N');
    chip_before_ = read_file(emulated_board::CHIP);
  }

  std::string chip_record() const {
    return image_record_bytes(emulated_board::CHIP);
  }
  std::string stored_sku(const std::string& sku) const {
    return stored_merge(old_record_, make_record({{FIELD_SYSTEM_SKU, sku}}));
  }

  emulated_board board_;
  dmi_record old_record_;
  std::string chip_before_;
};

// Starts `first` and a write together, five times: one of them stores its values, the other
// ends at once with 255 having written nothing, not even its log.
void race_against_a_write(RunGuard& test, const std::vector<std::string>& first) {
  for (int round = 0; round < 5; ++round) {
    write_file(emulated_board::CHIP, test.chip_before_);
    ::unlink("/tmp/board/go");
    const auto start_together = [] {
      wait_until([] { return file_exists("/tmp/board/go"); }, 10s);
    };
    child_result results[2];
    std::thread one([&] {
      std::vector<std::string> arguments = first;
      arguments.insert(arguments.end(), {"--system-sku=first", "-l", "/tmp/board/first.log"});
      results[0] = test.board_.run(arguments, "", start_together);
    });
    std::thread two([&] {
      results[1] = test.board_.run({"-w", "--system-sku=second", "-l", "/tmp/board/second.log"}, "",
                                   start_together);
    });
    std::this_thread::sleep_for(20ms);
    write_file("/tmp/board/go", "");
    one.join();
    two.join();

    const int winner = results[0].exit_status == 0 ? 0 : 1;
    const child_result& lost = results[1 - winner];
    ASSERT_EQ(results[winner].exit_status, 0) << round << results[winner].err;
    EXPECT_EQ(lost.exit_status, 255) << round;
    EXPECT_EQ(lost.err.rfind(LOCK_HELD, 0), 0u) << lost.err;
    EXPECT_EQ(std::count(lost.err.begin(), lost.err.end(), '\n'), 1) << lost.err;
    EXPECT_EQ(lost.out, "");
    EXPECT_FALSE(file_exists(winner == 0 ? "/tmp/board/second.log" : "/tmp/board/first.log"));
    EXPECT_EQ(test.chip_record(), test.stored_sku(winner == 0 ? "first" : "second")) << round;
    ::unlink("/tmp/board/first.log");
    ::unlink("/tmp/board/second.log");
  }
}

TEST_F(RunGuard, OfTwoWritesStartedTogetherOneStoresAndTheOtherWritesNothing) {
  race_against_a_write(*this, {"-w"});
}

TEST_F(RunGuard, OfAnUpdateAndAWriteStartedTogetherOneStoresAndTheOtherWritesNothing) {
  race_against_a_write(*this, {"-u", NEW_IMAGE});
}

// The lock passes to flashrom: a run killed during its flash write keeps the next one off the
// chip until that write is done.
TEST_F(RunGuard, KilledRunKeepsTheLockUntilItsFlashWriteEnds) {
  const held_step write(board_, "flashrom-write");
  background_child killer([&write] {
    if (write.started()) {
      ::kill(std::stoi(read_file(TOOL_PID)), SIGKILL);
    }
  });
  const child_result killed = board_.run({"-w", "--system-sku=killed"}, "",
                                         [] { write_file(TOOL_PID, std::to_string(::getpid())); });
  EXPECT_EQ(killed.exit_status, -1);

  const child_result second = board_.run({"-r"});
  EXPECT_EQ(second.exit_status, 255);
  EXPECT_EQ(second.err.rfind(LOCK_HELD, 0), 0u) << second.err;

  ASSERT_TRUE(write.release());
  const int lock = ::open(LOCK, O_RDONLY);
  ASSERT_TRUE(wait_until([lock] { return ::flock(lock, LOCK_EX | LOCK_NB) == 0; }));
  ::close(lock);
  EXPECT_EQ(chip_record(), stored_sku("killed")) << "the write ran to its end";
}

// The process id in the lock file tells the operator whom to wait for: a run still going, or,
// when that process has ended, the programs it started, which hold the lock until they end.
TEST_F(RunGuard, LockOfARunThatHasEndedIsSaidToBeHeldByTheProgramsItStarted) {
  const pid_t ended = ::fork();
  if (ended == 0) {
    ::_exit(0);
  }
  ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
  const std::pair<pid_t, std::string> cases[] = {
      {ended, ": its process " + std::to_string(ended) +
                  " has ended, but a program it started (flashrom, cbfstool or cp) is still "
                  "running; wait for it to end\n"},
      {::getpid(), " (process " + std::to_string(::getpid()) + ")\n"},
  };
  for (const auto& [writer, words] : cases) {
    ::unlink(LOCK);
    write_file(LOCK, std::to_string(writer) + "\n");
    const int lock = ::open(LOCK, O_RDWR);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    child_result result;
    {
      // The child shares the locked file as flashrom does, and holds it once we let go.
      const background_child holder([] { ::pause(); });
      ::close(lock);
      result = board_.run({"-r"});
    }
    EXPECT_EQ(result.exit_status, 255) << words;
    EXPECT_EQ(result.err, LOCK_HELD + words);
    EXPECT_TRUE(board_.calls().empty()) << words;
  }
}

struct signal_case {
  const char* name;
  bool to_group; // to the tool's process group, as a terminal sends them; else to the tool
  std::vector<int> signals;
};

TEST_F(RunGuard, SignalsDuringTheFlashWriteNeitherStopItNorHideItsStatus) {
  const signal_case cases[] = {
      {"kill", false, {SIGTERM}},
      {"terminal", true, {SIGINT, SIGQUIT, SIGHUP}},
      {"broken pipe", false, {SIGPIPE}},
  };
  const held_step write(board_, "flashrom-write");
  for (const signal_case& c : cases) {
    write_file(emulated_board::CHIP, chip_before_);
    ::unlink("/tmp/board/calls");
    // An ignored signal is dropped when it is sent, so all are sent while flashrom is held.
    background_child sender([&c, &write] {
      if (!write.started()) {
        return;
      }
      const pid_t tool = std::stoi(read_file(TOOL_PID));
      for (const int signal : c.signals) {
        ::kill(c.to_group ? -tool : tool, signal);
      }
      write.release();
    });
    const child_result result = board_.run({"-w", "--system-sku=whole"}, "", [] {
      ::setpgid(0, 0);
      write_file(TOOL_PID, std::to_string(::getpid()));
    });
    EXPECT_EQ(result.exit_status, 0) << c.name << result.err;
    EXPECT_TRUE(result.out.ends_with(
        "Verifying flash... VERIFIED.\nsystem() exit with return_code=0, child exit status=0\n"))
        << c.name << result.out;
    EXPECT_EQ(chip_record(), stored_sku("whole")) << c.name;
  }
}

TEST_F(RunGuard, FailedFlashWriteIsUndoneFromTheJournalWithItsStatus) {
  for (const auto& [fault, status] : {std::pair{"flashrom-write:exit:3", 3},
                                      {"flashrom-write:signal", 255},
                                      {"flashrom-write:partial-exit:3", 3},
                                      {"flashrom-write:partial-signal", 255}}) {
    const child_result result = board_.run({"-w", "--system-sku=lost"}, fault);
    EXPECT_EQ(result.exit_status, status) << fault;
    EXPECT_EQ(result.err, RESTORED) << fault;
    EXPECT_EQ(board_.calls().back(),
              "flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i coreboot -w " +
                  journal_path(REGION_BEFORE_FILE))
        << fault;
    EXPECT_EQ(read_file(emulated_board::CHIP), chip_before_) << fault;
  }
}

TEST_F(RunGuard, ProgramsAreNeverLookedForInTheCurrentFolder) {
  // The tool runs in /tmp/board, where another user left a cbfstool of their own, and in a
  // folder under it.
  ASSERT_EQ(::mkdir("/tmp/board/sub", 0755), 0);
  for (const char* planted : {"/tmp/board/cbfstool", "/tmp/board/sub/cbfstool"}) {
    write_file(planted, "#!/bin/sh\ntouch /tmp/board/planted_ran\n");
    ASSERT_EQ(::chmod(planted, 0755), 0);
  }
  for (const std::string path : {".:/tmp/board/bin", ":/tmp/board/bin", "sub:/tmp/board/bin"}) {
    board_.set_environment("PATH", path);
    const child_result result = board_.run({"-w", "--system-sku=path"});
    EXPECT_EQ(result.exit_status, 0) << path << result.err;
    EXPECT_FALSE(file_exists("/tmp/board/planted_ran")) << path;
    EXPECT_EQ(chip_record(), stored_sku("path")) << path;
  }
}

TEST_F(RunGuard, NewImageMustBeARegularFileOfSixteenMebibytes) {
  write_file("/tmp/board/big.rom", "");
  ASSERT_EQ(::truncate("/tmp/board/big.rom", FLASH_IMAGE_SIZE + 1), 0);
  const std::pair<std::string, std::string> refused[] = {
      {"/tmp/board/none.rom",
       "Refusing new image /tmp/board/none.rom: No such file or directory\n"},
      {"/tmp/board/big.rom",
       "Refusing new image /tmp/board/big.rom: 16777217 bytes, not 16777216\n"},
      {"/dev/zero", "Refusing new image /dev/zero: not a regular file\n"},
      {"--version", "Refusing new image --version: No such file or directory\n"},
  };
  for (const auto& [image, message] : refused) {
    const child_result result = board_.run({"-u", image});
    EXPECT_EQ(result.exit_status, 255) << image;
    EXPECT_EQ(result.err, message);
    EXPECT_TRUE(board_.calls().empty()) << image;
    EXPECT_EQ(read_file(emulated_board::CHIP), chip_before_) << image;
  }

  // A name that begins with "-" reaches cp as a path.
  ASSERT_EQ(std::rename(NEW_IMAGE, "/tmp/board/-new.rom"), 0);
  const child_result result = board_.run({"-u", "-new.rom", "--system-sku=dash"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(board_.calls().at(1), "cp ./-new.rom /tmp/flash_backup.bin");
  EXPECT_EQ(chip_record(), stored_sku("dash"));
}

TEST_F(RunGuard, ConfigurationLinesAreBoundedAndPipesStillWork) {
  const child_result endless = board_.run({"-w", "-c", "/dev/zero"});
  EXPECT_EQ(endless.exit_status, 255);
  EXPECT_EQ(endless.err, "Line 1 of the configuration file is longer than 65536 bytes\n");
  EXPECT_TRUE(board_.calls().empty());

  const child_result piped = board_.run({"-w", "-c", "/dev/stdin"}, "", [] {
    int ends[2];
    if (::pipe(ends) == 0 && ::write(ends[1], "system-sku=piped\n", 17) == 17) {
      ::dup2(ends[0], STDIN_FILENO);
      ::close(ends[1]);
    }
  });
  ASSERT_EQ(piped.exit_status, 0) << piped.err;
  EXPECT_EQ(chip_record(), stored_sku("piped"));
}

} // namespace
