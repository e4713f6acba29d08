// Tests of the command-line parsing: modes, paths, field values, help and bad options.
#include "cli/options.h"
#include "tests/test_support.h"
#include "util/failure.h"

#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The help text, as the run shows it.
const std::string HELP_TEXT = help_text();

const char* const GOOD_UUID = "00112233-4455-6677-8899-aabbccddeeff";

std::string uuid_text(const dmi_record& record) {
  char text[37];
  uuid_unparse(dmi_record_uuid(record), text);
  return text;
}

class ParseOptions : public testing::Test {
protected:
  void SetUp() override {
    dmi_record_init(record_);
  }

  // As main does: the text the parse asks for is shown after it, then the run ends.
  void parse(const std::vector<std::string>& arguments) {
    command_line line(arguments);
    if (const auto status = parse_and_show(line, settings_, record_)) {
      std::exit(*status);
    }
  }

  // Parses in a child; what the child prints after a parse that returned is in `out`.
  child_result parse_in_child(const std::vector<std::string>& arguments) {
    return run_in_child([&] {
      parse(arguments);
      std::printf("returned given=%d uuid=%s\n", settings_.fields_given,
                  uuid_text(record_).c_str());
    });
  }

  run_settings settings_;
  dmi_record record_;
};

TEST_F(ParseOptions, FieldOptionForms) {
  struct form {
    std::vector<std::string> arguments;
    std::vector<std::pair<field_id, std::string>> expected;
  };
  const std::vector<form> forms = {
      {{"--board-version=X"}, {{FIELD_BOARD_VERSION, "X"}}},
      {{"--board-version", "X Y"}, {{FIELD_BOARD_VERSION, "X Y"}}},
      {{"--chassis-asset=T"}, {{FIELD_CHASSIS_ASSET_TAG, "T"}}},
      {{"--system-manufacturer=M"}, {{FIELD_SYSTEM_MANUFACTURER, "M"}}},
      {{"--system-sku="}, {{FIELD_SYSTEM_SKU, ""}}},
      {{"--system-sku=a=b"}, {{FIELD_SYSTEM_SKU, "a=b"}}},
      {{"--system-sku=caf\xc3\xa9 \x80\xff"}, {{FIELD_SYSTEM_SKU, "caf\xc3\xa9 \x80\xff"}}},
      {{"--system-sku=one", "--system-sku=two"},
       {{FIELD_SYSTEM_SKU, "one"}, {FIELD_SYSTEM_SKU, "two"}}},
      {{"--chassis-version=c", "--system-version=s"},
       {{FIELD_CHASSIS_VERSION, "c"}, {FIELD_SYSTEM_VERSION, "s"}}},
  };
  for (const form& f : forms) {
    settings_ = {};
    dmi_record_init(record_);
    parse(f.arguments);
    EXPECT_TRUE(settings_.fields_given) << f.arguments[0];
    EXPECT_EQ(record_bytes(record_), record_bytes(make_record(f.expected))) << f.arguments[0];
  }
}

TEST_F(ParseOptions, Modes) {
  struct mode_case {
    std::vector<std::string> arguments;
    operating_mode mode;
    std::optional<std::string> bios_file;
  };
  const std::vector<mode_case> cases = {
      {{}, OP_NONE, {}},
      {{"-r"}, OP_READ, {}},
      {{"-w"}, OP_WRITE, {}},
      {{"-u", "f"}, OP_UPDATE, "f"},
      {{"-uf"}, OP_UPDATE, "f"},
      {{"-u", "f", "-r"}, OP_READ, "f"},
      {{"-u", "a", "-u", "b"}, OP_UPDATE, "b"},
      {{"-r", "-u", "f"}, OP_UPDATE, "f"},
      {{"-u", "f", "--chassis-asset-tag=T"}, OP_UPDATE_DMI, "f"},
      {{"--chassis-asset-tag=T", "-u", "f"}, OP_UPDATE_DMI, "f"},
      {{"-u", "f", "--system-uuid", GOOD_UUID}, OP_UPDATE_DMI, "f"},
      {{"-w", "--chassis-asset-tag=T"}, OP_WRITE, {}},
      {{"-u", "f", "-c", "c"}, OP_UPDATE, "f"},
  };
  for (const mode_case& c : cases) {
    settings_ = {};
    parse(c.arguments);
    const std::string shown = c.arguments.empty() ? "(none)" : c.arguments[0];
    EXPECT_EQ(settings_.mode, c.mode) << shown;
    EXPECT_EQ(settings_.bios_file, c.bios_file) << shown;
  }
}

