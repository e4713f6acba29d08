// Tests of the command runner: status decoding, command texts, quoting and the log.
#include "system/command_runner.h"
#include "system/leftovers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

// The wait status of each command: printed, and the run ends with the program's own code, or 255
// when it ended abnormally; the failure names the program.
TEST(CommandRunner, DecodesExitCodesSignalsAndShellFailures) {
  const struct {
    int status;
    int exit_status; // -2: the runner returns
    const char* printed;
    int program_status; // the program's own, as the failure carries it; -1 for none
  } cases[] = {
      {0, -2, "system() exit with return_code=0, child exit status=0\n", 0},
      {1 << 8, 1, "system() exit with return_code=256, child exit status=1\n", 1},
      {3 << 8, 3, "system() exit with return_code=768, child exit status=3\n", 3},
      {127 << 8, 127, "system() exit with return_code=32512, child exit status=127\n", 127},
      {9, 255, "system() exit with return_code=9, child exited abnormally\n", -1},
      {-1, 255, "system() exit with return_code=-1, child exited abnormally\n", -1},
  };
  for (const auto& c : cases) {
    const child_result result = run_in_child([&] {
      shell_recorder shell({c.status});
      try {
        shell.runner().run("cbfstool x remove", command_log::unlogged);
      } catch (const run_failure& failure) {
        std::printf("%s %s %d\n",
                    failure.kind() == failure_kind::outside_program ? "outside-program" : "other",
                    failure.subject().c_str(), failure.program_status().value_or(-1));
        throw;
      }
      std::printf("returned\n");
    });
    const bool returns = c.exit_status == -2;
    EXPECT_EQ(result.exit_status, returns ? 0 : c.exit_status) << c.status;
    EXPECT_EQ(result.out,
              std::string(c.printed) +
                  (returns ? "returned\n"
                           : "outside-program cbfstool " + std::to_string(c.program_status) + "\n"))
        << c.status;
  }
}

// In a batch, a program that died by an interrupt or a quit (the shell killed by it, or ending
// with 128 plus its number) stops the run as if the signal had come to it: no further program is
// started. Any other end, or any end outside a batch, is only that program's failure.
TEST(CommandRunner, AProgramKilledByAnInterruptStopsABatch) {
  const struct {
    int status;
    bool in_batch;
    int noted;
  } cases[] = {
      {SIGINT, true, SIGINT},    {SIGQUIT, true, SIGQUIT}, {130 << 8, true, SIGINT},
      {131 << 8, true, SIGQUIT}, {SIGKILL, true, 0},       {(128 + SIGTERM) << 8, true, 0},
      {1 << 8, true, 0},         {SIGINT, false, 0},
  };
  for (const auto& c : cases) {
    const child_result result = run_in_child([&c] {
      std::optional<signal_deferral> batch;
      if (c.in_batch) {
        batch.emplace();
      }
      shell_recorder shell({c.status});
      for (const char* step : {"cbfstool a remove", "cbfstool a add"}) {
        try {
          shell.runner().run(step, command_log::unlogged);
        } catch (const run_failure&) {
        }
      }
      std::printf("noted %d, %zu run\n", noted_signal(), shell.commands().size());
    });
    EXPECT_TRUE(
        result.out.ends_with(format_text("noted %d, %d run\n", c.noted, c.noted != 0 ? 1 : 2)))
        << c.status << result.out;
  }
}

TEST(ShellQuote, LeavesOrdinaryPathsAndQuotesTheRest) {
  EXPECT_EQ(shell_quote("/tmp/flash_backup.bin"), "/tmp/flash_backup.bin");
  EXPECT_EQ(shell_quote("fw-1.2,a+b:c@d%e_f"), "fw-1.2,a+b:c@d%e_f");
  EXPECT_EQ(shell_quote("new rom"), "'new rom'");
  EXPECT_EQ(shell_quote("new.rom; reboot"), "'new.rom; reboot'");
  EXPECT_EQ(shell_quote("$(reboot)`id`"), "'$(reboot)`id`'");
  EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
  EXPECT_EQ(shell_quote("a\nb"), "'a\nb'");
  EXPECT_EQ(shell_quote(""), "''");
}

TEST(ShellQuote, QuotedPathsReachTheShellAsOneWordAndRunNothing) {
  for (const std::string path : {"a b", "it's", "$(touch /tmp/canary)", "x;touch /tmp/canary",
                                 "`touch /tmp/canary`", "'", "a\nb", "*"}) {
    const std::string command = "printf %s " + shell_quote(path) + " > /tmp/word";
    ASSERT_EQ(std::system(command.c_str()), 0) << path;
    EXPECT_EQ(read_file("/tmp/word"), path);
  }
  EXPECT_FALSE(file_exists("/tmp/canary"));
}

