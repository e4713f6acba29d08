// Every outside step of every mode failing, and the tool's own files made unusable: the run ends
// with the right status and message, and the emulated chip is left as it was (a failed flash
// write is undone from the journal).
#include "flash_target/journal.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

const char* const NEW_IMAGE = "/tmp/board/new.rom";
const char* const CONFIG = "/tmp/board/board.conf";

struct mode_steps {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::string> steps; // the outside steps in the order they run
};

const std::vector<std::string> UPDATE_STEPS = {"flashrom-read", "cp", "cbfstool-remove",
                                               "cbfstool-add", "flashrom-write"};

const mode_steps MODES[] = {
    {"Read", {"-r"}, {"flashrom-read"}},
    {"Write",
     {"-w", "--system-sku=SKU-2"},
     {"flashrom-read", "cbfstool-remove", "cbfstool-add", "flashrom-write"}},
    {"Update", {"-u", NEW_IMAGE}, UPDATE_STEPS},
    {"UpdateFields", {"-u", NEW_IMAGE, "--chassis-version=9"}, UPDATE_STEPS},
    {"UpdateConfig", {"-u", NEW_IMAGE, "-c", CONFIG}, UPDATE_STEPS},
};

struct step_failure {
  std::string name;
  const mode_steps* mode;
  std::string fault;   // a VEK_FAULT value, empty for a missing program
  std::string missing; // the program taken off PATH
  int exit_status;
  std::string status_line; // the last line on standard output
  std::size_t calls_made;  // programs started, the failing one included
};

// A failed flash write is followed by the restore of the region from before the run.
const std::string RESTORE_TAIL = "Restoring coreboot region...\n";
const std::string SUCCESS_LINE = "system() exit with return_code=0, child exit status=0\n";

void PrintTo(const step_failure& failure, std::ostream* out) {
  *out << failure.name;
}

std::string program_of(const std::string& step) {
  return step.substr(0, step.find('-'));
}

std::string camel(const std::string& step) {
  std::string name;
  bool upper = true;
  for (const char c : step) {
    if (c == '-') {
      upper = true;
    } else {
      name += upper ? static_cast<char>(std::toupper(c)) : c;
      upper = false;
    }
  }
  return name;
}

std::vector<step_failure> all_step_failures() {
  std::vector<step_failure> cases;
  for (const mode_steps& mode : MODES) {
    for (std::size_t i = 0; i < mode.steps.size(); ++i) {
      const std::string& step = mode.steps[i];
      // A failing write writes part of the region first, so the chip left as it was proves the
      // restore: the chip read back to prove it comes from the journal, and the restore itself.
      const bool write = step == "flashrom-write";
      const std::size_t restore = write ? 2 : 0;
      const std::string fail = step + (write ? ":partial-" : ":");
      cases.push_back({std::string(mode.name) + camel(step) + "Exit3", &mode, fail + "exit:3", "",
                       3, "system() exit with return_code=768, child exit status=3\n",
                       i + 1 + restore});
      cases.push_back({std::string(mode.name) + camel(step) + "Signal", &mode, fail + "signal", "",
                       255, "system() exit with return_code=9, child exited abnormally\n",
                       i + 1 + restore});
      const auto first_use =
          std::find_if(mode.steps.begin(), mode.steps.end(),
                       [&](const std::string& s) { return program_of(s) == program_of(step); });
      if (first_use - mode.steps.begin() == static_cast<std::ptrdiff_t>(i)) {
        cases.push_back({std::string(mode.name) + camel(program_of(step)) + "Missing", &mode, "",
                         program_of(step), 127,
                         "system() exit with return_code=32512, child exit status=127\n", i});
      }
    }
  }
  return cases;
}

class BoardTest : public testing::Test {
protected:
  void SetUp() override {
    const dmi_record record = make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}});
    board_.make_chip(&record);
    const dmi_record factory = make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}});
    make_coreboot_image(NEW_IMAGE, &factory, 'N');
    write_file(CONFIG, "board-version=B\n");
    chip_before_ = read_file(emulated_board::CHIP);
  }

  bool chip_unchanged() const {
    return read_file(emulated_board::CHIP) == chip_before_;
  }

  emulated_board board_;
  std::string chip_before_;
};

