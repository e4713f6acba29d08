// What keeps a batch of the built vek_smbios_util safe and bounded, end to end: signals stop it
// between rows and end it by the signal, a full disk stops it at once, what a killed run left is
// cleared by the next, its table follows the trusted-path rule, and a refused table's list is
// bounded.
#include "tests/build_paths.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const std::string MASTER = "/tmp/board/master.rom";
const std::string TABLE = "/tmp/board/table.csv";
const std::string OUT = "/tmp/board/out";
const std::string TOOL_PID = "/tmp/board/tool.pid";

class BatchSafety : public testing::Test {
protected:
  void SetUp() override {
    make_batch_board(board_, make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}}), MASTER, OUT);
  }

  // A table of `rows` rows: board-N.rom with serial SN-N, from `first` on.
  static void write_table(int rows, int first = 1) {
    std::string table = "output,system-serial-number\n";
    for (int row = first; row < first + rows; ++row) {
      table += "board-" + std::to_string(row) + ".rom,SN-" + std::to_string(row) + "\n";
    }
    write_file(TABLE, table);
  }

  // The tool's own names left anywhere a batch works.
  static std::vector<std::string> working_files_left() {
    std::vector<std::string> left;
    for (const std::string& folder : {OUT, std::string("/tmp")}) {
      for (const std::string& name : folder_entries(folder)) {
        if (name.find("vek_smbios_util.") != std::string::npos) {
          left.push_back(folder + "/" + name);
        }
      }
    }
    return left;
  }

  // Runs a batch in a process group of its own, noting its process id for the test.
  child_result run_batch(const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments = {"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return board_.run(arguments, "", [] {
      ::setpgid(0, 0);
      write_file(TOOL_PID, std::to_string(::getpid()));
    });
  }

  emulated_board board_;
};

// SIGINT or SIGTERM to the tool alone, or SIGINT to its process group (cbfstool dies by it),
// while the second row's cbfstool runs: that row is abandoned with its working files, no further
// row is begun, the summary and the document say so, and the run ends by the signal.
TEST_F(BatchSafety, ASignalStopsTheBatchBetweenStepsAndEndsItBySignal) {
  const struct {
    const char* name;
    int signal;
    bool to_group;
  } cases[] = {
      {"interrupt to the tool", SIGINT, false},
      {"termination to the tool", SIGTERM, false},
      {"interrupt to the group", SIGINT, true},
  };
  for (const auto& c : cases) {
    std::system(("PATH=/usr/bin:/bin; rm -rf " + OUT + "/*").c_str());
    write_table(4);
    held_step hold(board_, "cbfstool-add");
    background_child sender([&c, &hold] {
      if (!hold.started() || !hold.release() || !hold.started()) {
        return; // the first row's add goes on; the second's is held
      }
      const pid_t tool = std::stoi(read_file(TOOL_PID));
      ::kill(c.to_group ? -tool : tool, c.signal);
      if (!c.to_group) {
        hold.release();
      }
    });
    const child_result result = run_batch({"--json"});
    EXPECT_EQ(result.signal, c.signal) << c.name << result.err;
    EXPECT_NE(result.err.find("Batch table " + TABLE + " interrupted by " +
                              (c.signal == SIGINT ? "SIGINT" : "SIGTERM") +
                              ": 1 images made, 0 failed, 3 not made\n"),
              std::string::npos)
        << c.name << result.err;
    EXPECT_EQ(
        jq("[.made, .failed, .not_made, .interrupted_by, (.images | length)] | @json", result.out),
        std::string("[1,0,3,\"") + (c.signal == SIGINT ? "SIGINT" : "SIGTERM") + "\",1]")
        << c.name;
    EXPECT_EQ(folder_entries(OUT), (std::vector<std::string>{"board-1.rom", "manifest.jsonl"}))
        << c.name;
    EXPECT_EQ(working_files_left(), std::vector<std::string>{}) << c.name;
  }
}