TEST_F(ParseOptions, PathsAndVerbose) {
  parse({"-r"});
  EXPECT_EQ(settings_.config_path, std::nullopt);
  EXPECT_EQ(settings_.copy_path, std::nullopt);
  EXPECT_EQ(settings_.log_path, std::nullopt);
  EXPECT_EQ(settings_.verbose, 0);
  EXPECT_FALSE(settings_.fields_given);
  EXPECT_EQ(record_bytes(record_), record_bytes(make_record({})));

  parse({"-c", "a.conf", "-l", "a.log", "-b", "a.bin", "-v", "-c", "b.conf", "-l", "b.log", "-b",
         "b.bin"});
  EXPECT_EQ(settings_.config_path, "b.conf");
  EXPECT_EQ(settings_.log_path, "b.log");
  EXPECT_EQ(settings_.copy_path, "b.bin");
  EXPECT_EQ(settings_.verbose, 1);
  EXPECT_FALSE(settings_.fields_given);
}

TEST_F(ParseOptions, GoodUuidSetsOnlyTheUuidBytes) {
  parse({"--system-uuid", GOOD_UUID});
  EXPECT_TRUE(settings_.fields_given);
  dmi_record expected = make_record({});
  ASSERT_EQ(dmi_record_parse_uuid(expected, GOOD_UUID), 0);
  EXPECT_EQ(record_bytes(record_), record_bytes(expected));
}

TEST_F(ParseOptions, RefusedValuesAndStrayWordsEndTheParseLeavingTheRecord) {
  const std::string uuid = GOOD_UUID, not_uuid = "' is not a UUID\n";
  const std::string control = " holds a control character\n";
  const std::string stray = "': values are given as --NAME=VALUE\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-w", "--system-uuid="}, "system-uuid value '" + not_uuid},
      {{"--system-uuid=not-a-uuid"}, "system-uuid value 'not-a-uuid" + not_uuid},
      {{"--system-uuid", "{" + uuid + "}"}, "system-uuid value '{" + uuid + "}" + not_uuid},
      {{"--system-uuid=00112233445566778899aabbccddeeff"},
       "system-uuid value '00112233445566778899aabbccddeeff" + not_uuid},
      {{"--system-uuid= " + uuid}, "system-uuid value ' " + uuid + not_uuid},
      {{"--system-uuid=x\n y\t"}, "system-uuid value 'x\\012 y\\011" + not_uuid},
      {{"--chassis-version=x'\n chassis-serial-number:\t'SPOOFED"},
       "Value of chassis-version" + control},
      {{"--system-sku", "\x7f"}, "Value of system-sku" + control},
      {{"-w", "system-serial-number=NEW1"},
       "Unexpected argument 'system-serial-number=NEW1" + stray},
      {{"-r", "--", "two\nlines"}, "Unexpected argument 'two\\012lines" + stray},
      // All zero reads as "not set": stored, the old UUID would stay without a word.
      {{"--system-uuid=00000000-0000-0000-0000-000000000000"},
       "system-uuid value '00000000-0000-0000-0000-000000000000' is all zero, which means \"not "
       "set\" and cannot be stored\n"},
      // Either of two image or output files could be the wrong one to stamp.
      {{"-w", "-f", "e.rom", "-f", "base.rom"}, "-f given more than once; give it one file\n"},
      {{"-w", "-f", "a", "-o", "b", "--output=c"}, "-o given more than once; give it one file\n"},
      {{"-w", "-o", "b"}, "-o needs -f: the output file is made from an image file\n"},
      {{"-r", "-f", "a", "-o", "b"}, "-o is for -w and -u: -r writes nothing\n"},
      // A batch stamps, or with --expect checks, a folder; --row picks one row to write or check.
      {{"-r", "--batch", "t.csv", "-f", "a", "-o", "d"},
       "-o is for -w and -u: -r writes nothing\n"},
      {{"--expect", "--batch", "t.csv", "-f", "a"},
       "--expect --batch needs -f and -o: it checks the images of a folder against those the "
       "image file makes\n"},
      {{"-w", "--row", "system-serial-number=SN-1"},
       "--row needs --batch: it picks a row of the batch table\n"},
      {{"-w", "--batch", "t.csv", "--row", "serial=SN-1"},
       "--row takes FIELD=VALUE, FIELD a field name: 'serial=SN-1' is not\n"},
      {{"-w", "--batch", "t.csv", "--row", "system-sku"},
       "--row takes FIELD=VALUE, FIELD a field name: 'system-sku' is not\n"},
      {{"-u", "new.rom", "--batch", "t.csv", "--row", "system-sku=S"},
       "--row is for -w, or for -r with --expect: it writes or checks one board\n"},
      {{"-w", "--batch", "t.csv", "--row", "system-sku=S", "--row", "system-sku=T"},
       "--row given more than once; give it one row\n"},
  };
  // Values taken before the refused one, which must leave the record as they made it.
  dmi_record given = make_record({{FIELD_SYSTEM_SKU, "A"}});
  ASSERT_EQ(dmi_record_parse_uuid(given, GOOD_UUID), 0);
  for (const auto& [arguments, err] : cases) {
    std::vector<std::string> all = {"--system-sku=A", "--system-uuid=" + uuid};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const child_result result = run_in_child([&] {
      command_line line(all);
      const auto status = parse_and_show(line, settings_, record_);
      std::printf("%d ", status.value_or(-1));
      std::fwrite(record_.bytes, 1, sizeof record_.bytes, stdout);
    });
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.out, "255 " + record_bytes(given)) << err;
  }
}

