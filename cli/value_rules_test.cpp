// Tests of the batch value rules: each rule on the fields it covers, placeholders in any letter
// case, placeholder UUIDs, and values that two rows must not share.
#include "cli/value_rules.h"

#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

namespace {

// The broken rule's name, in the order of value_rule, or "kept".
const char* rule_name(const std::optional<broken_rule>& broken) {
  static const char* const names[] = {"empty", "leading_blank", "trailing_blank", "placeholder",
                                      "not_printable_ascii"};
  static_assert(std::size(names) == static_cast<std::size_t>(value_rule::not_printable_ascii) + 1);
  return broken ? names[static_cast<int>(broken->rule)] : "kept";
}

TEST(ValueRules, JudgeEachValueByTheRulesOfItsField) {
  struct rule_case {
    field_id field;
    std::string value;
    const char* expected;
  };
  const std::vector<rule_case> cases = {
      {FIELD_SYSTEM_SERIAL_NUMBER, "SN-2024-0043", "kept"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "", "empty"},
      {FIELD_SYSTEM_MANUFACTURER, "", "empty"},
      {FIELD_SYSTEM_UUID, "", "empty"},
      {FIELD_SYSTEM_SERIAL_NUMBER, " ", "leading_blank"},
      {FIELD_SYSTEM_SERIAL_NUMBER, " SN1", "leading_blank"},
      {FIELD_BOARD_VERSION, "\t1.0", "leading_blank"},
      {FIELD_SYSTEM_UUID, " 00112233-4455-6677-8899-aabbccddeeff", "leading_blank"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "SN1 ", "trailing_blank"},
      {FIELD_CHASSIS_VERSION, "1.0\t", "trailing_blank"},
      {FIELD_SYSTEM_SERIAL_NUMBER, " N/A", "leading_blank"},
      // Placeholders, in any ASCII letter case, in any field.
      {FIELD_SYSTEM_MANUFACTURER, "To be filled by O.E.M.", "placeholder"},
      {FIELD_SYSTEM_MANUFACTURER, "To Be Filled By O.E.M.", "placeholder"},
      {FIELD_BOARD_PRODUCT_NAME, "TO BE FILLED BY O.E.M.", "placeholder"},
      {FIELD_SYSTEM_SKU, "default STRING", "placeholder"},
      {FIELD_CHASSIS_ASSET_TAG, "not applicable", "placeholder"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "System Serial Number", "placeholder"},
      {FIELD_CHASSIS_ASSET_TAG, "ASSET-1234567890", "placeholder"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "0123456789", "placeholder"},
      {FIELD_BOARD_VERSION, "NONE", "placeholder"},
      {FIELD_CHASSIS_VERSION, "n/a", "placeholder"},
      {FIELD_CHASSIS_MANUFACTURER, "O.E.M.", "placeholder"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "xxxxxxxx", "placeholder"},
      {FIELD_SYSTEM_UUID, "Not Specified", "placeholder"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "0", "placeholder"},
      {FIELD_SYSTEM_SKU, "Tbd", "placeholder"},
      // One character written three times or more, in any letter case; a UTF-8 one too.
      {FIELD_SYSTEM_SERIAL_NUMBER, "000", "placeholder"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "XXXXXXXXX", "placeholder"},
      {FIELD_CHASSIS_ASSET_TAG, "xXx", "placeholder"},
      {FIELD_SYSTEM_MANUFACTURER, "\xE2\x80\x94\xE2\x80\x94\xE2\x80\x94", "placeholder"},
      {FIELD_BOARD_VERSION, "00", "kept"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "XXY", "kept"},
      {FIELD_SYSTEM_MANUFACTURER, "\xE2\x80\x94\xE2\x80\x94-", "kept"},
      // A value that only holds a placeholder, or differs from one by a byte, is its own.
      {FIELD_SYSTEM_SERIAL_NUMBER, "SN-0123456789", "kept"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "12345678", "kept"},
      {FIELD_SYSTEM_MANUFACTURER, "OEM Systems Ltd", "kept"},
      {FIELD_SYSTEM_MANUFACTURER, "To be filled by O.E.M", "kept"},
      {FIELD_CHASSIS_ASSET_TAG, "N/A/1", "kept"},
      // Letter case is ASCII's only: a Latin-1 or UTF-8 look-alike is not the placeholder.
      {FIELD_SYSTEM_MANUFACTURER, "N\xC3\xB3ne", "kept"},
  };
  for (const rule_case& c : cases) {
    EXPECT_STREQ(rule_name(check_value_rules(c.field, c.value)), c.expected)
        << field_name(c.field) << " '" << c.value << "'";
  }
}

TEST(ValueRules, AskPrintableAsciiOfTheIdentifiersOnly) {
  const std::vector<field_id> identifiers = {FIELD_SYSTEM_SERIAL_NUMBER, FIELD_BOARD_SERIAL_NUMBER,
                                             FIELD_CHASSIS_SERIAL_NUMBER, FIELD_SYSTEM_SKU,
                                             FIELD_CHASSIS_ASSET_TAG};
  // UTF-8, DEL, a control byte, a tab inside, a byte that is not UTF-8.
  const std::vector<std::string> values = {"M\xC3\xBCller", "A\x7F", std::string("A\x1F") + "B",
                                           "tab\tinside", "\xFF"};
  for (const std::string& value : values) {
    for (int id = 0; id < FIELD_COUNT; ++id) {
      const auto field = static_cast<field_id>(id);
      if (field == FIELD_SYSTEM_UUID) {
        continue;
      }
      const bool identifier =
          std::find(identifiers.begin(), identifiers.end(), field) != identifiers.end();
      EXPECT_STREQ(rule_name(check_value_rules(field, value)),
                   identifier ? "not_printable_ascii" : "kept")
          << field_name(field) << " '" << value << "'";
    }
  }
  EXPECT_STREQ(rule_name(check_value_rules(FIELD_SYSTEM_SERIAL_NUMBER, " ~")), "leading_blank");
  EXPECT_STREQ(rule_name(check_value_rules(FIELD_SYSTEM_SERIAL_NUMBER, "!~")), "kept");
}

TEST(ValueRules, TextsForMessages) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "is empty"},
      {" a", "begins with a blank"},
      {"a ", "ends with a blank"},
      {"to be filled by o.e.m.", "is the placeholder \"to be filled by o.e.m.\""}, // as given
      // The first character outside printable ASCII, by its name and its first byte's place.
      {"SN\xE2\x80\x93"
       "2024\xC2\xA0",
       "holds U+2013 EN DASH at byte 3, outside printable ASCII"},
      {"SN\xC2\xA0"
       "1",
       "holds U+00A0 NO-BREAK SPACE at byte 3, outside printable ASCII"},
      {"SN\xC3\xA9", "holds U+00E9 at byte 3, outside printable ASCII"},
      {"SN\xF0\x9F\x98\x80", "holds U+1F600 at byte 3, outside printable ASCII"},
      {"SN\xE9-1", "holds 0xE9 (not UTF-8) at byte 3, outside printable ASCII"},
      {"SN\xE2\x80", "holds 0xE2 (not UTF-8) at byte 3, outside printable ASCII"},
      {"S\tN", "holds U+0009 CHARACTER TABULATION at byte 2, outside printable ASCII"},
      {"SN\x7F", "holds U+007F DELETE at byte 3, outside printable ASCII"},
  };
  for (const auto& [value, text] : cases) {
    const std::optional<broken_rule> broken = check_value_rules(FIELD_SYSTEM_SERIAL_NUMBER, value);
    ASSERT_TRUE(broken.has_value()) << value;
    EXPECT_EQ(broken->text, text);
  }
}

