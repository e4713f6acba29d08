// Tests of the working files: leftovers cleared, files made 0600, and the check before the flash
// write that they are still the files the run made.
#include "system/working_files.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t mode_of(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(WorkingFiles, LeftoversMakeWayForNewFilesOfMode0600) {
  const working_files names;
  write_file(names.image, "an earlier run's image");
  write_file(names.record, "an earlier run's record");
  const mode_t umask_before = ::umask(0);
  working_files files;
  make_fixed_working_files(files);
  ::umask(umask_before);
  for (const std::string& path : {files.image, files.layout, files.record}) {
    EXPECT_EQ(read_file(path), "") << path;
    EXPECT_EQ(mode_of(path), 0600u) << path;
  }
}

TEST(WorkingFiles, FlashWriteIsRefusedOnceAFileIsNoLongerTheOneMade) {
  // Each change returns 0 once made; a user namespace that maps no second user cannot chown.
  const std::pair<const char*, std::function<int(const working_files&)>> changes[] = {
      {"replaced", [](const working_files& f) { return ::rename("/tmp/other", f.image.c_str()); }},
      {"second link",
       [](const working_files& f) { return ::link(f.image.c_str(), "/tmp/second"); }},
      {"other owner",
       [](const working_files& f) {
         return ::chown(f.image.c_str(), unprivileged_id(), unprivileged_id());
       }},
      {"layout gone", [](const working_files& f) { return ::unlink(f.layout.c_str()); }},
  };
  std::string not_tried;
  for (const auto& [name, change] : changes) {
    ::unlink("/tmp/second");
    write_file("/tmp/other", "");
    const child_result result = run_in_child([&change] {
      working_files files;
      make_fixed_working_files(files);
      check_working_files(files);
      std::printf("checked\n");
      if (change(files) != 0) {
        std::printf("not made\n");
        return;
      }
      check_working_files(files);
    });
    if (result.out == "checked\nnot made\n" && std::string(name) == "other owner") {
      not_tried = name;
      continue;
    }
    const std::string path =
        std::string(name) == "layout gone" ? "/tmp/bios_layout" : "/tmp/flash_backup.bin";
    EXPECT_EQ(result.exit_status, 255) << name;
    EXPECT_EQ(result.out, "checked\n") << name;
    EXPECT_EQ(result.err,
              "Refusing to write the flash: " + path + " is no longer the file this run made\n");
    ::unlink("/tmp/flash_backup.bin");
  }
  if (!not_tried.empty()) {
    GTEST_SKIP() << "not tried, no second user to give the file to here: " << not_tried;
  }
}

} // namespace
