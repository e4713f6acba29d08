// Tests of the run sequence and the modes, with the outside programs played in-process.
#include "flash_target/journal.h"
#include "run/run_tool.h"
#include "system/flash_files.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

namespace {

const char* const CHIP_RECORD = "/tmp/chip_record"; // the record in the emulated chip
const char* const NEW_RECORD = "/tmp/new_record";   // the record in the new firmware image
const char* const COMMANDS = "/tmp/commands";       // the commands run, a line each

const std::string READ_COMMAND =
    "flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i coreboot -r "
    "/tmp/flash_backup.bin";
const std::string WRITE_COMMAND =
    "flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i coreboot -w "
    "/tmp/flash_backup.bin";
const std::string REMOVE_COMMAND = "cbfstool /tmp/flash_backup.bin remove -n vek_smbios";
const std::string ADD_COMMAND = "cbfstool /tmp/flash_backup.bin add -f /tmp/dmi.bin -n vek_smbios "
                                "-t struct -r COREBOOT -b  0xffff0100";

// Plays flashrom, cp and cbfstool on the working image, keeping only the record region.
void play_outside_programs(const std::string& command) {
  FILE* log = std::fopen(COMMANDS, "a");
  std::fprintf(log, "%s\n", command.c_str());
  std::fclose(log);
  if (command.find(" -r /tmp/flash_backup.bin") != std::string::npos) {
    make_image(WORKING_IMAGE_PATH, read_file(CHIP_RECORD));
  } else if (command.rfind("cp ", 0) == 0) {
    make_image(WORKING_IMAGE_PATH, read_file(NEW_RECORD));
  } else if (command.find(" add -f /tmp/dmi.bin") != std::string::npos) {
    make_image(WORKING_IMAGE_PATH, read_file(DMI_RECORD_FILE_PATH));
  } else if (command.find(" -w /tmp/flash_backup.bin") != std::string::npos) {
    write_file(CHIP_RECORD, image_record_bytes(WORKING_IMAGE_PATH));
  }
}

class RunTool : public testing::Test {
protected:
  void SetUp() override {
    dmi_record_init(cmdline_);
    // Not compact (a field set twice) and with a marker, so a byte-for-byte carry shows.
    chip_ = make_record({{FIELD_SYSTEM_MANUFACTURER, "Chip Vendor"},
                         {FIELD_SYSTEM_SKU, "old"},
                         {FIELD_SYSTEM_SKU, "SKU-9"}});
    dmi_record_set_marker(chip_, 0x1234);
    write_file(CHIP_RECORD, record_bytes(chip_));
    write_file(NEW_RECORD, record_bytes(make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}})));
  }

  // A new firmware image of the right size at `path`; cp is played by the recorder.
  static void make_new_image(const char* path) {
    write_file(path, "");
    ASSERT_EQ(::truncate(path, FLASH_IMAGE_SIZE), 0);
  }

  // Runs the sequence in a child, as main would after parsing.
  child_result run() {
    return run_in_child([this] {
      shell_recorder shell({}, play_outside_programs);
      run_tool(settings_, cmdline_, shell.out(), shell);
      std::printf("run_tool: done\n");
    });
  }

  std::string stored() const {
    return read_file(CHIP_RECORD);
  }

  run_settings settings_;
  dmi_record cmdline_;
  dmi_record chip_;
};

TEST_F(RunTool, CopyHoldsTheGatheredValuesAndTheFlashGetsThemOverItsOwn) {
  write_file("/tmp/board.conf", "system-sku=from file\nboard-version=from file\n");
  ASSERT_EQ(dmi_record_set_text(cmdline_, FIELD_BOARD_VERSION, "from options"), 0);
  settings_.mode = OP_WRITE;
  settings_.config_path = "/tmp/board.conf";
  settings_.copy_path = "/tmp/copy.bin";

  const child_result result = run();
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const dmi_record gathered =
      make_record({{FIELD_SYSTEM_SKU, "from file"}, {FIELD_BOARD_VERSION, "from options"}});
  EXPECT_EQ(read_file("/tmp/copy.bin"), record_bytes(gathered));
  EXPECT_EQ(stored(), stored_merge(chip_, gathered));
  EXPECT_EQ(read_lines(COMMANDS),
            (std::vector<std::string>{READ_COMMAND, REMOVE_COMMAND, ADD_COMMAND, WRITE_COMMAND}));
}

TEST_F(RunTool, PlainUpdateCarriesTheChipsRecordByteForByte) {
  settings_.mode = OP_UPDATE;
  settings_.bios_file = "/tmp/new firmware.rom";
  make_new_image("/tmp/new firmware.rom");
  const child_result result = run();
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(stored(), record_bytes(chip_));
  EXPECT_EQ(
      read_lines(COMMANDS),
      (std::vector<std::string>{READ_COMMAND, "cp '/tmp/new firmware.rom' /tmp/flash_backup.bin",
                                REMOVE_COMMAND, ADD_COMMAND, WRITE_COMMAND}));
}