TEST(ValueRules, RefusePlaceholderUuids) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", "placeholder"},
      {"ffffffff-ffff-ffff-ffff-ffffffffffff", "placeholder"},
      {"03000200-0400-0500-0006-000700080009", "placeholder"},
      {"00020003-0004-0005-0006-000700080009", "placeholder"},
      {"ffffffff-ffff-ffff-ffff-fffffffffffe", "kept"},
      {"00112233-4455-6677-8899-aabbccddeeff", "kept"},
      // Refused where values are taken, as "not set".
      {"00000000-0000-0000-0000-000000000000", "kept"},
  };
  for (const auto& [text, expected] : cases) {
    uuid_t uuid;
    ASSERT_EQ(uuid_parse(text, uuid), 0) << text;
    EXPECT_STREQ(rule_name(check_uuid_rules(uuid)), expected) << text;
  }
  uuid_t all_ones;
  ASSERT_EQ(uuid_parse("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", all_ones), 0);
  EXPECT_EQ(check_uuid_rules(all_ones)->text,
            "is the placeholder \"ffffffff-ffff-ffff-ffff-ffffffffffff\"");
}

// A record's fields that a run does not set, judged by the placeholder rule alone: the first
// one, in record order, is named.
TEST(ValueRules, FindThePlaceholderARecordCarriesIntoFieldsNotSet) {
  const auto text_record = [](std::initializer_list<std::pair<field_id, const char*>> fields) {
    dmi_record record;
    dmi_record_init(record);
    for (const auto& [field, text] : fields) {
      EXPECT_EQ(dmi_record_set_text(record, field, text), 0);
    }
    return record;
  };
  const dmi_record found = text_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"},
                                        {FIELD_SYSTEM_VERSION, " padded "},
                                        {FIELD_SYSTEM_SKU, "To be filled by O.E.M."},
                                        {FIELD_CHASSIS_ASSET_TAG, "000000"}});
  const dmi_record nothing = text_record({});
  const struct {
    const char* what;
    dmi_record given;
    const char* expected;
  } cases[] = {
      {"nothing given: the first in record order", nothing,
       "system-sku is the placeholder \"To be filled by O.E.M.\""},
      {"the first set by the run", text_record({{FIELD_SYSTEM_SKU, "SKU-1"}}),
       "chassis-asset-tag is the placeholder \"000000\""},
      {"both set, even to an empty text",
       text_record({{FIELD_SYSTEM_SKU, "SKU-1"}, {FIELD_CHASSIS_ASSET_TAG, ""}}), "none"},
  };
  for (const auto& c : cases) {
    const auto carried = find_carried_placeholder(found, c.given);
    EXPECT_EQ(carried ? std::string(field_name(carried->field)) + " " + carried->broken.text
                      : "none",
              c.expected)
        << c.what;
  }
  // The UUID: a placeholder one found is carried unless the run gives one.
  dmi_record erased_uuid = text_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}});
  std::fill_n(dmi_record_uuid(erased_uuid), DMI_UUID_SIZE, 0xFF);
  EXPECT_EQ(find_carried_placeholder(erased_uuid, nothing)->field, FIELD_SYSTEM_UUID);
  dmi_record uuid_given = nothing;
  ASSERT_EQ(dmi_record_parse_uuid(uuid_given, "00112233-4455-6677-8899-aabbccddeeff"), 0);
  EXPECT_FALSE(find_carried_placeholder(erased_uuid, uuid_given).has_value());
}

