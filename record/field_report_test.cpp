// Tests of the seventeen-line report of a record's values.
#include "record/dmi_record.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

std::string report(const dmi_record& record) {
  std::string text = "(before)";
  print_dmi_fields(text, record);
  EXPECT_TRUE(text.starts_with("(before)")) << "appended, not replaced";
  return text.substr(8);
}

const std::string EMPTY_REPORT = "Type 1 Fields:\n"
                                 " system-manufacturer:\t''\n"
                                 " system-product-name:\t''\n"
                                 " system-version:\t''\n"
                                 " system-serial-number:\t''\n"
                                 " system-uuid:\t\t'00000000-0000-0000-0000-000000000000'\n"
                                 " system-sku:\t\t''\n"
                                 "Type 2 Fields:\n"
                                 " board-manufacturer:\t''\n"
                                 " board-product-name:\t''\n"
                                 " board-version:\t\t''\n"
                                 " board-serial-number:\t''\n"
                                 "Type 3 Fields:\n"
                                 " chassis-manufacturer:\t''\n"
                                 " chassis-version:\t''\n"
                                 " chassis-serial-number:\t''\n"
                                 " chassis-asset-tag:\t''\n";

TEST(FieldReport, InitialisedRecord) {
  EXPECT_EQ(report(make_record({})), EMPTY_REPORT);
}

TEST(FieldReport, EachLineShowsItsOwnField) {
  // Every text field holds its own number, so a line showing another field's value stands out.
  dmi_record record = make_record({});
  for (int id = 0; id < FIELD_COUNT; ++id) {
    if (id != FIELD_SYSTEM_UUID) {
      ASSERT_EQ(dmi_record_set_text(record, static_cast<field_id>(id), "f" + std::to_string(id)),
                0);
    }
  }
  ASSERT_EQ(dmi_record_parse_uuid(record, "00112233-4455-6677-8899-aabbccddeeff"), 0);
  std::istringstream lines(report(record));
  int fields_seen = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Type ", 0) == 0) {
      continue;
    }
    const std::string label = line.substr(1, line.find(':') - 1);
    const std::string value = line.substr(line.find('\'') + 1);
    if (label == "system-uuid") {
      EXPECT_EQ(value, "00112233-4455-6677-8899-aabbccddeeff'");
    } else {
      EXPECT_EQ(value, "f" + std::to_string(lookup_field(label.c_str())) + "'");
    }
    ++fields_seen;
  }
  EXPECT_EQ(fields_seen, FIELD_COUNT);
}

TEST(FieldReport, ControlCharactersAreEscapedEveryOtherByteIsPrintedUnchanged) {
  // A value that would forge a line of its own, one that would drive the terminal.
  const std::string text = report(make_record(
      {{FIELD_CHASSIS_VERSION, "x'\n chassis-serial-number:\t'SPOOFED"},
       {FIELD_SYSTEM_VERSION, "it's \"1\" \\n \x1b[2J\x7f\x01\x1f caf\xc3\xa9 \x80\xff"}}));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 17) << text;
  EXPECT_NE(text.find("version:\t'x'\\012 chassis-serial-number:\\011'SPOOFED'\n"),
            std::string::npos);
  EXPECT_NE(text.find("version:\t'it's \"1\" \\n \\033[2J\\177\\001\\037 caf\xc3\xa9 \x80\xff'\n"),
            std::string::npos);
}

TEST(FieldReport, TextWithoutNulStopsAtTheRecordsEnd) {
  struct {
    dmi_record record = make_record({});
    char after[16] = "past the record";
  } memory;
  dmi_record& record = memory.record;
  record.bytes[32] = 200; // chassis-asset-tag
  std::memset(&record.bytes[233], 'z', DMI_RECORD_SIZE - 233);
  const std::string text = report(record);
  const std::string last = " chassis-asset-tag:\t'" + std::string(23, 'z') + "'\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(FieldReport, ErasedRecordShowsEmptyTextsAndAllOnesUuid) {
  dmi_record record;
  std::memset(record.bytes, 0xff, sizeof record.bytes);
  std::string expected = EMPTY_REPORT;
  const std::string nil = "00000000-0000-0000-0000-000000000000";
  expected.replace(expected.find(nil), nil.size(), "ffffffff-ffff-ffff-ffff-ffffffffffff");
  EXPECT_EQ(report(record), expected);
}

} // namespace