class StepFailure : public BoardTest, public testing::WithParamInterface<step_failure> {};

TEST_P(StepFailure, EndsWithItsStatusAndLeavesTheChip) {
  const step_failure& failure = GetParam();
  if (!failure.missing.empty()) {
    board_.remove_program(failure.missing);
  }
  const child_result result = board_.run(failure.mode->arguments, failure.fault);
  EXPECT_EQ(result.exit_status, failure.exit_status) << result.out << result.err;
  if (failure.fault.starts_with("flashrom-write:")) {
    const std::size_t restore = result.out.find(failure.status_line + RESTORE_TAIL);
    EXPECT_NE(restore, std::string::npos) << result.out;
    EXPECT_TRUE(result.out.ends_with(SUCCESS_LINE)) << result.out;
  } else {
    EXPECT_TRUE(result.out.ends_with(failure.status_line)) << result.out;
  }
  if (!failure.missing.empty()) {
    EXPECT_NE(result.err.find("not found"), std::string::npos) << result.err;
  }
  EXPECT_EQ(board_.calls().size(), failure.calls_made) << "nothing runs after a failed step";
  EXPECT_TRUE(chip_unchanged());
  // Whether the region was put back or no write began, no journal is left to hold up the next.
  EXPECT_FALSE(file_exists(journal_path(REGION_BEFORE_FILE))) << "journal left behind";
}

INSTANTIATE_TEST_SUITE_P(AllModes, StepFailure, testing::ValuesIn(all_step_failures()),
                         [](const testing::TestParamInfo<step_failure>& param_info) {
                           return param_info.param.name;
                         });

// In the child, a set-up step that fails ends the child before the tool starts.
void must(int result, const char* what) {
  if (result != 0) {
    std::perror(what);
    ::_exit(125);
  }
}

// In the child, just before the tool starts: a namespace of its own for the mounts below.
void private_mounts() {
  must(::unshare(CLONE_NEWNS), "unshare");
  must(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "private mounts");
}

// A new /tmp of 1 MiB with the board folder still in it, read-only when asked.
void new_tmp(unsigned long flags) {
  private_mounts();
  must(::mount("/tmp/board", "/mnt", nullptr, MS_BIND, nullptr), "keep the board");
  must(::mount("new_tmp", "/tmp", "tmpfs", 0, "size=1m"), "new /tmp");
  must(::mkdir("/tmp/board", 0755), "board folder");
  must(::mount("/mnt", "/tmp/board", nullptr, MS_BIND, nullptr), "board back in /tmp");
  if (flags != 0) {
    must(::mount(nullptr, "/tmp", nullptr, MS_REMOUNT | flags, nullptr), "remount /tmp");
  }
}

void read_only_tmp() {
  new_tmp(MS_RDONLY);
}

// Too small for the working image.
void tiny_tmp() {
  new_tmp(0);
}

void read_only_folder(const char* path) {
  ::mkdir(path, 0755);
  ASSERT_EQ(::mount("ro", path, "tmpfs", MS_RDONLY, nullptr), 0);
}

struct file_failure {
  const char* name;
  std::vector<std::string> arguments;
  std::function<void()> arrange; // in the test, before the run
  std::function<void()> prepare; // in the child, before the tool starts
  int exit_status;
  const char* out_tail; // the end of standard output
  const char* err;      // all of standard error
  std::size_t calls_made;
};

void PrintTo(const file_failure& failure, std::ostream* out) {
  *out << failure.name;
}

class FileFailure : public BoardTest, public testing::WithParamInterface<file_failure> {};

TEST_P(FileFailure, EndsTheRunAndLeavesTheChip) {
  const file_failure& failure = GetParam();
  const auto& arguments = failure.arguments;
  if (std::find(arguments.begin(), arguments.end(), "/dev/full") != arguments.end() &&
      !devices_are_roots()) {
    GTEST_SKIP() << "/dev/full is not root's in this user namespace";
  }
  if (failure.arrange) {
    failure.arrange();
  }
  const child_result result = board_.run(failure.arguments, "", failure.prepare);
  EXPECT_EQ(result.exit_status, failure.exit_status) << result.out << result.err;
  const std::string tail = failure.out_tail;
  ASSERT_GE(result.out.size(), tail.size()) << result.out;
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  EXPECT_EQ(
      result.err.substr(result.err.size() - std::min(result.err.size(), std::strlen(failure.err))),
      failure.err);
  EXPECT_EQ(board_.calls().size(), failure.calls_made);
  EXPECT_TRUE(chip_unchanged());
  EXPECT_FALSE(file_exists("/tmp/board/planted")) << "nothing is written through a link";
}

