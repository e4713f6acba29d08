// Tests of the command-line parsing: modes, paths, field values, help and bad options.
#include "cli/options.h"
#include "tests/test_support.h"
#include "util/fail.h"

#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string HELP_TEXT =
    "vek_smbios_util  -- version:01.00.00.01 \n"
    " Usage: vek_smbios_util -r -w -u <bios file> -c <config file> -l <log file> -b <bin file> "
    "-h -v\n"
    " -r read the DMI info from flash\n"
    " -w write the DMI info to flash\n"
    " -u update the coreboot region\n"
    " -c read DMI fields from config file\n"
    " -l log detailed information to log file\n"
    " -b save a binary copy of the updated DMI region to file\n"
    " -h help\n"
    " -v verbose\n"
    " dmi_fields:\n"
    "\tsystem-manufacturer\n"
    "\tsystem-product-name\n"
    "\tsystem-version\n"
    "\tsystem-serial-number\n"
    "\tsystem-uuid\n"
    "\tsystem-sku\n"
    "\tboard-manufacturer\n"
    "\tboard-product-name\n"
    "\tboard-version\n"
    "\tboard-serial-number\n"
    "\tchassis-manufacturer\n"
    "\tchassis-version\n"
    "\tchassis-serial-number\n"
    "\tchassis-asset-tag\n";

const char* const GOOD_UUID = "00112233-4455-6677-8899-aabbccddeeff";

// argv as main gets it: the program name, the arguments, a null pointer.
class command_line {
public:
  explicit command_line(std::vector<std::string> arguments) : strings_(std::move(arguments)) {
    strings_.insert(strings_.begin(), "vek_smbios_util");
    for (std::string& text : strings_) {
      argv_.push_back(text.data());
    }
    argv_.push_back(nullptr);
  }
  int argc() const {
    return static_cast<int>(strings_.size());
  }
  char** argv() {
    return argv_.data();
  }

private:
  std::vector<std::string> strings_;
  std::vector<char*> argv_;
};

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

  void parse(const std::vector<std::string>& arguments) {
    command_line line(arguments);
    if (const auto status = parse_arguments(line.argc(), line.argv(), settings_, record_)) {
      end_run(*status);
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
      {{"foo", "-w"}, OP_WRITE, {}},
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

TEST_F(ParseOptions, BadUuidIsOnlyAWarning) {
  const child_result alone = parse_in_child({"--system-uuid=12345"});
  EXPECT_EQ(alone.exit_status, 0);
  EXPECT_EQ(alone.out, "returned given=1 uuid=00000000-0000-0000-0000-000000000000\n");
  EXPECT_EQ(std::count(alone.err.begin(), alone.err.end(), '\n'), 1) << alone.err;
  EXPECT_NE(alone.err.find("system-uuid"), std::string::npos) << alone.err;
  EXPECT_NE(alone.err.find("12345"), std::string::npos) << alone.err;

  const child_result after_good =
      parse_in_child({std::string("--system-uuid=") + GOOD_UUID, "--system-uuid=nope"});
  EXPECT_EQ(after_good.exit_status, 0);
  EXPECT_EQ(after_good.out, "returned given=1 uuid=" + std::string(GOOD_UUID) + "\n");
}

TEST_F(ParseOptions, ValuesFillingTheRecordExactlyAreTaken) {
  parse({"--system-manufacturer=" + std::string(100, 'm'), "--system-sku", std::string(120, 's')});
  EXPECT_EQ(dmi_record_next_free(record_), 223);
  EXPECT_EQ(dmi_record_text(record_, FIELD_SYSTEM_SKU), std::string(120, 's'));
}

TEST_F(ParseOptions, HelpEndsTheRunWithZero) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"-h"}, {"-r", "-c", "x", "-h"}, {"-h", "-x"}}) {
    const child_result result = parse_in_child(arguments);
    EXPECT_EQ(result.exit_status, 0) << arguments.back();
    EXPECT_EQ(result.out, HELP_TEXT) << arguments.back();
    EXPECT_EQ(result.err, "") << arguments.back();
  }
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
    const int help_status = parse_arguments(help.argc(), help.argv(), settings, record).value();
    settings = {};
    command_line none({});
    const bool goes_on = !parse_arguments(none.argc(), none.argv(), settings, record);
    std::fprintf(stderr, "%d %d %d\n", help_status, goes_on, settings.mode);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, HELP_TEXT);
  EXPECT_EQ(result.err, "0 1 " + std::to_string(OP_NONE) + "\n");
}

} // namespace