TEST_F(RunTool, UpdateWithAConfigurationFileOfCommentsOnlyStoresTheRecordMerged) {
  write_file("/tmp/board.conf", "# nothing to set\n");
  settings_.mode = OP_UPDATE;
  settings_.bios_file = "/tmp/new.rom";
  make_new_image("/tmp/new.rom");
  settings_.config_path = "/tmp/board.conf";
  const child_result result = run();
  ASSERT_EQ(result.exit_status, 0) << result.err;
  dmi_record nothing;
  dmi_record_init(nothing);
  EXPECT_EQ(stored(), stored_merge(chip_, nothing));
}

TEST_F(RunTool, UpdateWithValuesLaysThemOverTheChipsRecord) {
  ASSERT_EQ(dmi_record_parse_uuid(cmdline_, "00112233-4455-6677-8899-aabbccddeeff"), 0);
  settings_.mode = OP_UPDATE_DMI;
  settings_.bios_file = "/tmp/new.rom";
  make_new_image("/tmp/new.rom");
  const child_result result = run();
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(stored(), stored_merge(chip_, cmdline_));
}

TEST_F(RunTool, LogWithoutAConfigurationFileStartsWithTheCommandLineBlock) {
  settings_.log_path = "/tmp/run.log";
  settings_.mode = OP_READ;
  const child_result result = run();
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::string log = read_file("/tmp/run.log");
  EXPECT_EQ(log.rfind("\nDMI fields from commandline:\n-----\nType 1 Fields:\n", 0), 0u);
  EXPECT_NE(log.find("\nMerged DMI values to write to flash:\n-----\nType 1 Fields:\n"),
            std::string::npos);
  EXPECT_EQ(log.find("DMI fields from /"), std::string::npos);
}

TEST_F(RunTool, ReadModePrintsTheChipsRecordLast) {
  settings_.mode = OP_READ;
  const child_result result = run();
  ASSERT_EQ(result.exit_status, 0);
  const std::string expected_tail = " system-manufacturer:\t'Chip Vendor'\n";
  EXPECT_NE(result.out.find(expected_tail), std::string::npos);
  EXPECT_NE(result.out.find(" chassis-asset-tag:\t''\nrun_tool: done\n"), std::string::npos);
}

struct early_failure {
  const char* name;
  std::function<void(run_settings&)> arrange;
  const char* err;
  const char* out_tail;
};

TEST_F(RunTool, FailuresBeforeTheModeWriteNothingAfterThem) {
  const early_failure cases[] = {
      {"bad entry",
       [](run_settings& s) {
         write_file("/tmp/bad.conf", "system-sku=x\nsystem_sku=y\n");
         s.config_path = "/tmp/bad.conf";
       },
       "Invalid field name line 2\nInvalid config file entry in /tmp/bad.conf\n", ""},
      {"missing config", [](run_settings& s) { s.config_path = "/tmp/none.conf"; },
       "Unable to open config file /tmp/none.conf: No such file or directory\n", ""},
      {"unreadable config", [](run_settings& s) { s.config_path = "/tmp"; },
       "config parsing failed: Is a directory\n", ""},
      {"unopenable copy", [](run_settings& s) { s.copy_path = "/tmp/no/copy.bin"; },
       "Unable to open /tmp/no/copy.bin for writing: No such file or directory\n", ""},
      {"full device", [](run_settings& s) { s.copy_path = "/dev/full"; },
       "Unable to write /dev/full: No space left on device\n", ""},
  };
  std::string not_tried;
  for (const early_failure& c : cases) {
    run_settings settings;
    settings.mode = OP_WRITE;
    c.arrange(settings);
    if (settings.copy_path == "/dev/full" && !devices_are_roots()) {
      not_tried += c.name;
      continue;
    }
    settings_ = settings;
    const child_result result = run();
    EXPECT_EQ(result.exit_status, 255) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.out, c.out_tail) << c.name;
    EXPECT_FALSE(file_exists("/tmp/bios_layout")) << c.name;
    EXPECT_FALSE(file_exists(COMMANDS)) << c.name;
  }
  if (!not_tried.empty()) {
    GTEST_SKIP() << "not tried, /dev/full is not root's in this user namespace: " << not_tried;
  }
}

TEST_F(RunTool, LinkAtTheLayoutFilesNameEndsTheRunBeforeTheFlash) {
  ASSERT_EQ(::symlink("/tmp/elsewhere", "/tmp/bios_layout"), 0);
  settings_.mode = OP_WRITE;
  const child_result result = run();
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err, "Refusing to use /tmp/bios_layout: it is a symbolic link\n");
  EXPECT_FALSE(file_exists("/tmp/elsewhere"));
  EXPECT_FALSE(file_exists(COMMANDS));
}

