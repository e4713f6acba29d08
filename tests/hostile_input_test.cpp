// Hostile and damaged input, end to end: paths that try to run commands, paths and values too long,
// erased and random records in the chip, and awkward configuration files.
#include "system/flash_files.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>

namespace {

// Names that would run `touch canary` in /tmp/board if they reached the shell unquoted, or
// quoted with their own quotes left as they are.
const std::vector<std::string> HOSTILE_NAMES = {
    "/tmp/board/new rom; touch canary; $(touch canary) `touch canary` 'q' '$(touch canary)' "
    "\"dq\" *",
    "/tmp/board/line\nbreak;touch canary|touch canary&&touch canary",
};

class HostileInput : public testing::Test {
protected:
  void SetUp() override {
    chip_record_ = make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}});
    board_.make_chip(&chip_record_);
    chip_before_ = read_file(emulated_board::CHIP);
  }

  bool chip_unchanged() const {
    return read_file(emulated_board::CHIP) == chip_before_;
  }

  emulated_board board_;
  dmi_record chip_record_;
  std::string chip_before_;
};

TEST_F(HostileInput, PathsReachTheirFilesAndNeverTheShell) {
  const dmi_record factory = make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}});
  for (const std::string& name : HOSTILE_NAMES) {
    make_coreboot_image("/tmp/board/new.rom", &factory, 'N');
    ASSERT_EQ(std::rename("/tmp/board/new.rom", name.c_str()), 0);
    const std::string config = name + ".conf";
    write_file(config, "system-sku=SKU-5\n");
    const std::string log = name + ".log";
    const std::string copy = name + ".bin";

    const child_result result = board_.run({"-u", name, "-c", config, "-l", log, "-b", copy});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_FALSE(file_exists("/tmp/board/canary")) << name;
    const dmi_record given = make_record({{FIELD_SYSTEM_SKU, "SKU-5"}});
    EXPECT_EQ(read_file(copy), record_bytes(given));
    EXPECT_EQ(image_record_bytes(emulated_board::CHIP), stored_merge(chip_record_, given));
    EXPECT_NE(read_file(log).find("Reading flash... done."), std::string::npos);
  }
}

TEST_F(HostileInput, BiosFilePathTooLongForTheCommandIsNotRun) {
  // A real 16 MiB image, so the run gets past the check of the new image to the cp command.
  std::string path = "/tmp/board";
  while (path.size() < 3900) {
    path += "/" + std::string(200, 'a');
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  }
  path += "/" + std::string(4090 - path.size(), 'i');
  write_file(path, "");
  ASSERT_EQ(::truncate(path.c_str(), FLASH_IMAGE_SIZE), 0);
  const child_result result = board_.run({"-u", path});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err.substr(result.err.rfind("Command")),
            "Command text longer than 4095 characters, not run\n");
  EXPECT_EQ(board_.calls().size(), 1u) << "the flash was read, nothing after";
  EXPECT_TRUE(chip_unchanged());
}

TEST_F(HostileInput, LogPathTooLongForTheCommandIsNeitherRunNorLogged) {
  std::string folder = "/tmp/board";
  while (folder.size() < 3900) {
    folder += "/" + std::string(200, 'd');
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  }
  const std::string log = folder + "/run.log";
  const child_result result = board_.run({"-r", "-l", log});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err, "Command text longer than 4095 characters, not run\n");
  EXPECT_TRUE(board_.calls().empty());
  EXPECT_EQ(read_file(log).find("flashrom"), std::string::npos);
  EXPECT_NE(read_file(log).find("Merged DMI values"), std::string::npos);
}

TEST_F(HostileInput, ValuesBeyondTheRecordsCapacityStopTheRunFromEverySource) {
  write_file("/tmp/board/long.conf", "system-sku=" + std::string(300, 's') + "\n");
  child_result result = board_.run({"-w", "-c", "/tmp/board/long.conf"});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            "Value of system-sku does not fit in the DMI record (222 bytes of text in all)\n");

  // Each source alone fits; together they do not.
  write_file("/tmp/board/half.conf", "system-sku=" + std::string(150, 's') + "\n");
  result =
      board_.run({"-w", "-c", "/tmp/board/half.conf", "--board-version", std::string(80, 'v')});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            "Value of board-version does not fit in the DMI record (222 bytes of text in all)\n");
  EXPECT_TRUE(board_.calls().empty());

  // A full record in the flash leaves no room for one more value.
  const dmi_record full = make_record({{FIELD_SYSTEM_MANUFACTURER, std::string(221, 'm')}});
  board_.make_chip(&full);
  chip_before_ = read_file(emulated_board::CHIP);
  result = board_.run({"-w", "--system-sku=x"});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err.substr(result.err.rfind("Value")),
            "Value of system-sku does not fit in the DMI record (222 bytes of text in all)\n");
  EXPECT_EQ(board_.calls().size(), 1u) << "the flash was read, nothing after";
  EXPECT_TRUE(chip_unchanged());
}

