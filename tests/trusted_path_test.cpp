// Root runs the built tool on paths that a second user (uid 65534) can reach or that name the
// same file twice, end to end on the emulated chip: the run ends before the chip or any named
// file is touched. Also the lock file, the standard streams and the descriptors the outside
// programs inherit.
#include "system/flash_files.h"
#include "tests/build_paths.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const LOCK = "/var/run/vek_smbios_util.lock";
const char* const NEW_IMAGE = "/tmp/board/new.rom";
const char* const CANARY = "/tmp/board/canary";

class NamedFiles : public testing::Test {
protected:
  void SetUp() override {
    const dmi_record record = make_record({});
    board_.make_chip(&record);
    chip_before_ = read_file(emulated_board::CHIP);
    make_coreboot_image(NEW_IMAGE, &record, 'N');
    write_file(CANARY, "canary\n");
  }

  // The run ended with 255 and `err` before the chip was read or any named file changed.
  void expect_refused(const std::vector<std::string>& arguments, const std::string& err,
                      const std::function<void()>& prepare = {}) const {
    const std::string canary = read_file(CANARY);
    ::unlink("/tmp/board/calls");
    const child_result result = board_.run(arguments, "", prepare);
    EXPECT_EQ(result.exit_status, 255) << err;
    EXPECT_EQ(as_written_in_tests(result.err), err);
    EXPECT_TRUE(board_.calls().empty()) << err;
    EXPECT_EQ(read_file(emulated_board::CHIP), chip_before_) << err;
    EXPECT_EQ(read_file(CANARY), canary) << err;
  }

  emulated_board board_;
  std::string chip_before_;
};

TEST_F(NamedFiles, NothingInAFolderOfAnotherUserIsTaken) {
  if (!can_drop_privileges()) {
    GTEST_SKIP() << "no second user to own the folder";
  }
  make_image_folder(); // the other user's
  const std::string image = std::string(IMAGE_DIR) + "/a.rom";
  make_coreboot_image(image, nullptr, 'I');
  const std::string before = read_file(image);
  const std::vector<std::string> entries = folder_entries(IMAGE_DIR);
  const std::string theirs =
      "Unable to open image file " + image + ": folder " + IMAGE_DIR + " is owned by uid 65534\n";
  expect_refused({"-w", "-f", image}, theirs);
  expect_refused({"-r", "-f", image}, theirs);
  expect_refused({"-w", "-l", std::string(IMAGE_DIR) + "/run.log"},
                 "Unable to open log file " + std::string(IMAGE_DIR) +
                     "/run.log: folder /tmp/board/images is owned by uid 65534\n");
  ASSERT_EQ(::chown(NEW_IMAGE, unprivileged_id(), unprivileged_id()), 0);
  expect_refused({"-u", NEW_IMAGE},
                 "Refusing new image /tmp/board/new.rom: file /tmp/board/new.rom is owned by uid "
                 "65534\n");
  // A configuration file another user could fill: in their folder, through their link in the
  // sticky /tmp (to a file only root may read), or their FIFO there.
  const std::string conf = std::string(IMAGE_DIR) + "/board.conf";
  write_file(conf, "system-sku=theirs\n");
  expect_refused({"-w", "-c", conf}, "Unable to open config file " + conf + ": folder " +
                                         IMAGE_DIR + " is owned by uid 65534\n");
  write_file("/tmp/board/secret", "root only\n");
  ASSERT_EQ(::symlink("/tmp/board/secret", "/tmp/their.conf"), 0);
  ASSERT_EQ(::lchown("/tmp/their.conf", unprivileged_id(), unprivileged_id()), 0);
  expect_refused({"-w", "-c", "/tmp/their.conf"},
                 "Unable to open config file /tmp/their.conf: symbolic link /tmp/their.conf is "
                 "owned by uid 65534\n");
  ASSERT_EQ(::mkfifo("/tmp/their.fifo", 0600), 0);
  ASSERT_EQ(::chown("/tmp/their.fifo", unprivileged_id(), unprivileged_id()), 0);
  expect_refused({"-w", "-c", "/tmp/their.fifo"},
                 "Unable to open config file /tmp/their.fifo: it is owned by uid 65534\n");
  EXPECT_EQ(read_file(image), before);
  ::unlink(conf.c_str());
  EXPECT_EQ(folder_entries(IMAGE_DIR), entries);
}

TEST_F(NamedFiles, AnOutputThatIsAnInputIsRefusedWhateverItsPath) {
  make_coreboot_image("/tmp/board/a.rom", nullptr, 'I');
  write_file("/tmp/board/board.conf", "system-sku=S\n");
  write_file("/tmp/board/run.log", "old log\n");
  ASSERT_EQ(::symlink("/tmp/board/a.rom", "/tmp/board/link.rom"), 0);
  const std::string image = read_file("/tmp/board/a.rom");
  const std::string new_image = read_file(NEW_IMAGE);
  // The input first, the output last.
  const std::vector<std::string> refused[] = {
      {"-f", "a.rom", "-r", "-b", "/tmp/board/a.rom"},
      {"-f", "/tmp/board/a.rom", "-n", "-w", "-l", "link.rom"},
      {"-u", NEW_IMAGE, "-b", "../board/new.rom"},
      {"-u", NEW_IMAGE, "-l", NEW_IMAGE},
      {"-c", "board.conf", "-w", "-b", "./board.conf"},
      {"-c", "board.conf", "-w", "-l", "board.conf"},
      {"-b", "run.log", "-w", "-l", "/tmp/board/run.log"},
  };
  for (const std::vector<std::string>& arguments : refused) {
    const std::size_t output = arguments.size() - 2;
    expect_refused(arguments, "Refusing " + arguments[output] + " " + arguments[output + 1] +
                                  ": it is the same file as " + arguments[0] + " " + arguments[1] +
                                  "\n");
  }
  EXPECT_EQ(read_file("/tmp/board/a.rom"), image);
  EXPECT_EQ(read_file(NEW_IMAGE), new_image);
  EXPECT_EQ(read_file("/tmp/board/board.conf"), "system-sku=S\n");
  EXPECT_EQ(read_file("/tmp/board/run.log"), "old log\n");
}

