// Runs of the built vek_smbios_util against flashrom on an emulated chip and the real cbfstool.
// Every outside step failing is in fault_matrix_test.cpp, hostile paths in
// hostile_input_test.cpp.
#include "flash_target/chip.h"
#include "system/flash_files.h"
#include "tests/build_paths.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

const std::string READ_COMMAND =
    "flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i coreboot -r "
    "/tmp/flash_backup.bin";
const std::string WRITE_COMMAND =
    "flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i coreboot -w "
    "/tmp/flash_backup.bin";
const std::string REMOVE_COMMAND = "cbfstool /tmp/flash_backup.bin remove -n vek_smbios";
const std::string ADD_COMMAND = "cbfstool /tmp/flash_backup.bin add -f /tmp/dmi.bin -n vek_smbios "
                                "-t struct -r COREBOOT -b 0xffff0100";

// The record the chips of these tests start with: a few values, one of them set twice so the
// record is not compact, and a UUID.
dmi_record old_board_record() {
  dmi_record record = make_record({{FIELD_SYSTEM_MANUFACTURER, "Old Vendor"},
                                   {FIELD_SYSTEM_SERIAL_NUMBER, "first"},
                                   {FIELD_SYSTEM_SERIAL_NUMBER, "SN-0001"},
                                   {FIELD_BOARD_VERSION, "rev A"}});
  EXPECT_EQ(dmi_record_parse_uuid(record, "3f2504e0-4f89-11d3-9a0c-0305e82c3301"), 0);
  return record;
}

// These cases prove the command lines and what the chip holds after them. The quick stand-in
// plays flashrom: FlashromStandIns.QuickCopyEndsAsTheRealFlashromDoes holds its reads against the
// real flashrom's, and the write case below its writes (the real flashrom on the emulated chip
// takes half a second to read it, more to write it).
class EndToEnd : public testing::Test {
protected:
  void SetUp() override {
    old_record_ = old_board_record();
    board_.make_chip(&old_record_);
    chip_before_ = read_file(emulated_board::CHIP);
  }

  // A new firmware image as the factory builds it, with a default record of its own.
  static void make_new_image() {
    const dmi_record factory_record = make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}});
    make_coreboot_image("/tmp/board/new.rom", &factory_record, 'N');
  }

  std::string chip() const {
    return read_file(emulated_board::CHIP);
  }

  emulated_board board_;
  dmi_record old_record_;
  std::string chip_before_;
};

// The runs of an update: flashrom's write of a whole new region is proven against the real
// flashrom by FlashromStandIns.QuickCopyEndsAsTheRealFlashromDoes.
class UpdateMerge : public EndToEnd {};

