// Tests of the port writes against the recording fake, and of the built program on this machine.
#include "ioport_clear/port_io_fake.h"
#include "ioport_clear/port_write.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string failure_stderr(int error) {
  return std::string(std::strerror(error)) + "\nError opening /dev/io\n";
}

// A death test's calls are recorded in the child, so the child prints them as it exits.
void print_calls_at_exit() {
  std::atexit([] { std::fprintf(stderr, "calls: %s\n", fake_port_io_calls().c_str()); });
}

struct program_run {
  int status;
  std::string out;
  std::string err;
};

std::string read_all(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return text;
}

program_run run_built_program(std::vector<std::string> args) {
  std::vector<char*> argv{const_cast<char*>(IOPORT_CLEAR_PATH)};
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  int out[2];
  int err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  program_run run{-1, read_all(out[0]), read_all(err[0])};
  waitpid(pid, &run.status, 0);
  return run;
}

} // namespace

TEST(ClearPortsTest, WritesZeroToBothPortsEachUnderItsOwnOpen) {
  fake_port_io_reset();
  clear_ports();
  EXPECT_EQ(fake_port_io_calls(), "open out 0x588=0 close open out 0x584=0 close");
}

TEST(ClearPortsDeathTest, FailedFirstOpenWritesNoPort) {
  EXPECT_EXIT(
      {
        fake_port_io_reset(1, ENOENT);
        print_calls_at_exit();
        clear_ports();
      },
      testing::ExitedWithCode(1), "^" + failure_stderr(ENOENT) + "calls: open\n$");
}

TEST(ClearPortsDeathTest, FailedSecondOpenComesAfterTheFirstWrite) {
  EXPECT_EXIT(
      {
        fake_port_io_reset(2, EACCES);
        print_calls_at_exit();
        clear_ports();
      },
      testing::ExitedWithCode(1),
      "^" + failure_stderr(EACCES) + "calls: open out 0x588=0 close open\n$");
}

TEST(BuiltProgramTest, WithoutIoDeviceFailsOnTheFirstOpenWhateverTheArguments) {
  if (access("/dev/io", F_OK) == 0) {
    GTEST_SKIP() << "/dev/io exists here, so the program would write to real ports";
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--help", "0x588"}}) {
    SCOPED_TRACE(testing::Message() << args.size() << " arguments");
    const program_run run = run_built_program(args);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, failure_stderr(ENOENT));
  }
}
