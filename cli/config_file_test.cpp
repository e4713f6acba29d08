// Tests of the configuration file reader: entries, line numbers, odd bytes and read errors.
#include "cli/config_file.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using text_list = std::vector<std::pair<field_id, std::string>>;

const char* const UUID_A = "00112233-4455-6677-8899-aabbccddeeff";

// What parse_config_file returned, the record it left and why it stopped.
struct parsed_file {
  config_result status = config_result::read_error;
  std::string record;
  std::string err;
};

// Reads `stream_of()` into a fresh record in a child, so standard error can be captured.
parsed_file parse_stream(const std::function<std::FILE*()>& stream_of) {
  const child_result child = run_in_child([&] {
    dmi_record record;
    dmi_record_init(record);
    std::FILE* stream = stream_of();
    if (stream == nullptr) {
      std::perror("no stream");
      return;
    }
    const config_outcome outcome = parse_config_file(record, stream);
    const config_result status = outcome.result;
    std::fclose(stream);
    std::fputs(outcome.why.c_str(), stderr);
    std::fwrite(&status, sizeof status, 1, stdout);
    std::fwrite(record.bytes, sizeof record.bytes, 1, stdout);
  });
  parsed_file result;
  EXPECT_EQ(child.exit_status, 0);
  EXPECT_EQ(child.out.size(), sizeof(config_result) + DMI_RECORD_SIZE) << child.err;
  if (child.out.size() == sizeof(config_result) + DMI_RECORD_SIZE) {
    std::memcpy(&result.status, child.out.data(), sizeof(config_result));
    result.record = child.out.substr(sizeof(config_result));
  }
  result.err = child.err;
  return result;
}

// Reads `text`, NUL bytes included, as the configuration file.
parsed_file parse_text(std::string text) {
  return parse_stream([&] { return fmemopen(text.data(), text.size(), "r"); });
}

// A text with NUL bytes in it, all of the literal but its final NUL.
template <std::size_t N> std::string with_nul(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

std::string record_of(const text_list& texts, const char* uuid = nullptr) {
  dmi_record record = make_record(texts);
  if (uuid != nullptr) {
    EXPECT_EQ(dmi_record_parse_uuid(record, uuid), 0);
  }
  return record_bytes(record);
}

std::size_t line_count(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ConfigFile, AcceptedFiles) {
  struct accepted {
    std::string text;
    std::string record;
  };
  const std::vector<accepted> cases = {
      {"", record_of({})},
      {"# line station 4\n#system-sku=X\n", record_of({})},
      {"\n\n# comment\n\n", record_of({})},
      {"system-version=a=b\n", record_of({{FIELD_SYSTEM_VERSION, "a=b"}})},
      {"system-manufacturer= Acme  Inc \n",
       record_of({{FIELD_SYSTEM_MANUFACTURER, " Acme  Inc "}})},
      {"system-sku=\n", record_of({{FIELD_SYSTEM_SKU, ""}})},
      {"system-sku=one\nsystem-sku=two\n",
       record_of({{FIELD_SYSTEM_SKU, "one"}, {FIELD_SYSTEM_SKU, "two"}})},
      {"chassis-asset-tag=T\n\nboard-version=B\n",
       record_of({{FIELD_CHASSIS_ASSET_TAG, "T"}, {FIELD_BOARD_VERSION, "B"}})},
      {"system-uuid=" + std::string(UUID_A) + "\n", record_of({}, UUID_A)},
      // A last line without a line end keeps all of its value.
      {"system-sku=ABC", record_of({{FIELD_SYSTEM_SKU, "ABC"}})},
      {"board-version=B\nsystem-sku=",
       record_of({{FIELD_BOARD_VERSION, "B"}, {FIELD_SYSTEM_SKU, ""}})},
      // A Windows editor's file: a byte-order mark, "\r\n" line ends, a blank "\r\n" line.
      {"\xEF\xBB\xBFsystem-sku=X\r\n\r\nsystem-uuid=" + std::string(UUID_A) + "\r\n",
       record_of({{FIELD_SYSTEM_SKU, "X"}}, UUID_A)},
      {"\xEF\xBB\xBF", record_of({})},
      {"system-sku=caf\xc3\xa9 \x80\xff\n",
       record_of({{FIELD_SYSTEM_SKU, "caf\xc3\xa9 \x80\xff"}})},
      // The line ends at a NUL byte; what follows it is ignored.
      {with_nul("system-sku=AB\0CD\n"), record_of({{FIELD_SYSTEM_SKU, "AB"}})},
  };
  for (const accepted& c : cases) {
    const parsed_file result = parse_text(c.text);
    EXPECT_EQ(result.status, config_result::taken) << c.text;
    EXPECT_EQ(result.err, "") << c.text;
    EXPECT_EQ(result.record, c.record) << c.text;
  }
}

TEST(ConfigFile, BadEntryStopsWithItsLineNumber) {
  struct rejected {
    std::string text;
    int line;
    std::string record; // what the lines before it set
  };
  const std::vector<rejected> cases = {
      {"system-manufacturer=M\n\n# comment\nsystem-version=V\n\nsystem-sku=S\nbogus=1\n"
       "board-version=late\n",
       7,
       record_of({{FIELD_SYSTEM_MANUFACTURER, "M"},
                  {FIELD_SYSTEM_VERSION, "V"},
                  {FIELD_SYSTEM_SKU, "S"}})},
      {"system-sku =X\n", 1, record_of({})},
      {"System-SKU=X\n", 1, record_of({})},
      {"=X\n", 1, record_of({})},
      {" # comment\n", 1, record_of({})},
      {"system-sku=A\n\r\r\n", 2, record_of({{FIELD_SYSTEM_SKU, "A"}})},
      // A byte-order mark counts only at the very start of the file.
      {"\r\n\xEF\xBB\xBFsystem-sku=X\n", 2, record_of({})},
      {"system-sku\n", 1, record_of({})},
      {"# c\nsystem-uuid\n", 2, record_of({})},
      {with_nul("system-sku=A\n\0abc\nsystem-version=V\n"), 2,
       record_of({{FIELD_SYSTEM_SKU, "A"}})},
  };
  for (const rejected& c : cases) {
    const parsed_file result = parse_text(c.text);
    EXPECT_EQ(result.status, config_result::bad_entry) << c.text;
    EXPECT_EQ(result.err, "Invalid field name line " + std::to_string(c.line) + "\n") << c.text;
    EXPECT_EQ(result.record, c.record) << c.text;
  }
}

TEST(ConfigFile, RefusedValueStopsWithItsLineNumberLeavingTheRecord) {
  const std::string given = "system-sku=S\r\nsystem-uuid=" + std::string(UUID_A) + "\n";
  const std::string uuid_b = "ffeeddcc-bbaa-9988-7766-554433221100";
  const std::string control = " on line 3 holds a control character\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"system-uuid=nope\nsystem-sku=late\n", "system-uuid value 'nope' on line 3 is not a UUID\n"},
      {"system-uuid= " + uuid_b + "\r\n",
       "system-uuid value ' " + uuid_b + "' on line 3 is not a UUID\n"},
      // A last line without a line end keeps its carriage return.
      {"system-uuid=" + uuid_b + "\r",
       "system-uuid value '" + uuid_b + "\\015' on line 3 is not a UUID\n"},
      {"chassis-version=a\tb\n", "Value of chassis-version" + control},
      {"system-sku=A\rB\r\n", "Value of system-sku" + control},
      {"board-version=\x1b[31m", "Value of board-version" + control},
      {"system-uuid=00000000-0000-0000-0000-000000000000\n",
       "system-uuid value '00000000-0000-0000-0000-000000000000' on line 3 is all zero, which "
       "means \"not set\" and cannot be stored\n"},
  };
  for (const auto& [text, err] : cases) {
    const parsed_file result = parse_text(given + text);
    EXPECT_EQ(result.status, config_result::bad_value) << text;
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.record, record_of({{FIELD_SYSTEM_SKU, "S"}}, UUID_A)) << text;
  }
}