TEST_F(EndToEnd, ReadPrintsTheRecordFoundInTheChip) {
  const child_result result = board_.run({"-r"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out.rfind(
                "Reading coreboot region...\nReading coreboot region..." + READ_COMMAND + " \n", 0),
            0u)
      << result.out;
  const std::string block = "Type 1 Fields:\n"
                            " system-manufacturer:\t'Old Vendor'\n"
                            " system-product-name:\t''\n"
                            " system-version:\t''\n"
                            " system-serial-number:\t'SN-0001'\n"
                            " system-uuid:\t\t'3f2504e0-4f89-11d3-9a0c-0305e82c3301'\n"
                            " system-sku:\t\t''\n"
                            "Type 2 Fields:\n"
                            " board-manufacturer:\t''\n"
                            " board-product-name:\t''\n"
                            " board-version:\t\t'rev A'\n"
                            " board-serial-number:\t''\n"
                            "Type 3 Fields:\n"
                            " chassis-manufacturer:\t''\n"
                            " chassis-version:\t''\n"
                            " chassis-serial-number:\t''\n"
                            " chassis-asset-tag:\t''\n";
  const std::string tail = "system() exit with return_code=0, child exit status=0\n" + block;
  ASSERT_GE(result.out.size(), tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  EXPECT_EQ(chip(), chip_before_);
  EXPECT_EQ(board_.calls(), std::vector<std::string>{READ_COMMAND});
}

TEST_F(EndToEnd, WriteStoresOneValueAndKeepsTheOthers) {
  const emulated_board real_flashrom(flashrom_stand_in::real);
  const child_result result = real_flashrom.run({"-w", "--system-serial-number=SN-0002"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;

  const std::string after = chip();
  EXPECT_EQ(after.substr(DMI_RECORD_OFFSET, DMI_RECORD_SIZE),
            stored_merge(old_record_, make_record({{FIELD_SYSTEM_SERIAL_NUMBER, "SN-0002"}})));
  EXPECT_EQ(after.substr(0, COREBOOT_REGION_OFFSET), chip_before_.substr(0, COREBOOT_REGION_OFFSET))
      << "only the coreboot region may be written";
  EXPECT_EQ(board_.calls(),
            (std::vector<std::string>{READ_COMMAND, REMOVE_COMMAND, ADD_COMMAND, WRITE_COMMAND}));
  EXPECT_NE(result.out.find("Writing coreboot SMBIOS region 0x100 bytes @ 0xff0100...\n"
                            "Writing coreboot region...\n"),
            std::string::npos);

  // The quick stand-in the other cases use leaves the chip as the real flashrom does.
  write_file(emulated_board::CHIP, chip_before_);
  const emulated_board quick(flashrom_stand_in::quick);
  ASSERT_EQ(quick.run({"-w", "--system-serial-number=SN-0002"}).exit_status, 0);
  EXPECT_TRUE(chip() == after) << "the quick stand-in wrote another chip";
}

TEST_F(UpdateMerge, UpdateCarriesTheOldRecordByteForByte) {
  // The new image has a record of its own, which must not survive.
  make_new_image();

  const child_result result = board_.run({"-u", "/tmp/board/new.rom"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(result.out.rfind("Updating coreboot region  ...\n", 0), 0u);

  const std::string after = chip();
  EXPECT_EQ(after.substr(DMI_RECORD_OFFSET, DMI_RECORD_SIZE), record_bytes(old_record_));
  EXPECT_EQ(after.substr(0, COREBOOT_REGION_OFFSET),
            chip_before_.substr(0, COREBOOT_REGION_OFFSET));
  EXPECT_EQ(board_.calls(),
            (std::vector<std::string>{READ_COMMAND, "cp /tmp/board/new.rom /tmp/flash_backup.bin",
                                      REMOVE_COMMAND, ADD_COMMAND, WRITE_COMMAND}));
}

TEST_F(UpdateMerge, LaysConfigurationValuesOverTheOldRecord) {
  make_new_image();
  write_file("/tmp/board/board.conf", "# line station 4\nchassis-asset-tag=TAG 7\n"
                                      "system-manufacturer=New Vendor\n");

  const child_result result = board_.run({"-u", "/tmp/board/new.rom", "-c", "board.conf"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP),
            stored_merge(old_record_, make_record({{FIELD_SYSTEM_MANUFACTURER, "New Vendor"},
                                                   {FIELD_CHASSIS_ASSET_TAG, "TAG 7"}})));
}

TEST_F(UpdateMerge, LaysOptionValuesOverTheOldRecord) {
  make_new_image();

  const child_result result =
      board_.run({"-u", "/tmp/board/new.rom", "--board-version", "rev B", "--system-sku="});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(result.out.rfind("Programming DMI...\n", 0), 0u);
  EXPECT_NE(result.out.find("Updating coreboot region of flash ...\nWriting coreboot region...\n"),
            std::string::npos);
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP),
            stored_merge(old_record_,
                         make_record({{FIELD_SYSTEM_SKU, ""}, {FIELD_BOARD_VERSION, "rev B"}})));
}

TEST_F(EndToEnd, LogHoldsTheThreeBlocksThenTheFlashromLineAndItsOutput) {
  write_file("/tmp/board/board.conf", "system-sku=SKU-1\n");
  const child_result result =
      board_.run({"-r", "-l", "/tmp/board/run.log", "-c", "board.conf", "--board-version=rev C"});
  ASSERT_EQ(result.exit_status, 0) << result.err;

  std::string config_block = "\nDMI fields from board.conf:\n-----\n";
  std::string cmdline_block = "\nDMI fields from commandline:\n-----\n";
  std::string merged_block = "\nMerged DMI values to write to flash:\n-----\n";
  const auto print = [](const dmi_record& record) {
    std::string report;
    print_dmi_fields(report, record);
    return report;
  };
  config_block += print(make_record({{FIELD_SYSTEM_SKU, "SKU-1"}}));
  cmdline_block += print(make_record({{FIELD_BOARD_VERSION, "rev C"}}));
  merged_block += print(make_record({{FIELD_SYSTEM_SKU, "SKU-1"}, {FIELD_BOARD_VERSION, "rev C"}}));
  const std::string expected_start =
      config_block + cmdline_block + merged_block + READ_COMMAND + " 2>&1 >> /tmp/board/run.log\n";

  const std::string log = read_file("/tmp/board/run.log");
  ASSERT_EQ(log.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(log.find("Reading flash... done.", expected_start.size()), std::string::npos)
      << "flashrom's own output follows its command line";
}

TEST_F(EndToEnd, RunWithoutModeSavesTheCopyAndTheLayoutThenAborts) {
  write_file("/tmp/board/board.conf", "system-sku=from file\nboard-version=from file\n");
  const child_result result =
      board_.run({"-b", "/tmp/board/copy.bin", "-c", "board.conf", "--board-version=from options"});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.out, "Unknown Operation, Aborting...\n");
  EXPECT_EQ(read_file("/tmp/board/copy.bin"),
            record_bytes(make_record(
                {{FIELD_SYSTEM_SKU, "from file"}, {FIELD_BOARD_VERSION, "from options"}})));
  EXPECT_EQ(read_file("/tmp/bios_layout"), "0x00000000:0x00000fff ifd\n"
                                           "0x00001000:0x00BFFFFF midrom\n"
                                           "0x00C00000:0x00FFFFFF coreboot\n");
  EXPECT_TRUE(board_.calls().empty());
}

TEST_F(EndToEnd, ValueBeyondTheRecordsCapacityStopsBeforeAnyWrite) {
  const child_result result =
      board_.run({"-w", "-b", "/tmp/board/copy.bin", "--chassis-asset-tag", std::string(230, 'x')});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(
      result.err,
      "Value of chassis-asset-tag does not fit in the DMI record (222 bytes of text in all)\n");
  EXPECT_TRUE(board_.calls().empty());
  EXPECT_FALSE(file_exists("/tmp/board/copy.bin"));
  EXPECT_FALSE(file_exists("/tmp/bios_layout"));
}

TEST_F(EndToEnd, HelpAndBadOptions) {
  const child_result help = board_.run({"-w", "-h"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("vek_smbios_util  -- version:01.00.00.01 \n", 0), 0u);
  EXPECT_TRUE(board_.calls().empty());

  // getopt's own words differ between glibc and FreeBSD; both name the program and the option.
  const child_result bad = board_.run({"-r", "-x"});
  EXPECT_EQ(bad.exit_status, 255);
  EXPECT_EQ(bad.err.rfind("vek_smbios_util: ", 0), 0u) << bad.err;
  EXPECT_TRUE(names_option(bad.err, "x")) << bad.err;
  EXPECT_EQ(bad.out, help.out);

  const child_result missing = board_.run({"--system-sku"});
  EXPECT_EQ(missing.exit_status, 255);
  EXPECT_EQ(missing.err.rfind("vek_smbios_util: ", 0), 0u) << missing.err;
  EXPECT_TRUE(names_option(missing.err, "system-sku")) << missing.err;
  EXPECT_EQ(missing.out, help.out);
  EXPECT_TRUE(board_.calls().empty());
  EXPECT_EQ(chip(), chip_before_);
}

// The quick stand-in that most cases run in flashrom's place ends where the real flashrom on the
// emulated chip ends: the same image read, the same chip written, the same refusal of an image
// of the wrong size.
TEST(FlashromStandIns, QuickCopyEndsAsTheRealFlashromDoes) {
  const emulated_board board;
  const dmi_record old_record = old_board_record();
  make_coreboot_image("/tmp/board/chip0.bin", &old_record, 'D');
  make_coreboot_image("/tmp/board/new.rom", nullptr, 'N');
  write_file("/tmp/board/short.rom", std::string(FLASH_IMAGE_SIZE - 1, 'S'));
  write_bios_layout("/tmp/board/layout");
  const auto run = [](const char* stand_in, const std::string& arguments) {
    return std::system(("VEK_TEST_CHIP=/tmp/board/chip.bin " VEK_FAKE_TOOLS_DIR "/" +
                        std::string(stand_in) + " -p internal:boardmismatch=force" +
                        " -l /tmp/board/layout -i coreboot " + arguments + " >/dev/null 2>&1")
                           .c_str());
  };
  // A read, and a write of an image of another size, which neither writes.
  struct ending {
    int read_status, short_status;
    std::string image, chip;
  };
  std::vector<ending> endings;
  for (const char* stand_in : {"quick_flashrom", "flashrom"}) {
    ending end;
    write_file(emulated_board::CHIP, read_file("/tmp/board/chip0.bin"));
    end.read_status = run(stand_in, "-r /tmp/board/image.bin");
    end.image = read_file("/tmp/board/image.bin");
    end.short_status = run(stand_in, "-w /tmp/board/short.rom");
    end.chip = read_file(emulated_board::CHIP);
    endings.push_back(end);
  }
  EXPECT_EQ(endings[0].read_status, 0);
  EXPECT_NE(endings[0].short_status, 0);
  EXPECT_EQ(endings[0].read_status, endings[1].read_status);
  EXPECT_EQ(endings[0].short_status, endings[1].short_status);
  EXPECT_TRUE(endings[0].image == endings[1].image) << "the image read";
  EXPECT_TRUE(endings[0].chip == endings[1].chip) << "nothing written";
  // A write of a whole new region: the real flashrom's writes are held against the quick one's
  // by EndToEnd.WriteStoresOneValueAndKeepsTheOthers (the emulation takes seconds for each).
  EXPECT_EQ(run("quick_flashrom", "-w /tmp/board/new.rom"), 0);
  const std::string chip = read_file(emulated_board::CHIP);
  EXPECT_TRUE(chip.substr(0, COREBOOT_REGION_OFFSET) ==
              read_file("/tmp/board/chip0.bin").substr(0, COREBOOT_REGION_OFFSET));
  EXPECT_TRUE(chip.substr(COREBOOT_REGION_OFFSET) ==
              read_file("/tmp/board/new.rom").substr(COREBOOT_REGION_OFFSET));
}

} // namespace