TEST_F(ParseOptions, SeveralModesWarnAndTheLastIsTaken) {
  const child_result several = parse_in_child({"-w", "--system-sku=S", "-u", "f", "-r"});
  EXPECT_EQ(several.err,
            "Warning: more than one of -r, -w, -u given; the last one, -r, is taken\n");
  EXPECT_EQ(parse_in_child({"-u", "a", "-u", "b"}).err, "") << "one mode given twice";
  const child_result paths =
      parse_in_child({"-c", "a", "-c", "b", "-l", "x", "-b", "p", "-b", "q\n"});
  EXPECT_EQ(paths.exit_status, 0);
  EXPECT_EQ(paths.err, "Warning: -c given more than once; the last one, b, is taken\n"
                       "Warning: -b given more than once; the last one, q\\012, is taken\n");
}

TEST_F(ParseOptions, ValuesFillingTheRecordExactlyAreTaken) {
  parse({"--system-manufacturer=" + std::string(100, 'm'), "--system-sku", std::string(120, 's')});
  EXPECT_EQ(dmi_record_next_free(record_), 223);
  EXPECT_EQ(dmi_record_text(record_, FIELD_SYSTEM_SKU), std::string(120, 's'));
}

TEST_F(ParseOptions, HelpEndsTheRunWithZero) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"-h"},
                                             {"--help"},
                                             {"-r", "-c", "x", "-h"},
                                             {"-h", "-x"},
                                             {"-r", "system-sku=S", "-w", "-h"}}) {
    const child_result result = parse_in_child(arguments);
    EXPECT_EQ(result.exit_status, 0) << arguments.back();
    EXPECT_EQ(result.out, HELP_TEXT) << arguments.back();
    EXPECT_EQ(result.err, "") << arguments.back();
  }
}