TEST(CommandRunner, RunsTheTextUnchangedWithoutALog) {
  shell_recorder shell;
  shell.runner().run("cbfstool /tmp/flash_backup.bin remove -n vek_smbios", command_log::logged);
  EXPECT_EQ(shell.commands(),
            std::vector<std::string>{"cbfstool /tmp/flash_backup.bin remove -n vek_smbios"});
}

// With a JSON document on standard output, an outside program's standard output goes to standard
// error: the shell's own standard output is sent there before the command runs.
TEST(CommandRunner, ProgramsTalkOnStandardErrorBesideAJsonDocument) {
  const child_result result = run_in_child([] {
    reporter out(output_form::json);
    run_log log;
    command_runner runner(out, log);
    runner.run("echo flashrom says", command_log::logged);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "flashrom says\nsystem() exit with return_code=0, child exit status=0\n");
}

// A quiet run holds a program's output back, shown only when it fails; the run's own streams are
// its own again afterwards, even for a run started with descriptors 3 to 9 and beyond all open,
// which the shell could not be handed in a redirection.
TEST(CommandRunner, QuietRunsShowAProgramsOutputOnlyWhenItFails) {
  const child_result result = run_in_child([] {
    for (int fd = 3; fd <= 12; ++fd) {
      ::dup2(STDIN_FILENO, fd);
    }
    reporter out(output_form::text, true);
    run_log log;
    command_runner runner(out, log);
    EXPECT_EQ(runner.run_status("echo all well", command_log::unlogged), 0);
    EXPECT_EQ(
        runner.run_status("echo cbfstool says; echo it failed >&2; exit 3", command_log::unlogged),
        3);
    std::printf("the run's own\n");
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "the run's own\n");
  EXPECT_EQ(result.err, "cbfstool says\nit failed\n");
}

TEST(CommandRunner, LoggedCommandsAppendTheirOutputToTheLogAfterOurLines) {
  // The shell stands in for flashrom, appending to the log behind the tool's back.
  shell_recorder shell({}, [](const std::string&) {
    const int fd = ::open("/tmp/run.log", O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "command output\n", 15), 15);
    ::close(fd);
  });
  shell.open_log("/tmp/run.log");
  shell.log().write("pending line\n");
  shell.runner().run("flashrom -r x", command_log::logged);
  shell.runner().run("cbfstool y", command_log::unlogged);
  shell.log().write("later line\n");
  shell.log().flush();

  EXPECT_EQ(shell.commands(),
            (std::vector<std::string>{"flashrom -r x 2>&1 >> /tmp/run.log", "cbfstool y"}));
  EXPECT_EQ(read_file("/tmp/run.log"), "pending line\n"
                                       "flashrom -r x 2>&1 >> /tmp/run.log\n"
                                       "command output\n"
                                       "command output\n"
                                       "later line\n");
}

TEST(CommandRunner, LogPathIsQuotedInTheRedirection) {
  shell_recorder shell;
  shell.open_log("/tmp/my log");
  shell.runner().run("flashrom -r x", command_log::logged);
  shell.log().flush();
  EXPECT_EQ(shell.commands(), std::vector<std::string>{"flashrom -r x 2>&1 >> '/tmp/my log'"});
  EXPECT_EQ(read_file("/tmp/my log"), "flashrom -r x 2>&1 >> '/tmp/my log'\n");
}

TEST(CommandRunner, OpenLogTruncatesAnOldLog) {
  write_file("/tmp/run.log", "an earlier run\n");
  const run_log log("/tmp/run.log");
  EXPECT_EQ(read_file("/tmp/run.log"), "");
}

TEST(CommandRunner, UnopenableLogEndsTheRun) {
  const child_result result = run_in_child([] { run_log log("/tmp/missing/run.log"); });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            "Unable to open log file /tmp/missing/run.log: No such file or directory\n");
}

TEST(CommandRunner, CommandTooLongForItsBufferIsNeitherRunNorLogged) {
  // 4095 characters fit; the redirection to the log pushes the text past them.
  const std::string text(4095 - 12, 'x');
  const child_result fits = run_in_child([&] {
    shell_recorder shell;
    command_buffer command;
    format_command(command, "%s %s", "flashrom -r", text.c_str());
    std::printf("%zu\n", std::strlen(command));
  });
  EXPECT_EQ(fits.exit_status, 0);
  EXPECT_EQ(fits.out, "4095\n");

  const child_result too_long = run_in_child([&] {
    shell_recorder shell({}, [](const std::string&) { write_file("/tmp/ran", "yes"); });
    shell.open_log("/tmp/run.log");
    shell.runner().run(("flashrom " + text).c_str(), command_log::logged);
  });
  EXPECT_EQ(too_long.exit_status, 255);
  EXPECT_EQ(too_long.err, "Command text longer than 4095 characters, not run\n");
  EXPECT_FALSE(file_exists("/tmp/ran"));
  EXPECT_EQ(read_file("/tmp/run.log"), "");
}

} // namespace
