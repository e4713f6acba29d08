// Tests of reading the record from the working image and putting its region in place.
#include "cbfs/image_record.h"
#include "system/flash_files.h"
#include "system/working_files.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

TEST(ReadDmiRecord, TakesTheBytesAtTheRecordsPlaceUnchanged) {
  std::string region(DMI_RECORD_SIZE, '\xff');
  region[0] = 0x01;
  region[255] = 0x7e;
  make_image(WORKING_IMAGE_PATH, region);
  EXPECT_EQ(record_bytes(read_dmi_record(WORKING_IMAGE_PATH)), region);
}

TEST(ReadDmiRecord, RefusesAnImageOneByteShortOrLong) {
  for (const off_t size : {FLASH_IMAGE_SIZE - 1, FLASH_IMAGE_SIZE + 1}) {
    make_image(WORKING_IMAGE_PATH, std::string(DMI_RECORD_SIZE, 'r'), size);
    const child_result result = run_in_child([] {
      read_dmi_record(WORKING_IMAGE_PATH);
      std::printf("returned\n");
    });
    EXPECT_EQ(result.exit_status, 255) << size;
    EXPECT_EQ(result.out, "") << size;
    EXPECT_EQ(result.err, "Incorrect flash image file size.\n") << size;
  }
}

TEST(ReadDmiRecord, ReportsAMissingImageOrALinkInItsPlace) {
  child_result result = run_in_child([&] { read_dmi_record(WORKING_IMAGE_PATH); });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            "Failed open flash file /tmp/flash_backup.bin: No such file or directory\n");

  make_image("/tmp/elsewhere.bin", std::string(DMI_RECORD_SIZE, 'r'));
  ASSERT_EQ(::symlink("/tmp/elsewhere.bin", WORKING_IMAGE_PATH), 0);
  result = run_in_child([&] { read_dmi_record(WORKING_IMAGE_PATH); });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err.rfind("Failed open flash file /tmp/flash_backup.bin: ", 0), 0u);
}

TEST(PatchRecordRegion, WorkingImageAsSourceStaysUnchanged) {
  const std::string region(DMI_RECORD_SIZE, 'r');
  make_image(WORKING_IMAGE_PATH, region);
  const std::string before = read_file(WORKING_IMAGE_PATH);
  const child_result result = run_in_child([] {
    shell_recorder shell;
    patch_record_region(shell.out(), WORKING_IMAGE_PATH, WORKING_IMAGE_PATH);
    std::printf("commands run: %zu\n", shell.commands().size());
  });
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "Writing coreboot SMBIOS region 0x100 bytes @ 0xff0100...\n"
                        "commands run: 0\n");
  EXPECT_TRUE(read_file(WORKING_IMAGE_PATH) == before);
}

TEST(PatchRecordRegion, CopiesTheRegionOfAnotherImage) {
  make_image(WORKING_IMAGE_PATH, std::string(DMI_RECORD_SIZE, 'w'));
  make_image("/tmp/source.bin", std::string(DMI_RECORD_SIZE, 's'));
  const child_result result = run_in_child([] {
    reporter out(output_form::text);
    patch_record_region(out, "/tmp/source.bin", WORKING_IMAGE_PATH);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(image_record_bytes(WORKING_IMAGE_PATH), std::string(DMI_RECORD_SIZE, 's'));
}

TEST(PatchRecordRegion, ShortOrMissingSourceWritesNothingAndFlashesNothing) {
  make_image(WORKING_IMAGE_PATH, std::string(DMI_RECORD_SIZE, 'w'));
  const std::string before = read_file(WORKING_IMAGE_PATH);
  make_image("/tmp/short.bin", "", DMI_RECORD_OFFSET + 10);
  make_image("/tmp/tiny.bin", "", 100);
  const struct {
    const char* source;
    const char* err;
  } cases[] = {
      {"/tmp/short.bin", "Short read of /tmp/short.bin: 10 of 256 bytes\n"},
      {"/tmp/tiny.bin", "Error reading /tmp/tiny.bin: the file ends before the record\n"},
      {"/tmp/none.bin", "Unable to read /tmp/none.bin: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    const child_result result = run_in_child([&] {
      shell_recorder shell({}, [](const std::string&) { write_file("/tmp/ran", "yes"); });
      patch_record_region(shell.out(), c.source, WORKING_IMAGE_PATH);
    });
    EXPECT_EQ(result.exit_status, 255) << c.source;
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(file_exists("/tmp/ran")) << c.source;
    EXPECT_TRUE(read_file(WORKING_IMAGE_PATH) == before) << c.source;
  }
}

} // namespace