// The help names the release and every field in table order, and every option it names is one
// the command line takes, with an argument where the help shows one.
TEST(HelpText, NamesTheVersionTheFieldsAndOnlyOptionsThatExist) {
  std::istringstream lines(HELP_TEXT);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "vek_smbios_util  -- version:01.00.00.01 ");
  std::vector<std::string> fields;
  int options = 0;
  while (std::getline(lines, line)) {
    if (line.starts_with("\t")) {
      fields.push_back(line.substr(1));
      continue;
    }
    if (!line.starts_with(" -") || line.starts_with(" -h") || line.starts_with(" --help")) {
      continue;
    }
    const std::string option = line.substr(1, line.find(' ', 1) - 1);
    // Taken alone, or with an argument (a file name) when it asks for one; getopt_long's own
    // complaint about the missing argument is not wanted here.
    const int saved_opterr = opterr;
    opterr = 0;
    bool taken = false;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{option}, std::vector<std::string>{option, "x"}}) {
      command_line parsed(arguments);
      run_settings settings;
      dmi_record record;
      dmi_record_init(record);
      try {
        parse_arguments(parsed.argc(), parsed.argv(), settings, record);
        taken = true;
      } catch (const run_failure& failure) {
        // Refused for what the option asks of the run, not as an option getopt does not know.
        taken = taken || failure.subject() != option;
      }
      reset_process_state();
    }
    opterr = saved_opterr;
    EXPECT_TRUE(taken) << option << " is not an option the command line takes";
    ++options;
  }
  EXPECT_GE(options, 13);
  ASSERT_EQ(fields.size(), static_cast<std::size_t>(FIELD_COUNT));
  for (int id = 0; id < FIELD_COUNT; ++id) {
    EXPECT_EQ(fields[id], field_name(static_cast<field_id>(id)));
  }
}

TEST_F(ParseOptions, VersionIsTheProjectsOnOneLine) {
  const child_result result = parse_in_child({"-w", "--version", "-x"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "vek_smbios_util " VEK_SMBIOS_UTIL_VERSION "\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(ParseOptions, BadOptionEndsTheRunWithHelp) {
  // getopt words its diagnostic its own way (glibc and FreeBSD differ); it must name the option.
  const struct {
    std::vector<std::string> arguments;
    const char* named;
  } cases[] = {
      {{"-r", "-x"}, "x"},
      {{"-r", "-c"}, "c"},
      {{"-u"}, "u"},
      {{"--system-sku"}, "system-sku"},
      {{"--no-such-field=1"}, "no-such-field"},
      {{"--system=1"}, "system"}, // a prefix of several fields
  };
  for (const auto& c : cases) {
    const child_result result = parse_in_child(c.arguments);
    EXPECT_EQ(result.exit_status, EXIT_TOOL_ERROR) << c.arguments.back();
    EXPECT_EQ(result.out, HELP_TEXT) << c.arguments.back();
    EXPECT_TRUE(names_option(result.err, c.named)) << result.err;
  }
}

TEST_F(ParseOptions, ValueBeyondTheRecordEndsTheRun) {
  // One text may hold 221 bytes: with its NUL it fills the whole text area.
  for (int id = 0; id < FIELD_COUNT; ++id) {
    if (id == FIELD_SYSTEM_UUID) {
      continue;
    }
    const std::string name = field_name(static_cast<field_id>(id));
    const child_result result = parse_in_child({"--" + name + "=" + std::string(222, 'x')});
    EXPECT_EQ(result.exit_status, EXIT_TOOL_ERROR) << name;
    EXPECT_EQ(result.out, "") << name;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find(" " + name + " "), std::string::npos) << result.err;
  }

  const child_result one_more = parse_in_child(
      {"--system-manufacturer=" + std::string(100, 'm'), "--system-sku", std::string(121, 's')});
  EXPECT_EQ(one_more.exit_status, EXIT_TOOL_ERROR);
  EXPECT_EQ(one_more.out, "");
  EXPECT_EQ(std::count(one_more.err.begin(), one_more.err.end(), '\n'), 1) << one_more.err;
  EXPECT_NE(one_more.err.find(" system-sku "), std::string::npos) << one_more.err;
}

TEST(ParseArguments, StartsAfreshAfterStoppingInsideAGroup) {
  // -h stops the parse with "w" of the group still pending; the next parse must not see it.
  const child_result result = run_in_child([] {
    run_settings settings;
    dmi_record record;
    dmi_record_init(record);
    command_line help({"-hw"});
    const int help_status = parse_and_show(help, settings, record).value();
    settings = {};
    command_line none({});
    const bool goes_on = !parse_and_show(none, settings, record);
    std::fprintf(stderr, "%d %d %d\n", help_status, goes_on, settings.mode);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, HELP_TEXT);
  EXPECT_EQ(result.err, "0 1 " + std::to_string(OP_NONE) + "\n");
}

} // namespace
