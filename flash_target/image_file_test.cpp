// Tests of an image file as the target: where its working files go, that they go away however
// the run ends, and the checks before the working copy replaces the image.
#include "flash_target/image_file.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace {

const char* const FOLDER = "/tmp/images";
const char* const IMAGE = "/tmp/images/a.rom";

class ImageFileUnit : public testing::Test {
protected:
  void SetUp() override {
    ::mkdir(FOLDER, 0755);
    before_ = std::string(FLASH_IMAGE_SIZE, 'I');
    write_file(IMAGE, before_);
  }

  std::string before_;
};

// The working files of a run that changes the image at `path` in place.
working_files in_place_files(const char* path, unique_fd& fd, image_destination& destination) {
  fd = open_image_file(path, true, false);
  destination = image_file_destination(fd.get(), path);
  return make_image_working_files(&destination);
}

// The names in /tmp and in the image folder, one line.
std::string leftovers() {
  const child_result listing = run_in_child([] {
    std::fflush(stdout);
    std::system("PATH=/usr/bin:/bin; ls -A /tmp/images; ls -A /tmp | grep -v '^child_\\|^images$'");
  });
  return listing.out;
}

TEST_F(ImageFileUnit, WorkingFilesSitBesideTheImageAndInAPrivateFolderUntilTheRunEnds) {
  const child_result result = run_in_child([] {
    ::chdir(FOLDER);
    unique_fd fd;
    image_destination destination;
    const working_files files = in_place_files("a.rom", fd, destination);
    struct stat folder {};
    const std::string record_folder = files.record.substr(0, files.record.rfind('/'));
    ::stat(record_folder.c_str(), &folder);
    std::printf("%s|%s|%o|%d\n", files.image.substr(0, files.image.size() - 6).c_str(),
                files.record.c_str(), folder.st_mode & 0777, file_exists(files.image));
    // As every run ends: the files' owner goes.
  });
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out.substr(0, 20), "./.vek_smbios_util.|"); // not named after the image
  EXPECT_EQ(result.out.substr(20, 21), "/tmp/vek_smbios_util.");
  EXPECT_EQ(result.out.substr(result.out.size() - 15), "/dmi.bin|700|1\n"); // 0700: private
  EXPECT_EQ(leftovers(), "a.rom\n");
}

TEST_F(ImageFileUnit, WorkingFilesGoWhenTheRunIsInterruptedOrTerminated) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    const child_result result = run_in_child([&] {
      unique_fd fd;
      image_destination destination;
      const working_files files = in_place_files(IMAGE, fd, destination);
      write_file(files.record, "record");
      std::raise(signal_number);
      std::printf("not reached\n");
    });
    EXPECT_EQ(result.exit_status, -1) << "ended by the signal itself";
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(leftovers(), "a.rom\n") << signal_number;
  }
}

TEST_F(ImageFileUnit, WorkingCopyOfAnotherSizeNeverReplacesTheImage) {
  const child_result result = run_in_child([] {
    unique_fd fd;
    image_destination destination;
    working_files files = in_place_files(IMAGE, fd, destination);
    copy_image_file(fd.get(), IMAGE, files.image);
    ::truncate(files.image.c_str(), FLASH_IMAGE_SIZE - 1);
    place_working_copy(destination, files.image, files.image_leftover, fd.get());
  });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_NE(result.err.find("is not 16777216 bytes; /tmp/images/a.rom is left as it was\n"),
            std::string::npos)
      << result.err;
  EXPECT_TRUE(read_file(IMAGE) == before_);
  EXPECT_EQ(leftovers(), "a.rom\n");
}

TEST_F(ImageFileUnit, ImageRenamedAwayDuringTheRunIsNotOverwritten) {
  // Someone else's file now has the image's name; the run must not replace it with a copy of
  // the file it locked.
  const child_result result = run_in_child([] {
    unique_fd fd;
    image_destination destination;
    working_files files = in_place_files(IMAGE, fd, destination);
    copy_image_file(fd.get(), IMAGE, files.image);
    write_file("/tmp/images/other", "someone else's");
    std::rename("/tmp/images/other", IMAGE);
    place_working_copy(destination, files.image, files.image_leftover, fd.get());
  });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err, "Image file /tmp/images/a.rom was replaced during the run; it is left as "
                        "it is\n");
  EXPECT_EQ(read_file(IMAGE), "someone else's");
  EXPECT_EQ(leftovers(), "a.rom\n");
}

} // namespace