// The duplicates of a table as "COLUMN FIRST_LINE LINE", one per line, the first `limit`; then
// how many more.
std::string duplicates_of(const std::string& text, std::size_t limit = MAX_LISTED_PROBLEMS) {
  const csv_reading reading = read_csv_table(text);
  if (!reading.clean()) {
    return "not a table";
  }
  const csv_table* table = &reading.table;
  std::string shown;
  const duplicate_values duplicates = find_duplicate_values(*table, limit);
  for (const duplicate_value& duplicate : duplicates.first) {
    shown += duplicate.column == table->output_column
                 ? "output"
                 : field_name(table->columns[duplicate.column]);
    shown +=
        " " + std::to_string(duplicate.first_line) + " " + std::to_string(duplicate.line) + "\n";
  }
  return shown + (duplicates.not_listed == 0
                      ? ""
                      : "and " + std::to_string(duplicates.not_listed) + " more\n");
}

TEST(ValueRules, FindValuesThatTwoRowsShare) {
  const std::string table =
      "output,system-serial-number,board-serial-number,chassis-serial-number,system-uuid,"
      "chassis-asset-tag,system-sku,system-manufacturer\n"
      "a.rom,S1,B1,C1,00112233-4455-6677-8899-aabbccddeeff,T1,K,M\n"
      "b.rom,S2,S1,C2,00112233-4455-6677-8899-AABBCCDDEEFF,T2,K,M\n"
      "a.rom,S1,B2,C3,,,K,M\n"
      "\"c\n.rom\",S1,B3,C4,not-a-uuid,,K,M\n"
      "d.rom,s1,B4,C5,not-a-uuid,t1,K,M\n"
      "e.rom,S3,B1,C1,10112233-4455-6677-8899-aabbccddeeff,T1,K,M\n"
      "f.rom,,,,,,K,M\n"
      "g.rom,,,,,,K,M\n";
  EXPECT_EQ(duplicates_of(table), "system-uuid 2 3\n"
                                  "output 2 4\n"
                                  "system-serial-number 2 4\n"
                                  "system-serial-number 2 5\n"
                                  "board-serial-number 2 8\n"
                                  "chassis-serial-number 2 8\n"
                                  "chassis-asset-tag 2 8\n");
  EXPECT_EQ(duplicates_of("output,system-sku\na.rom,K\nb.rom,K\n"), "");
  EXPECT_EQ(duplicates_of("system-serial-number,output\nS,x\nS,y\nS,z\n"),
            "system-serial-number 2 3\nsystem-serial-number 2 4\n");
  // Only the first ones are kept, whatever order the columns and hashes find them in.
  EXPECT_EQ(duplicates_of(table, 3), "system-uuid 2 3\n"
                                     "output 2 4\n"
                                     "system-serial-number 2 4\n"
                                     "and 4 more\n");
  std::string repeated = "output,system-serial-number\n";
  for (int row = 0; row < 50; ++row) {
    repeated += "r" + std::to_string(row) + ".rom,S\n";
  }
  EXPECT_EQ(duplicates_of(repeated, 1), "system-serial-number 2 3\nand 48 more\n");
}

// Rows are grouped by a 32-bit hash of their values; two different values that share it are no
// duplicates.
TEST(ValueRules, ValuesWhoseHashesCollideAreNoDuplicates) {
  const std::string first = "151654";
  const std::string second = "172395"; // the same low 32 bits of libstdc++'s string hash
  const auto low_bits = [](const std::string& text) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>()(text));
  };
  if (low_bits(first) != low_bits(second)) {
    GTEST_SKIP() << "this standard library hashes the pair apart";
  }
  EXPECT_EQ(duplicates_of("output\n" + first + "\n" + second + "\n" + first + "\n"),
            "output 2 4\n");
}

} // namespace
