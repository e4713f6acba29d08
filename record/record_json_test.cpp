// Tests of records as JSON text and of the lines naming the fields a store would change.
#include "record/record_json.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string json_string(const std::string& text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

// A byte that no well-formed sequence holds has no character: the replacement character stands
// for it, so "Pr\xfcfplatz" never reads as "Prüfplatz".
TEST(JsonString, KeepsWellFormedUtf8AndEscapesTheRest) {
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"", "\"\""},
      {"Rack 2 / \"A\\B\"", "\"Rack 2 / \\\"A\\\\B\\\"\""},
      {std::string("\x00\x01\t\n\x1f\x7f", 6), "\"\\u0000\\u0001\\u0009\\u000a\\u001f\\u007f\""},
      // Two, three and four bytes, at the edges of what is well-formed.
      {"\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf",
       "\"\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xf0\x90\x80\x80 "
       "\xf4\x8f\xbf\xbf\""},
      // Overlong forms of "/" and of U+07FF and U+FFFF.
      {"\xc0\xaf \xc1\xbf", "\"\\ufffd\\ufffd \\ufffd\\ufffd\""},
      {"\xe0\x9f\xbf", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xf0\x8f\xbf\xbf", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
      // A UTF-16 surrogate, a value past U+10FFFF, bytes no sequence starts with.
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
      {"\xf5\x80\x80\x80 \xff \x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd \\ufffd \\ufffd\""},
      // Sequences cut short, by the end of the text or by another character.
      {"a\xe2\x82", "\"a\\ufffd\\ufffd\""},
      {"\xe2\x82"
       "A\xf0\x9f\x98",
       "\"\\ufffd\\ufffdA\\ufffd\\ufffd\\ufffd\""},
      // A control byte inside what would be a sequence is escaped, not taken as part of it.
      {"\xc3\x01", "\"\\ufffd\\u0001\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_string(c.text), c.json) << testing::PrintToString(c.text);
  }
}

