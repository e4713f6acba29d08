// Tests of the options that choose the target and the form of the result: -f, -n and --json.
#include "cli/options.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Parses a command line that is expected to go on to a run.
run_settings parsed(const std::vector<std::string>& arguments, dmi_record& record) {
  command_line line(arguments);
  run_settings settings;
  dmi_record_init(record);
  EXPECT_NO_THROW(parse_arguments(line.argc(), line.argv(), settings, record))
      << testing::PrintToString(arguments);
  return settings;
}

TEST(TargetOptions, ShortLongAndShortenedFormsSetTheSameSettings) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"-w", "-f", "/img/a.rom", "-n", "--json"},
           {"-wnf/img/a.rom", "--json"},
           {"--im", "/img/a.rom", "-w", "--dry", "--js"},
       }) {
    dmi_record record;
    const run_settings settings = parsed(arguments, record);
    EXPECT_EQ(settings.mode, OP_WRITE);
    EXPECT_EQ(settings.image_file, "/img/a.rom");
    EXPECT_TRUE(settings.dry_run && settings.json) << testing::PrintToString(arguments);
  }
}

TEST(TargetOptions, EveryAbbreviationOfAFieldNameKeepsItsMeaning) {
  // Each prefix that names exactly one field still names it: the new long options share no
  // prefix with a field name.
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    const std::string name = field_name(field);
    const std::string value =
        field == FIELD_SYSTEM_UUID ? "00112233-4455-6677-8899-aabbccddeeff" : "v";
    for (std::size_t length = 1; length <= name.size(); ++length) {
      const std::string prefix = name.substr(0, length);
      int matches = 0;
      for (int other = 0; other < FIELD_COUNT; ++other) {
        matches += std::string(dmi_fields[other].name).rfind(prefix, 0) == 0 ? 1 : 0;
      }
      if (matches != 1) {
        continue;
      }
      dmi_record record;
      const run_settings settings = parsed({"--" + prefix + "=" + value}, record);
      const bool set = field == FIELD_SYSTEM_UUID ? dmi_record_uuid(record)[15] == 0xff
                                                  : dmi_record_text(record, field) == "v";
      EXPECT_TRUE(set) << prefix;
      EXPECT_FALSE(settings.image_file || settings.dry_run || settings.json) << prefix;
    }
  }
}

// --expect reads, so it needs no -r; with --batch, -f and -o it checks the folder's images, and
// --row makes a batch one run of a row's values, a write or a check, on the chip or an image.
TEST(TargetOptions, ABatchIsStampedCheckedOrOneOfItsRowsRun) {
  const struct {
    std::vector<std::string> arguments;
    operating_mode mode;
    bool expect;
    const char* row;
  } cases[] = {
      {{"--expect", "-f", "a.rom", "--system-sku=S"}, OP_READ, true, ""},
      {{"--expect", "--batch", "t.csv", "-f", "m.rom", "-o", "out"}, OP_READ, true, ""},
      {{"-r", "--expect", "--batch", "t.csv", "-f", "m.rom", "-o", "out"}, OP_READ, true, ""},
      {{"-w", "--batch", "t.csv", "--row", "system-serial-number=SN=1"},
       OP_WRITE,
       false,
       "system-serial-number=SN=1"},
      {{"--expect", "--batch", "t.csv", "--row=chassis-asset-tag="},
       OP_READ,
       true,
       "chassis-asset-tag="},
      {{"-w", "-f", "a.rom", "--batch", "t.csv", "--row", "system-sku=S"},
       OP_WRITE,
       false,
       "system-sku=S"},
  };
  for (const auto& c : cases) {
    dmi_record record;
    const run_settings settings = parsed(c.arguments, record);
    EXPECT_EQ(settings.mode, c.mode) << testing::PrintToString(c.arguments);
    EXPECT_EQ(settings.expect, c.expect) << testing::PrintToString(c.arguments);
    EXPECT_EQ(settings.batch_row.value_or(""), c.row) << testing::PrintToString(c.arguments);
  }
}