// A failure that every further row would meet stops the batch at the first row that meets it,
// naming that row's own output, and the summary says how many images were made: a cbfstool the
// shell cannot find, and no room left in the output folder.
TEST_F(BatchSafety, AFailureEveryRowWouldMeetStopsTheBatch) {
  write_table(3);
  board_.remove_program("cbfstool");
  const child_result missing = run_batch();
  EXPECT_EQ(missing.exit_status, 255);
  EXPECT_TRUE(missing.err.ends_with("line 2, board-1.rom: cbfstool ended with status 127\n"
                                    "No further image can be made: cbfstool cannot be run\n"))
      << missing.err;
  EXPECT_TRUE(missing.out.ends_with(": 0 images made, 1 failed, 2 not made\n")) << missing.out;
  ::unlink("/tmp/board/bin/cbfstool");
  ASSERT_EQ(::symlink(VEK_FAKE_TOOLS_DIR "/cbfstool", "/tmp/board/bin/cbfstool"), 0);

  if (::mount("vek_test_full", OUT.c_str(), "tmpfs", 0, "size=40m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  write_table(6);
  const child_result result = run_batch();
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err, "line 4, board-3.rom: Unable to make " + OUT +
                            "/board-3.rom: No space left on device\n"
                            "No further image can be made: " +
                            OUT + "/board-3.rom: No space left on device\n");
  EXPECT_TRUE(
      result.out.ends_with("Batch table " + TABLE + ": 2 images made, 1 failed, 3 not made\n"))
      << result.out;
  EXPECT_EQ(folder_entries(OUT),
            (std::vector<std::string>{"board-1.rom", "board-2.rom", "manifest.jsonl"}));
  EXPECT_EQ(working_files_left(), std::vector<std::string>{});
}

// A run killed outright leaves its working copy beside its output and its private folder; while
// one is still alive, a second run in the same folder leaves its files be; once none is, the next
// run removes them and says so.
TEST_F(BatchSafety, WhatAKilledRunLeftGoesWithTheNextRunThere) {
  held_step hold(board_, "cbfstool-remove");
  background_child killer([this, &hold] {
    if (!hold.started()) {
      return;
    }
    board_.set_environment("VEK_HOLD", "");
    const child_result alive =
        board_.run({"-w", "-f", MASTER, "-o", OUT + "/other.rom", "--system-serial-number=SN-9"});
    write_file("/tmp/board/alive", alive.err + std::to_string(alive.exit_status));
    ::kill(std::stoi(read_file(TOOL_PID)), SIGKILL);
  });
  // A single run stamps its working copy in place, in the output folder, with cbfstool.
  const child_result killed = board_.run(
      {"-w", "-f", MASTER, "-o", OUT + "/board-1.rom", "--system-serial-number=SN-1"}, "", [] {
        ::setpgid(0, 0);
        write_file(TOOL_PID, std::to_string(::getpid()));
      });
  EXPECT_EQ(killed.signal, SIGKILL);
  EXPECT_EQ(read_file("/tmp/board/alive"), "0") << "the live run's files stayed, unsaid";
  const std::vector<std::string> left = working_files_left();
  ASSERT_EQ(left.size(), 2u) << "a working copy and a private folder";
  // The killed run's cbfstool stays held, so it never touches the files again.
  board_.set_environment("VEK_HOLD", "");
  write_table(1, 2);
  const child_result next = run_batch();
  EXPECT_EQ(next.exit_status, 0) << next.err;
  EXPECT_EQ(next.err, "Removed " + left[0] + ", left behind by a run that was killed\nRemoved " +
                          left[1] + ", left behind by a run that was killed\n");
  EXPECT_EQ(working_files_left(), std::vector<std::string>{});
  EXPECT_EQ(folder_entries(OUT),
            (std::vector<std::string>{"board-2.rom", "manifest.jsonl", "other.rom"}));
}

// A table read through another user's link is refused by the link's owner, and nothing of the
// file it leads to shows, in the words or the document.
TEST_F(BatchSafety, ATableThroughAnotherUsersLinkIsNeverRead) {
  if (!can_drop_privileges()) {
    GTEST_SKIP() << "no second user to plant a link with";
  }
  write_file("/tmp/board/secret", "root-only-secret-line\n");
  ::chmod("/tmp/board/secret", 0600);
  ASSERT_EQ(run_in_child([] {
              drop_privileges();
              ::symlink("/tmp/board/secret", "/tmp/boards.csv");
            }).exit_status,
            0);
  const child_result result =
      board_.run({"--json", "-w", "-f", MASTER, "--batch", "/tmp/boards.csv", "-o", OUT});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(as_written_in_tests(result.err),
            "Unable to open batch table /tmp/boards.csv: symbolic link "
            "/tmp/boards.csv is owned by uid 65534\n");
  EXPECT_EQ(result.out.find("secret-line"), std::string::npos) << result.out;
}

// A table with a problem on every line lists its first 100, each bounded, then how many more.
TEST_F(BatchSafety, ARefusedTableListsItsFirstHundredProblems) {
  std::string table = "output,system-serial-number,system-uuid\n";
  for (int row = 0; row < 250; ++row) {
    table += "b" + std::to_string(row) + ".rom,," + std::string(row == 0 ? 2000 : 1, 'u') + "\n";
  }
  write_file(TABLE, table);
  const child_result result = run_batch({"--json"});
  EXPECT_EQ(result.exit_status, 255);
  std::size_t count = 0;
  std::size_t longest = 0;
  for (std::size_t at = 0, end; (end = result.err.find('\n', at)) != std::string::npos;
       at = end + 1, ++count) {
    longest = std::max(longest, end - at);
  }
  EXPECT_EQ(count, 102u) << "the first line, 100 problems, how many more";
  EXPECT_LE(longest, 520u); // "line N, column C: " and a text of at most 480 bytes
  // The row with the long cell is not taken, so its empty serial is not judged: 499 in all.
  EXPECT_TRUE(result.err.ends_with("\nand 399 more\n")) << result.err.substr(0, 400);
  EXPECT_EQ(jq("[(.problems | length), .problems_not_listed] | @json", result.out), "[100,399]");
}

} // namespace