TEST(RecordJson, HoldsMarkerFieldsInTableOrderAndEveryByte) {
  dmi_record record = make_record({{FIELD_SYSTEM_SKU, "old"},
                                   {FIELD_CHASSIS_ASSET_TAG, "Tag \"7\""},
                                   {FIELD_SYSTEM_SKU, "SKU-9"}});
  ASSERT_EQ(dmi_record_parse_uuid(record, "00112233-4455-6677-8899-AABBCCDDEEFF"), 0);
  dmi_record_set_marker(record, 0x8001);
  record.bytes[255] = 0xfe; // dead bytes past the texts are in "bytes" too

  std::string hex;
  for (const std::uint8_t byte : record.bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  std::string json;
  append_record_json(json, record);
  EXPECT_EQ(json, "{\"marker\":32769,\"fields\":{"
                  "\"system-manufacturer\":\"\",\"system-product-name\":\"\","
                  "\"system-version\":\"\",\"system-serial-number\":\"\","
                  "\"system-uuid\":\"00112233-4455-6677-8899-aabbccddeeff\","
                  "\"system-sku\":\"SKU-9\",\"board-manufacturer\":\"\","
                  "\"board-product-name\":\"\",\"board-version\":\"\","
                  "\"board-serial-number\":\"\",\"chassis-manufacturer\":\"\","
                  "\"chassis-version\":\"\",\"chassis-serial-number\":\"\","
                  "\"chassis-asset-tag\":\"Tag \\\"7\\\"\"},\"not_utf8\":[],\"bytes\":\"" +
                      hex + "\"}");
  EXPECT_EQ(hex.size(), 512u);
}

// A byte that is not UTF-8 has no character to stand for: such a field is null and named, never
// written as the character of the byte's number ("Pr\xfcfplatz" is not "Prüfplatz").
TEST(RecordJson, FieldsThatAreNotUtf8AreNullAndNamed) {
  const dmi_record record = make_record({{FIELD_SYSTEM_VERSION, "Pr\xfc"
                                                                "fplatz"},
                                         {FIELD_BOARD_VERSION, "Pr\xc3\xbc"
                                                               "fplatz"},
                                         {FIELD_CHASSIS_VERSION, "cut \xe2\x82"}});
  std::string json;
  append_record_json(json, record);
  EXPECT_NE(json.find("\"system-version\":null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"board-version\":\"Pr\xc3\xbc"
                      "fplatz\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"chassis-version\":null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"not_utf8\":[\"system-version\",\"chassis-version\"]"), std::string::npos)
      << json;
}

std::string changes(const dmi_record& before, const dmi_record& after) {
  std::string text;
  print_field_changes(text, before, after);
  return text;
}

TEST(FieldChanges, NamesEachFieldWhoseValueDiffersInTableOrder) {
  // Values escaped as in the field report, so each change stays on its line.
  dmi_record before = make_record({{FIELD_SYSTEM_SKU, "A"},
                                   {FIELD_BOARD_VERSION, "same"},
                                   {FIELD_CHASSIS_VERSION, "two\nlines"}});
  dmi_record after = make_record({{FIELD_BOARD_VERSION, "same"},
                                  {FIELD_CHASSIS_ASSET_TAG, "new tag"},
                                  {FIELD_CHASSIS_VERSION, "tab\tand \x1b[0m"},
                                  {FIELD_SYSTEM_SKU, "B"}});
  ASSERT_EQ(dmi_record_parse_uuid(after, "00112233-4455-6677-8899-aabbccddeeff"), 0);
  EXPECT_EQ(changes(before, after), "system-uuid: '00000000-0000-0000-0000-000000000000' -> "
                                    "'00112233-4455-6677-8899-aabbccddeeff'\n"
                                    "system-sku: 'A' -> 'B'\n"
                                    "chassis-version: 'two\\012lines' -> 'tab\\011and \\033[0m'\n"
                                    "chassis-asset-tag: '' -> 'new tag'\n");
}

TEST(FieldChanges, SameValuesAtOtherPlacesOrAnEmptyTextSetChangeNothing) {
  // Compacting moves the texts and the marker differs; a field set to "" reads as one not set.
  const dmi_record before = make_record(
      {{FIELD_SYSTEM_SKU, "dead"}, {FIELD_SYSTEM_SKU, "SKU"}, {FIELD_SYSTEM_VERSION, "1"}});
  dmi_record after = make_record(
      {{FIELD_SYSTEM_VERSION, "1"}, {FIELD_SYSTEM_SKU, "SKU"}, {FIELD_BOARD_VERSION, ""}});
  dmi_record_set_marker(after, DMI_MARKER_STORED);
  EXPECT_EQ(changes(before, after), "No field would change\n");
  EXPECT_FALSE(field_differs(before, after, FIELD_BOARD_VERSION));
  EXPECT_TRUE(field_differs(before, make_record({}), FIELD_SYSTEM_VERSION));
}

// A record crafted with text at the very start of its string area: a field whose index is 0 is
// not set there, as the merge has it, so the JSON, -g and --expect show it empty too.
TEST(FieldValues, AFieldWhoseIndexIsZeroIsNotSetWhateverTheStringAreaHolds) {
  dmi_record crafted = make_record({{FIELD_SYSTEM_VERSION, "version"}, {FIELD_SYSTEM_SKU, "real"}});
  std::memcpy(&crafted.bytes[DMI_STRING_AREA_OFFSET], "GHOST", 6);   // over the version's start
  ASSERT_EQ(dmi_record_text(crafted, FIELD_BOARD_VERSION), "GHOST"); // the report's view
  EXPECT_EQ(field_value_text(crafted, FIELD_BOARD_VERSION), "");
  EXPECT_EQ(field_value_text(crafted, FIELD_SYSTEM_SKU), "real");
  const dmi_record ghost = make_record({{FIELD_BOARD_VERSION, "GHOST"}});
  EXPECT_TRUE(field_differs(crafted, ghost, FIELD_BOARD_VERSION));
  EXPECT_FALSE(field_differs(crafted, make_record({}), FIELD_BOARD_VERSION));
  std::string json;
  append_record_json(json, crafted);
  EXPECT_NE(json.find("\"board-version\":\"\""), std::string::npos) << json;
}

} // namespace