// The runs on the journal take the log alone (and --restore the operator's word that the journal
// is this board's): any other option, meant for another run, is named and refused rather than
// dropped.
TEST(TargetOptions, RunsOnTheJournalTakeNoOptionButTheLog) {
  dmi_record record;
  EXPECT_TRUE(parsed({"--restore", "-l", "/tmp/log"}, record).restore);
  EXPECT_TRUE(parsed({"--same-board", "--restore"}, record).same_board);
  EXPECT_TRUE(parsed({"-l", "/tmp/log", "--discard-journal"}, record).discard_journal);
  EXPECT_TRUE(parsed({"--json", "--restore"}, record).json);
  EXPECT_TRUE(parsed({"--discard-journal", "--json"}, record).json);
  const struct {
    std::vector<std::string> arguments;
    const char* err;
  } cases[] = {
      {{"--restore", "-r"},
       "--restore takes no option but -l, --json and --same-board: -r given\n"},
      {{"-w", "--restore"},
       "--restore takes no option but -l, --json and --same-board: -w given\n"},
      {{"--restore", "-l", "x", "-u", "f"},
       "--restore takes no option but -l, --json and --same-board: -u given\n"},
      {{"--restore", "-f", "i"},
       "--restore takes no option but -l, --json and --same-board: -f given\n"},
      {{"--restore", "-n"},
       "--restore takes no option but -l, --json and --same-board: -n given\n"},
      {{"--restore", "-b", "copy.bin"},
       "--restore takes no option but -l, --json and --same-board: -b given\n"},
      {{"--restore", "-c", "board.conf"},
       "--restore takes no option but -l, --json and --same-board: -c given\n"},
      {{"--restore", "-v"},
       "--restore takes no option but -l, --json and --same-board: -v given\n"},
      {{"--restore", "--system-sku=S"},
       "--restore takes no option but -l, --json and --same-board: --system-sku given\n"},
      {{"--discard-journal", "--chassis-asset=A"},
       "--discard-journal takes no option but -l and --json: --chassis-asset-tag given\n"},
      {{"-o", "out.rom", "--discard-journal"},
       "--discard-journal takes no option but -l and --json: -o given\n"},
      {{"--same-board"}, "--same-board is for --restore: it takes the journal as this board's\n"},
      {{"--discard-journal", "--same-board"},
       "--same-board is for --restore: it takes the journal as this board's\n"},
      {{"-w", "--same-board"},
       "--same-board is for --restore: it takes the journal as this board's\n"},
      {{"--restore", "--discard-journal"},
       "--restore and --discard-journal are runs of their own: give one\n"},
  };
  for (const auto& c : cases) {
    const child_result result = run_in_child([&] {
      command_line line(c.arguments);
      run_settings settings;
      dmi_record given;
      dmi_record_init(given);
      std::exit(parse_and_show(line, settings, given).value_or(0));
    });
    EXPECT_EQ(result.exit_status, 255) << testing::PrintToString(c.arguments);
    EXPECT_EQ(result.err, c.err) << testing::PrintToString(c.arguments);
  }
}

TEST(ParseArguments, SeesJsonWhereverItCountsEvenPastTheOptionThatEndsTheParse) {
  const struct {
    std::vector<std::string> arguments;
    bool json;
  } cases[] = {
      {{"--js", "-r"}, true},
      {{"-x", "-r", "--json"}, true},            // after a bad option, so its help goes aside too
      {{"-h", "--json"}, true},                  // after -h, likewise
      {{"--system-sku", "--json", "-r"}, false}, // the value of --system-sku
      {{"-f", "--json", "-r"}, false},           // the image file's name
      {{"-r", "--", "--json"}, false},           // after the end of the options
  };
  for (const auto& c : cases) {
    const child_result result = run_in_child([&] {
      command_line line(c.arguments);
      run_settings settings;
      dmi_record record;
      dmi_record_init(record);
      try {
        parse_arguments(line.argc(), line.argv(), settings, record);
      } catch (const run_failure&) {
        // The settings hold what was read all the same.
      }
      std::printf("%d", settings.json);
    });
    EXPECT_EQ(result.out, c.json ? "1" : "0") << testing::PrintToString(c.arguments);
  }
}

} // namespace
