// Dry runs (-n) of the built vek_smbios_util: every step up to the final write, then the fields
// that would change; the chip and the image file stay as they were.
#include "system/flash_files.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string IMAGE = std::string(IMAGE_DIR) + "/a.rom";
const std::string NEW_IMAGE = "/tmp/board/new.rom";

const std::string READ_COMMAND =
    "flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i coreboot -r "
    "/tmp/flash_backup.bin";
const std::string REMOVE_COMMAND = "cbfstool /tmp/flash_backup.bin remove -n vek_smbios";
const std::string ADD_COMMAND = "cbfstool /tmp/flash_backup.bin add -f /tmp/dmi.bin -n vek_smbios "
                                "-t struct -r COREBOOT -b 0xffff0100";

std::string tail_of(const std::string& text, std::size_t size) {
  return text.size() < size ? text : text.substr(text.size() - size);
}

class DryRun : public testing::Test {
protected:
  void SetUp() override {
    record_ = make_record({{FIELD_SYSTEM_SKU, "SKU-1"}, {FIELD_BOARD_VERSION, "rev A"}});
    board_.make_chip(&record_);
    chip_before_ = read_file(emulated_board::CHIP);
    make_image_folder();
    // These runs are root's, so the folder is too: root takes no image from another user's folder.
    ASSERT_EQ(::chown(IMAGE_DIR, ::geteuid(), ::getegid()), 0);
    make_coreboot_image(IMAGE, &record_, 'I');
    ::unlink((IMAGE + ".fmd").c_str());
    ::unlink((IMAGE + ".fmap").c_str());
    ::unlink((IMAGE + ".record").c_str());
    ::stat(IMAGE.c_str(), &image_status_);
    image_before_ = read_file(IMAGE);
    const dmi_record factory = make_record({{FIELD_SYSTEM_SKU, "factory"}});
    make_coreboot_image(NEW_IMAGE, &factory, 'N');
  }

  void expect_untouched() const {
    EXPECT_TRUE(read_file(emulated_board::CHIP) == chip_before_);
    EXPECT_TRUE(read_file(IMAGE) == image_before_);
    struct stat now {};
    ::stat(IMAGE.c_str(), &now);
    EXPECT_EQ(now.st_ino, image_status_.st_ino) << "the image file was not replaced";
    EXPECT_EQ(folder_entries(IMAGE_DIR), std::vector<std::string>{"a.rom"});
  }

  emulated_board board_;
  dmi_record record_;
  std::string chip_before_;
  std::string image_before_;
  struct stat image_status_ {};
};

TEST_F(DryRun, WriteOnTheChipTakesEveryStepButTheWriteAndListsTheChanges) {
  const child_result result =
      board_.run({"-w", "-n", "--system-sku=SKU-2", "--chassis-asset-tag=Line 4"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(board_.calls(), (std::vector<std::string>{READ_COMMAND, REMOVE_COMMAND, ADD_COMMAND}));
  const std::string tail = "Writing coreboot SMBIOS region 0x100 bytes @ 0xff0100...\n"
                           "system-sku: 'SKU-1' -> 'SKU-2'\n"
                           "chassis-asset-tag: '' -> 'Line 4'\n"
                           "Dry run: nothing was written\n";
  EXPECT_EQ(tail_of(result.out, tail.size()), tail);
  EXPECT_EQ(result.out.find("Writing coreboot region..."), std::string::npos);
  expect_untouched();
  // The working image holds what the write would have put on the chip.
  EXPECT_EQ(image_record_bytes(WORKING_IMAGE_PATH),
            stored_merge(record_, make_record({{FIELD_SYSTEM_SKU, "SKU-2"},
                                               {FIELD_CHASSIS_ASSET_TAG, "Line 4"}})));
}

TEST_F(DryRun, UpdateWithFieldsOnTheImageListsTheChangesAndLeavesIt) {
  write_file("/tmp/board/board.conf", "board-version=rev B\n");
  const child_result result = board_.run({"-n", "-f", IMAGE, "-u", NEW_IMAGE, "-c", "board.conf",
                                          "--system-uuid=00112233-4455-6677-8899-aabbccddeeff"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::string tail = "system() exit with return_code=0, child exit status=0\n"
                           "The coreboot region would be replaced by that of " +
                           NEW_IMAGE +
                           "\n"
                           "system-uuid: '00000000-0000-0000-0000-000000000000' -> "
                           "'00112233-4455-6677-8899-aabbccddeeff'\n"
                           "board-version: 'rev A' -> 'rev B'\n"
                           "Dry run: nothing was written\n";
  EXPECT_EQ(tail_of(result.out, tail.size()), tail);
  EXPECT_EQ(result.out.find("Updating image ...\n"), std::string::npos)
      << "a dry run does not announce the write it leaves out";
  expect_untouched();
  EXPECT_EQ(folder_entries("/tmp"), std::vector<std::string>{"board"});
}

TEST_F(DryRun, ReadIsAPlainRead) {
  const child_result plain = board_.run({"-r", "-f", IMAGE});
  const child_result dry = board_.run({"-r", "-n", "-f", IMAGE});
  EXPECT_EQ(dry.exit_status, 0);
  EXPECT_EQ(dry.out, plain.out);
  expect_untouched();
}

} // namespace