// A chip whose record is `record_bytes_in_chip`, as an erased or damaged flash may hold.
class DamagedRecord : public HostileInput, public testing::WithParamInterface<unsigned> {
protected:
  void SetUp() override {
    if (GetParam() == 0) {
      std::memset(damaged_.bytes, 0xff, sizeof damaged_.bytes);
    } else {
      std::mt19937 random(GetParam());
      for (std::uint8_t& byte : damaged_.bytes) {
        byte = static_cast<std::uint8_t>(random());
      }
    }
    board_.make_chip(&damaged_);
    chip_before_ = read_file(emulated_board::CHIP);
  }

  dmi_record damaged_;
};

TEST_P(DamagedRecord, ReadsPrintsAndMergesInsideTheRecord) {
  child_result result = board_.run({"-r"});
  if (GetParam() == 0) {
    // Erased: no record is stored, and a read that a script checks by its status says so.
    EXPECT_EQ(result.exit_status, 255);
    EXPECT_EQ(result.err, "No record is stored in the flash: its record area is erased\n");
  } else {
    ASSERT_EQ(result.exit_status, 0) << result.err;
    std::string report;
    print_dmi_fields(report, damaged_);
    EXPECT_EQ(result.out.substr(result.out.size() - report.size()), report);
  }

  const dmi_record given = make_record({{FIELD_BOARD_VERSION, "rev D"}});
  dmi_record merged;
  const bool fits = merge_records(merged, damaged_, given) == 0;
  result = board_.run({"-w", "--board-version=rev D"});
  if (fits) {
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(image_record_bytes(emulated_board::CHIP), stored_merge(damaged_, given));
  } else {
    EXPECT_EQ(result.exit_status, 255);
    EXPECT_NE(result.err.find("does not fit in the DMI record"), std::string::npos);
    EXPECT_TRUE(chip_unchanged());
  }
}

TEST_P(DamagedRecord, UpdateCarriesItByteForByte) {
  const dmi_record factory = make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}});
  make_coreboot_image("/tmp/board/new.rom", &factory, 'N');
  const child_result result = board_.run({"-u", "/tmp/board/new.rom"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP), record_bytes(damaged_));
}

// Seed 0 is an erased flash (all 0xFF); the others are random bytes.
INSTANTIATE_TEST_SUITE_P(ErasedAndRandom, DamagedRecord, testing::Values(0u, 1u, 2u, 3u, 4u));

// The values a configuration file gives, as the -b copy of a run without a mode saves them.
std::string values_from_config(const emulated_board& board, const std::string& content,
                               child_result& result) {
  write_file("/tmp/board/board.conf", content);
  ::unlink("/tmp/board/copy.bin");
  result = board.run({"-c", "/tmp/board/board.conf", "-b", "/tmp/board/copy.bin"});
  return read_file("/tmp/board/copy.bin");
}

TEST_F(HostileInput, AwkwardConfigurationFiles) {
  child_result result;
  EXPECT_EQ(values_from_config(board_, "system-sku=A\r\nboard-version=B\r\n", result),
            record_bytes(make_record({{FIELD_SYSTEM_SKU, "A"}, {FIELD_BOARD_VERSION, "B"}})))
      << "a carriage return before the newline is part of the line end";
  EXPECT_EQ(result.out, "Unknown Operation, Aborting...\n");

  EXPECT_EQ(
      values_from_config(board_, std::string("system-sku=AB\0CD\nboard-version=V\n", 33), result),
      record_bytes(make_record({{FIELD_SYSTEM_SKU, "AB"}, {FIELD_BOARD_VERSION, "V"}})))
      << "a line ends at a NUL byte";

  EXPECT_EQ(values_from_config(board_, "#" + std::string(65535, 'c') + "\nsystem-sku=Z\n", result),
            record_bytes(make_record({{FIELD_SYSTEM_SKU, "Z"}})));

  EXPECT_EQ(values_from_config(board_, "system-sku=" + std::string(60000, 'v') + "\n", result), "");
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            "Value of system-sku does not fit in the DMI record (222 bytes of text in all)\n");

  // A longer line ends the reading there, so memory stays bounded.
  EXPECT_EQ(values_from_config(board_, "system-sku=" + std::string(1 << 20, 'v') + "\n", result),
            "");
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err, "Line 1 of the configuration file is longer than 65536 bytes\n");

  EXPECT_EQ(
      values_from_config(board_, std::string("system-sku=Z\n\0board-version=X\n", 30), result), "");
  EXPECT_EQ(result.err,
            "Invalid field name line 2\nInvalid config file entry in /tmp/board/board.conf\n");
}

} // namespace