TEST_F(RunTool, ValuesThatDoNotFitTogetherStopTheRunBeforeAnyWrite) {
  // Seven 30-character values in the file and six on the command line: 403 bytes in all.
  std::string config;
  for (int field = 0; field < 7; ++field) {
    config += std::string(field_name(static_cast<field_id>(field + (field >= 4)))) + "=" +
              std::string(30, 'f') + "\n";
  }
  write_file("/tmp/board.conf", config);
  for (int field = 8; field < FIELD_COUNT; ++field) {
    ASSERT_EQ(dmi_record_set_text(cmdline_, static_cast<field_id>(field), std::string(30, 'c')), 0);
  }
  settings_.log_path = "/tmp/run.log";
  settings_.mode = OP_WRITE;
  settings_.config_path = "/tmp/board.conf";
  settings_.copy_path = "/tmp/copy.bin";
  const child_result result = run();
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            "Value of board-version does not fit in the DMI record (222 bytes of text in "
            "all)\n");
  EXPECT_EQ(read_file("/tmp/run.log"), "");
  EXPECT_FALSE(file_exists("/tmp/copy.bin"));
  EXPECT_FALSE(file_exists(COMMANDS));
}

TEST_F(RunTool, ValueThatDoesNotFitBesideAFullFlashRecordLeavesTheChip) {
  write_file(CHIP_RECORD,
             record_bytes(make_record({{FIELD_SYSTEM_MANUFACTURER, std::string(221, 'm')}})));
  const std::string before = read_file(CHIP_RECORD);
  ASSERT_EQ(dmi_record_set_text(cmdline_, FIELD_SYSTEM_SKU, "x"), 0);
  settings_.mode = OP_UPDATE_DMI;
  settings_.bios_file = "/tmp/new.rom";
  make_new_image("/tmp/new.rom");
  const child_result result = run();
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err, "Value of system-sku does not fit in the DMI record (222 bytes of text in "
                        "all)\n");
  EXPECT_EQ(read_lines(COMMANDS), std::vector<std::string>{READ_COMMAND}) << "no cp, no cbfstool";
  EXPECT_EQ(read_file(CHIP_RECORD), before);
}

// With --strict, a placeholder the chip's record would carry into a field the run does not set is
// refused as a given one is, before anything is written; a run that sets the field, or one without
// --strict, stores as before.
TEST_F(RunTool, WithStrictAPlaceholderTheChipWouldCarryEndsTheRunBeforeAnyWrite) {
  write_file(CHIP_RECORD,
             record_bytes(make_record({{FIELD_SYSTEM_MANUFACTURER, "To be filled by O.E.M."},
                                       {FIELD_SYSTEM_SKU, "SKU-9"}})));
  const std::string before = read_file(CHIP_RECORD);
  const std::string refusal = "Value of system-manufacturer carried over from the flash is the "
                              "placeholder \"To be filled by O.E.M.\": give the field a value\n";
  const struct {
    const char* name;
    operating_mode mode;
    bool strict;
    const char* manufacturer; // given on the command line, or nullptr
    const char* err;
  } cases[] = {
      {"write", OP_WRITE, true, nullptr, refusal.c_str()},
      {"plain update", OP_UPDATE, true, nullptr, refusal.c_str()},
      {"write setting the field", OP_WRITE, true, "Vendor", ""},
      {"write without --strict", OP_WRITE, false, nullptr, ""},
  };
  for (const auto& c : cases) {
    write_file(CHIP_RECORD, before);
    ::unlink(COMMANDS);
    // A run refused after the chip was read leaves the journal it began, which the next run
    // drops with a notice: each case starts without one.
    std::filesystem::remove_all(STATE_FOLDER);
    settings_ = run_settings();
    settings_.mode = c.mode;
    settings_.strict = c.strict;
    settings_.bios_file = "/tmp/new.rom";
    make_new_image("/tmp/new.rom");
    dmi_record_init(cmdline_);
    if (c.manufacturer != nullptr) {
      ASSERT_EQ(dmi_record_set_text(cmdline_, FIELD_SYSTEM_MANUFACTURER, c.manufacturer), 0);
    }
    const child_result result = run();
    EXPECT_EQ(result.err, c.err) << c.name;
    if (*c.err != '\0') {
      EXPECT_EQ(result.exit_status, 255) << c.name;
      EXPECT_EQ(read_lines(COMMANDS), std::vector<std::string>{READ_COMMAND}) << c.name;
      EXPECT_EQ(read_file(CHIP_RECORD), before) << c.name;
    } else {
      EXPECT_EQ(result.exit_status, 0) << c.name;
      EXPECT_NE(read_file(CHIP_RECORD), before) << c.name;
    }
  }
}

} // namespace