TEST(ConfigFile, ValuesBeyondTheRecordAreRefused) {
  const std::string first = "system-manufacturer=" + std::string(100, 'm') + "\n";
  const parsed_file full = parse_text(first + "system-sku=" + std::string(120, 's') + "\n");
  EXPECT_EQ(full.status, config_result::taken);
  EXPECT_EQ(full.err, "");
  EXPECT_EQ(full.record, record_of({{FIELD_SYSTEM_MANUFACTURER, std::string(100, 'm')},
                                    {FIELD_SYSTEM_SKU, std::string(120, 's')}}));

  const parsed_file over =
      parse_text(first + "system-sku=" + std::string(121, 's') + "\nboard-version=late\n");
  EXPECT_EQ(over.status, config_result::no_room);
  EXPECT_EQ(line_count(over.err), 1u) << over.err;
  EXPECT_NE(over.err.find(" system-sku "), std::string::npos) << over.err;
  EXPECT_EQ(over.record, record_of({{FIELD_SYSTEM_MANUFACTURER, std::string(100, 'm')}}));
}

TEST(ConfigFile, ReadErrorIsReportedAndRefused) {
  const parsed_file result = parse_stream([] { return std::fopen("/tmp", "r"); });
  EXPECT_EQ(result.status, config_result::read_error);
  EXPECT_EQ(result.err, "config parsing failed: Is a directory\n");
  EXPECT_EQ(result.record, record_of({}));
}

TEST(ConfigFile, LinesHoldAtMost64KiBBeforeTheirLineEnd) {
  const std::string longest(MAX_CONFIG_LINE_LENGTH, '#');
  const parsed_file fits = parse_text(longest + "\nsystem-sku=A\n" + longest);
  EXPECT_EQ(fits.status, config_result::taken) << fits.err;
  EXPECT_EQ(fits.record, record_of({{FIELD_SYSTEM_SKU, "A"}}));

  for (const std::string& end : {std::string("\n"), std::string()}) {
    const parsed_file over =
        parse_text("system-sku=A\n" + longest + "#" + end + "board-version=B\n");
    EXPECT_EQ(over.status, config_result::too_long);
    EXPECT_EQ(over.err, "Line 2 of the configuration file is longer than 65536 bytes\n");
    EXPECT_EQ(over.record, record_of({{FIELD_SYSTEM_SKU, "A"}}));
  }
}

} // namespace
