// Tests of the removal of what killed runs left: only the tool's own unlocked names go, whatever a
// second user (uid 65534) plants at them in the sticky /tmp.
#include "system/stale_files.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

const std::string CANARY = "/tmp/canary"; // a file of root's that no sweep may remove

struct said_lines : run_output {
  void progress(std::string_view) override {}
  void notice(std::string_view line) override {
    lines += line;
  }
  void flush() override {}
  program_output programs_output() const override {
    return program_output::with_the_run;
  }
  std::string lines;
};

// A process that holds `path` locked (`operation`), as a live run holds its files and folders,
// until the test ends.
std::unique_ptr<background_child> hold_locked(const std::string& path, int operation) {
  const std::string marker = "/tmp/held";
  auto holder = std::make_unique<background_child>([path, marker, operation] {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0 && ::flock(fd, operation) == 0) {
      write_file(marker, "");
      ::pause();
    }
  });
  for (int wait = 0; wait < 3000 && !file_exists(marker); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::unlink(marker.c_str());
  return holder;
}

// Sweeps /tmp as a run whose working copy goes there (-o /tmp/NAME) does.
void clear_stale_files_in_tmp(run_output& out) {
  const int tmp = ::open("/tmp", O_RDONLY | O_DIRECTORY);
  clear_stale_files(tmp, "/tmp", out);
  ::close(tmp);
}

void make_private_folder(const std::string& path, const std::vector<std::string>& names) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  for (const std::string& name : names) {
    write_file(path + "/" + name, "x");
  }
}

// The run's own leftovers go, said one a line; a file with a second name, a folder holding
// anything else, one a live process holds, a name not quite the tool's, and a file where a
// folder is meant stay.
TEST(StaleFiles, OnlyTheToolsOwnUnlockedLeftoversGo) {
  write_file("/tmp/.vek_smbios_util.Stale1", std::string(4096, 'I'));
  make_private_folder("/tmp/vek_smbios_util.Stale2", {"dmi.bin", "image.bin"});
  write_file("/tmp/.vek_smbios_util.Linked", "");
  ASSERT_EQ(::link("/tmp/.vek_smbios_util.Linked", "/tmp/second_name"), 0);
  make_private_folder("/tmp/vek_smbios_util.Extras", {"dmi.bin", "notes"});
  write_file("/tmp/.vek_smbios_util.Lived1", "");
  make_private_folder("/tmp/vek_smbios_util.Lived2", {"dmi.bin"});
  write_file("/tmp/.vek_smbios_util.TooLong", "");
  write_file("/tmp/vek_smbios_util.AFile1", "");
  const auto live_copy = hold_locked("/tmp/.vek_smbios_util.Lived1", LOCK_EX);
  const auto live_folder = hold_locked("/tmp/vek_smbios_util.Lived2", LOCK_EX);
  said_lines said;
  clear_stale_files_in_tmp(said);
  EXPECT_EQ(
      folder_entries("/tmp"),
      (std::vector<std::string>{".vek_smbios_util.Linked", ".vek_smbios_util.Lived1",
                                ".vek_smbios_util.TooLong", "second_name", "vek_smbios_util.AFile1",
                                "vek_smbios_util.Extras", "vek_smbios_util.Lived2"}));
  EXPECT_EQ(said.lines, "Removed /tmp/.vek_smbios_util.Stale1, left behind by a run that was "
                        "killed\nRemoved /tmp/vek_smbios_util.Stale2, left behind by a run that "
                        "was killed\n");
  EXPECT_EQ(folder_entries("/tmp/vek_smbios_util.Extras"),
            (std::vector<std::string>{"dmi.bin", "notes"}));
}

// What a second user plants at the tool's names in the sticky /tmp stays, and nothing is
// followed: links to a file and to a folder of root's, a file and a folder of their own.
TEST(StaleFiles, WhatAnotherUserPlantsStays) {
  if (!can_drop_privileges()) {
    GTEST_SKIP() << "no second user to plant files with";
  }
  write_file(CANARY, "canary");
  ::chmod(CANARY.c_str(), 0600);
  ASSERT_EQ(run_in_child([] {
              drop_privileges();
              ::symlink(CANARY.c_str(), "/tmp/.vek_smbios_util.Link01");
              ::symlink("/tmp/board", "/tmp/vek_smbios_util.Link02");
              write_file("/tmp/.vek_smbios_util.Theirs", "");
              ::mkdir("/tmp/vek_smbios_util.Theirs", 0700);
              write_file("/tmp/vek_smbios_util.Theirs/dmi.bin", "");
            }).exit_status,
            0);
  ASSERT_EQ(::mkdir("/tmp/board", 0700), 0);
  said_lines said;
  clear_stale_files_in_tmp(said);
  EXPECT_EQ(
      folder_entries("/tmp"),
      (std::vector<std::string>{".vek_smbios_util.Link01", ".vek_smbios_util.Theirs", "board",
                                "canary", "vek_smbios_util.Link02", "vek_smbios_util.Theirs"}));
  EXPECT_EQ(said.lines, "");
  EXPECT_EQ(read_file(CANARY), "canary");
}

// A live run holds the folder it makes its working copy in, so no working copy there goes, even
// one whose own run is gone; the private folders in /tmp are judged each on its own lock.
TEST(StaleFiles, NoWorkingCopyGoesWhileALiveRunWorksInItsFolder) {
  ASSERT_EQ(::mkdir("/tmp/images", 0755), 0);
  write_file("/tmp/images/.vek_smbios_util.Stale1", "");
  make_private_folder("/tmp/vek_smbios_util.Stale2", {"dmi.bin"});
  const auto live_run = hold_locked("/tmp/images", LOCK_SH);
  const int images = ::open("/tmp/images", O_RDONLY | O_DIRECTORY);
  said_lines said;
  clear_stale_files(images, "/tmp/images", said);
  ::close(images);
  EXPECT_TRUE(file_exists("/tmp/images/.vek_smbios_util.Stale1"));
  EXPECT_FALSE(file_exists("/tmp/vek_smbios_util.Stale2"));
  EXPECT_EQ(said.lines,
            "Removed /tmp/vek_smbios_util.Stale2, left behind by a run that was killed\n");
}

} // namespace