void plant_link(const char* at) {
  ASSERT_EQ(::symlink("/tmp/board/planted", at), 0);
}

const std::vector<file_failure> FILE_FAILURES = {
    {"LogInMissingFolder",
     {"-w", "-l", "/tmp/board/none/run.log"},
     {},
     {},
     255,
     "",
     "Unable to open log file /tmp/board/none/run.log: No such file or directory\n",
     0},
    {"LogInReadOnlyFolder",
     {"-r", "-l", "/tmp/board/ro/run.log"},
     [] { read_only_folder("/tmp/board/ro"); },
     {},
     255,
     "",
     "Unable to open log file /tmp/board/ro/run.log: Read-only file system\n",
     0},
    {"MissingConfig",
     {"-w", "-c", "/tmp/board/none.conf"},
     {},
     {},
     255,
     "",
     "Unable to open config file /tmp/board/none.conf: No such file or directory\n",
     0},
    {"CopyInMissingFolder",
     {"-w", "-b", "/tmp/board/none/copy.bin"},
     {},
     {},
     255,
     "",
     "Unable to open /tmp/board/none/copy.bin for writing: No such file or directory\n",
     0},
    {"CopyInReadOnlyFolder",
     {"-w", "-b", "/tmp/board/ro/copy.bin"},
     [] { read_only_folder("/tmp/board/ro"); },
     {},
     255,
     "",
     "Unable to open /tmp/board/ro/copy.bin for writing: Read-only file system\n",
     0},
    {"CopyOnAFullDevice",
     {"-w", "-b", "/dev/full"},
     {},
     {},
     255,
     "",
     "Unable to write /dev/full: No space left on device\n",
     0},
    {"LayoutLinkPlanted",
     {"-w"},
     [] { plant_link("/tmp/bios_layout"); },
     {},
     255,
     "",
     "Refusing to use /tmp/bios_layout: it is a symbolic link\n",
     0},
    {"LayoutInReadOnlyTmp",
     {"-w"},
     {},
     read_only_tmp,
     255,
     "Failed to create BIOS layout file, exiting ...\n",
     "",
     0},
    {"RecordFileLinkPlanted",
     {"-w"},
     [] { plant_link("/tmp/dmi.bin"); },
     {},
     255,
     "",
     "Refusing to use /tmp/dmi.bin: it is a symbolic link\n",
     0},
    {"RecordFileIsAFolder",
     {"-u", NEW_IMAGE},
     [] { ::mkdir("/tmp/dmi.bin", 0755); },
     {},
     255,
     "",
     "Refusing to use /tmp/dmi.bin: it is not a regular file\n",
     0},
    {"WorkingImageLinkPlanted",
     {"-w"},
     [] { plant_link("/tmp/flash_backup.bin"); },
     {},
     255,
     "",
     "Refusing to use /tmp/flash_backup.bin: it is a symbolic link\n",
     0},
};

INSTANTIATE_TEST_SUITE_P(OwnFiles, FileFailure, testing::ValuesIn(FILE_FAILURES),
                         [](const testing::TestParamInfo<file_failure>& param_info) {
                           return param_info.param.name;
                         });

TEST_F(BoardTest, TmpTooSmallForTheWorkingImageEndsWithFlashromsStatus) {
  const emulated_board real_flashrom(flashrom_stand_in::real);
  const child_result result = board_.run({"-w"}, "", tiny_tmp);
  EXPECT_NE(result.exit_status, 0);
  EXPECT_NE(result.out.find("child exit status=" + std::to_string(result.exit_status) + "\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(board_.calls().size(), 1u);
  EXPECT_TRUE(chip_unchanged());
}

} // namespace