TEST_F(NamedFiles, OnlyRootsOwnLockFileIsUsed) {
  struct lock_case {
    std::function<void()> plant;
    const char* reason;
  };
  write_file("/var/run/precious", "precious\n");
  const lock_case cases[] = {
      {[] { ASSERT_EQ(::link("/var/run/precious", LOCK), 0); }, "it has more than one link"},
      {[] {
         write_file(LOCK, "");
         ASSERT_EQ(::chmod(LOCK, 0666), 0);
       },
       "it is writable by group or others"},
      {[] {
         write_file(LOCK, "");
         if (::chown(LOCK, unprivileged_id(), unprivileged_id()) != 0) {
           ::unlink(LOCK); // no second user here: a plain refusal takes the case's place
           ::mkfifo(LOCK, 0644);
         }
       },
       nullptr},
  };
  for (const lock_case& c : cases) {
    ::unlink(LOCK);
    c.plant();
    struct stat status {};
    ::lstat(LOCK, &status);
    const std::string reason = c.reason != nullptr        ? c.reason
                               : S_ISFIFO(status.st_mode) ? "it is not a regular file"
                                                          : "it is owned by uid 65534";
    expect_refused({"-w", "--system-sku=x"},
                   std::string("Unable to use the lock file ") + LOCK + ": " + reason + "\n");
    ::unlink(LOCK);
  }
  EXPECT_EQ(read_file("/var/run/precious"), "precious\n");
  // The configuration file is read before the lock is taken.
  ::unlink(LOCK);
  expect_refused({"-w", "-c", "none.conf"},
                 "Unable to open config file none.conf: No such file or directory\n");
  EXPECT_FALSE(file_exists(LOCK));
}

// A run started without some of its standard streams (as cron and daemons start programs) gives
// none of their numbers to a file of its own: what it and its programs say there reaches neither
// the lock file nor the log. The last case has the shell complain on standard error.
TEST_F(NamedFiles, ClosedStandardStreamsTakeNoFilesPlace) {
  const struct {
    const char* name;
    std::vector<int> closed;
    std::vector<std::string> arguments;
    const char* missing; // a program taken off the PATH, or null
    int exit_status;
  } cases[] = {
      {"standard output", {STDOUT_FILENO}, {"-w", "--system-sku=closed"}, nullptr, 0},
      {"standard input and error",
       {STDIN_FILENO, STDERR_FILENO},
       {"-w", "--system-sku=closed"},
       nullptr,
       0},
      {"all three, and cp missing",
       {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO},
       {"-u", NEW_IMAGE},
       "cp",
       127},
  };
  for (const auto& c : cases) {
    if (c.missing != nullptr) {
      board_.remove_program(c.missing);
    }
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), {"-l", "/tmp/board/run.log"});
    const child_result result = board_.run(arguments, "", [&c] {
      for (const int fd : c.closed) {
        ::close(fd);
      }
    });
    EXPECT_EQ(result.exit_status, c.exit_status) << c.name << ": " << result.err;
    EXPECT_EQ(read_file(LOCK), std::to_string(std::stoi(read_file(LOCK))) + "\n") << c.name;
    const std::string log = read_file("/tmp/board/run.log");
    EXPECT_EQ(log.find("Programming DMI"), std::string::npos) << c.name;
    EXPECT_EQ(log.find("not found"), std::string::npos) << c.name;
  }
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP),
            stored_merge(make_record({}), make_record({{FIELD_SYSTEM_SKU, "closed"}})));
}

// The outside programs inherit the run lock and no other file of the run: cp lists what it got.
TEST_F(NamedFiles, OutsideProgramsInheritTheLockAlone) {
  if (!file_exists("/proc/self/fd")) {
    GTEST_SKIP() << "no /proc to list descriptors";
  }
  board_.remove_program("cp");
  write_file("/tmp/board/bin/cp", "#!/bin/sh\n/bin/ls -l /proc/$$/fd >/tmp/board/fds\n"
                                  "exec " VEK_FAKE_TOOLS_DIR "/cp \"$@\"\n");
  ASSERT_EQ(::chmod("/tmp/board/bin/cp", 0755), 0);
  const child_result result =
      board_.run({"-u", NEW_IMAGE, "-l", "/tmp/board/run.log", "-b", "/tmp/board/copy.bin"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::string fds = read_file("/tmp/board/fds");
  EXPECT_NE(fds.find("vek_smbios_util.lock"), std::string::npos) << fds;
  for (const char* file : {"run.log", "copy.bin", "flash_backup.bin", "bios_layout", "dmi.bin"}) {
    EXPECT_EQ(fds.find(file), std::string::npos) << file << "\n" << fds;
  }
}

} // namespace
