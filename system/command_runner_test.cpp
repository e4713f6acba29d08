// Tests of the command runner: status decoding, command texts, quoting and the log.
#include "cli/options.h"
#include "system/command_runner.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {

struct status_case {
  int status;
  int exit_status; // -2: report_status returns
  const char* printed;
};

TEST(ReportStatus, DecodesExitCodesSignalsAndShellFailures) {
  const status_case cases[] = {
      {0, -2, "system() exit with return_code=0, child exit status=0\n"},
      {1 << 8, 1, "system() exit with return_code=256, child exit status=1\n"},
      {3 << 8, 3, "system() exit with return_code=768, child exit status=3\n"},
      {127 << 8, 127, "system() exit with return_code=32512, child exit status=127\n"},
      {9, 255, "system() exit with return_code=9, child exited abnormally\n"},
      {-1, 255, "system() exit with return_code=-1, child exited abnormally\n"},
  };
  for (const status_case& c : cases) {
    const child_result result = run_in_child([&] {
      report_status(c.status);
      std::printf("returned\n");
    });
    const bool returns = c.exit_status == -2;
    EXPECT_EQ(result.exit_status, returns ? 0 : c.exit_status) << c.status;
    EXPECT_EQ(result.out, std::string(c.printed) + (returns ? "returned\n" : "")) << c.status;
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
  run_command("cbfstool /tmp/flash_backup.bin remove -n vek_smbios", command_log::logged);
  EXPECT_EQ(shell.commands(),
            std::vector<std::string>{"cbfstool /tmp/flash_backup.bin remove -n vek_smbios"});
}

TEST(CommandRunner, LoggedCommandsAppendTheirOutputToTheLogAfterOurLines) {
  open_log(std::string("/tmp/run.log"));
  std::fprintf(log_stream, "pending line\n");
  // The shell stands in for flashrom, appending to the log behind the tool's back.
  shell_recorder shell({}, [](const std::string&) {
    const int fd = ::open("/tmp/run.log", O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "command output\n", 15), 15);
    ::close(fd);
  });
  run_command("flashrom -r x", command_log::logged);
  run_command("cbfstool y", command_log::unlogged);
  std::fprintf(log_stream, "later line\n");
  std::fflush(log_stream);

  EXPECT_EQ(shell.commands(),
            (std::vector<std::string>{"flashrom -r x 2>&1 >> /tmp/run.log", "cbfstool y"}));
  EXPECT_EQ(read_file("/tmp/run.log"), "pending line\n"
                                       "flashrom -r x 2>&1 >> /tmp/run.log\n"
                                       "command output\n"
                                       "command output\n"
                                       "later line\n");
}

TEST(CommandRunner, LogPathIsQuotedInTheRedirection) {
  open_log(std::string("/tmp/my log"));
  shell_recorder shell;
  run_command("flashrom -r x", command_log::logged);
  std::fflush(log_stream);
  EXPECT_EQ(shell.commands(), std::vector<std::string>{"flashrom -r x 2>&1 >> '/tmp/my log'"});
  EXPECT_EQ(read_file("/tmp/my log"), "flashrom -r x 2>&1 >> '/tmp/my log'\n");
}

TEST(CommandRunner, OpenLogTruncatesAnOldLog) {
  write_file("/tmp/run.log", "an earlier run\n");
  open_log(std::string("/tmp/run.log"));
  EXPECT_EQ(read_file("/tmp/run.log"), "");
}

TEST(CommandRunner, UnopenableLogEndsTheRun) {
  const child_result result = run_in_child([] { open_log(std::string("/tmp/missing/run.log")); });
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
    open_log(std::string("/tmp/run.log"));
    run_command(("flashrom " + text).c_str(), command_log::logged);
  });
  EXPECT_EQ(too_long.exit_status, 255);
  EXPECT_EQ(too_long.err, "Command text longer than 4095 characters, not run\n");
  EXPECT_FALSE(file_exists("/tmp/ran"));
  EXPECT_EQ(read_file("/tmp/run.log"), "");
}

} // namespace
