// Tests of the record layout, its text area limits, reading texts back, and the field table.
#include "record/dmi_record.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

dmi_record initialised() {
  dmi_record record;
  dmi_record_init(record);
  return record;
}

dmi_record erased() {
  dmi_record record;
  std::memset(record.bytes, 0xff, sizeof record.bytes);
  return record;
}

// The bytes of an initialised record: all zero but next_free = 1.
std::string initialised_bytes() {
  std::string bytes(DMI_RECORD_SIZE, '\0');
  bytes[2] = 1;
  return bytes;
}

// Expects `text` to be refused for `field` without a single byte of the record changing.
void expect_refused(dmi_record& record, field_id field, const std::string& text) {
  const std::string before = record_bytes(record);
  EXPECT_EQ(dmi_record_set_text(record, field, text), -1) << text.size() << " bytes";
  EXPECT_EQ(record_bytes(record), before);
}

TEST(DmiRecordLayout, InitialisedRecordIsZeroButNextFree) {
  const dmi_record record = initialised();
  EXPECT_EQ(record_bytes(record), initialised_bytes());
  EXPECT_EQ(dmi_record_next_free(record), 1);
  EXPECT_EQ(dmi_record_marker(record), 0);
}

TEST(DmiRecordLayout, FirstTextFollowsTheZeroByteOfTheStringArea) {
  dmi_record record = initialised();
  ASSERT_EQ(dmi_record_set_text(record, FIELD_SYSTEM_MANUFACTURER, "abc"), 0);
  std::string expected = initialised_bytes();
  expected[2] = 5;
  expected[4] = 1;
  expected.replace(34, 3, "abc");
  EXPECT_EQ(record_bytes(record), expected);
  EXPECT_EQ(dmi_record_text(record, FIELD_SYSTEM_MANUFACTURER), "abc");
}

TEST(DmiRecordLayout, EachTextFieldHasItsOwnIndexByte) {
  const std::vector<std::pair<field_id, std::size_t>> index_offsets = {
      {FIELD_SYSTEM_MANUFACTURER, 4},  {FIELD_SYSTEM_PRODUCT_NAME, 5},
      {FIELD_SYSTEM_VERSION, 6},       {FIELD_SYSTEM_SERIAL_NUMBER, 7},
      {FIELD_SYSTEM_SKU, 24},          {FIELD_BOARD_MANUFACTURER, 25},
      {FIELD_BOARD_PRODUCT_NAME, 26},  {FIELD_BOARD_VERSION, 27},
      {FIELD_BOARD_SERIAL_NUMBER, 28}, {FIELD_CHASSIS_MANUFACTURER, 29},
      {FIELD_CHASSIS_VERSION, 30},     {FIELD_CHASSIS_SERIAL_NUMBER, 31},
      {FIELD_CHASSIS_ASSET_TAG, 32},
  };
  for (const auto& [field, offset] : index_offsets) {
    dmi_record record = initialised();
    ASSERT_EQ(dmi_record_set_text(record, field, "x"), 0);
    std::string expected = initialised_bytes();
    expected[2] = 3;
    expected[offset] = 1;
    expected[34] = 'x';
    EXPECT_EQ(record_bytes(record), expected) << field_name(field);
    EXPECT_EQ(dmi_record_index(record, field), 1) << field_name(field);
  }
}

TEST(DmiRecordLayout, SettingAgainAppendsAndLeavesTheOldText) {
  dmi_record record = initialised();
  ASSERT_EQ(dmi_record_set_text(record, FIELD_SYSTEM_SKU, "a"), 0);
  ASSERT_EQ(dmi_record_set_text(record, FIELD_SYSTEM_SKU, "bc"), 0);
  std::string expected = initialised_bytes();
  expected[2] = 6;
  expected[24] = 3;
  expected.replace(34, 4, std::string("a\0bc", 4));
  EXPECT_EQ(record_bytes(record), expected);
  EXPECT_EQ(dmi_record_text(record, FIELD_SYSTEM_SKU), "bc");
}

TEST(DmiRecordLayout, EmptyTextIsSetWithNonZeroIndex) {
  dmi_record record = initialised();
  ASSERT_EQ(dmi_record_set_text(record, FIELD_CHASSIS_VERSION, ""), 0);
  EXPECT_EQ(dmi_record_index(record, FIELD_CHASSIS_VERSION), 1);
  EXPECT_EQ(dmi_record_next_free(record), 2);
  EXPECT_EQ(dmi_record_text(record, FIELD_CHASSIS_VERSION), "");
}

TEST(DmiRecordLayout, MarkerAndNextFreeAreLittleEndian) {
  dmi_record record = initialised();
  dmi_record_set_marker(record, DMI_MARKER_STORED);
  std::string expected = initialised_bytes();
  expected[0] = '\x01';
  expected[1] = '\x80';
  EXPECT_EQ(record_bytes(record), expected);
  EXPECT_EQ(dmi_record_marker(record), 0x8001);
  record.bytes[2] = 0x34;
  record.bytes[3] = 0x12;
  EXPECT_EQ(dmi_record_next_free(record), 0x1234);
}

TEST(DmiRecordCapacity, OneTextFillsTheAreaToTheLastByte) {
  dmi_record record = initialised();
  ASSERT_EQ(dmi_record_set_text(record, FIELD_SYSTEM_VERSION, std::string(221, 'v')), 0);
  EXPECT_EQ(dmi_record_next_free(record), 223);
  EXPECT_EQ(dmi_record_text(record, FIELD_SYSTEM_VERSION), std::string(221, 'v'));
  EXPECT_EQ(record.bytes[DMI_RECORD_SIZE - 1], 0);
  expect_refused(record, FIELD_SYSTEM_SKU, "");

  dmi_record fresh = initialised();
  expect_refused(fresh, FIELD_SYSTEM_VERSION, std::string(222, 'v'));
}

TEST(DmiRecordCapacity, SmallTextsFitUpToTheExactTotal) {
  dmi_record record = initialised();
  for (int i = 0; i < 110; ++i) {
    ASSERT_EQ(dmi_record_set_text(record, FIELD_BOARD_SERIAL_NUMBER, "s"), 0) << i;
  }
  ASSERT_EQ(dmi_record_next_free(record), 221);
  expect_refused(record, FIELD_BOARD_VERSION, "ab");
  ASSERT_EQ(dmi_record_set_text(record, FIELD_BOARD_VERSION, "a"), 0);
  EXPECT_EQ(dmi_record_next_free(record), 223);
  EXPECT_EQ(dmi_record_index(record, FIELD_BOARD_VERSION), 221);
  expect_refused(record, FIELD_BOARD_VERSION, "");
}

TEST(DmiRecordCapacity, NextFreeAtOrPastTheEndTakesNoText) {
  for (const int next_free : {223, 224, 255, 256, 0x8001}) {
    dmi_record record = initialised();
    record.bytes[2] = static_cast<std::uint8_t>(next_free & 0xff);
    record.bytes[3] = static_cast<std::uint8_t>(next_free >> 8);
    expect_refused(record, FIELD_CHASSIS_ASSET_TAG, "");
  }
  // An erased record reads next_free 0xffff.
  dmi_record record = erased();
  expect_refused(record, FIELD_SYSTEM_SKU, "");
}

TEST(DmiRecordText, ReadingStopsAtTheEndOfTheRecord) {
  // No NUL in the string area, nor in the bytes that follow the record: a text runs from its
  // index (0 too: offset 33) to the record's end and not a byte further.
  struct {
    dmi_record record;
    char after[16] = "past the record";
  } memory;
  dmi_record& record = memory.record;
  dmi_record_init(record);
  std::memset(&record.bytes[DMI_STRING_AREA_OFFSET], 'z', DMI_RECORD_SIZE - DMI_STRING_AREA_OFFSET);
  const std::vector<std::pair<int, std::size_t>> lengths = {{0, 223}, {1, 222}, {200, 23},
                                                            {222, 1}, {223, 0}, {255, 0}};
  for (const auto& [index, length] : lengths) {
    record.bytes[24] = static_cast<std::uint8_t>(index);
    const std::string_view text = dmi_record_text(record, FIELD_SYSTEM_SKU);
    EXPECT_EQ(text.size(), length) << "index " << index;
    if (length != 0) {
      EXPECT_EQ(text.data(), reinterpret_cast<const char*>(&record.bytes[33 + index]));
    }
  }
}

TEST(DmiRecordText, ErasedRecordReadsEmptyTexts) {
  const dmi_record record = erased();
  for (int id = 0; id < FIELD_COUNT; ++id) {
    if (id != FIELD_SYSTEM_UUID) {
      EXPECT_EQ(dmi_record_text(record, static_cast<field_id>(id)), "") << id;
    }
  }
}

// One table serves getopt_long and the configuration keys: each entry takes an argument and gives
// its own field's id, under a name no other field has, and the table ends with a zero entry.
TEST(DmiFieldTable, EachFieldIsOneLongOptionAndOneKey) {
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    ASSERT_NE(dmi_fields[id].name, nullptr) << id;
    EXPECT_EQ(dmi_fields[id].val, id) << field_name(field);
    EXPECT_EQ(dmi_fields[id].has_arg, required_argument) << field_name(field);
    EXPECT_EQ(dmi_fields[id].flag, nullptr) << field_name(field);
    EXPECT_EQ(lookup_field(field_name(field)), id) << "a name no earlier field has";
  }
  const struct option& end = dmi_fields[FIELD_COUNT];
  EXPECT_EQ(end.name, nullptr);
  EXPECT_EQ(end.val, 0);
}

TEST(DmiFieldTable, LookupWantsTheExactName) {
  EXPECT_EQ(lookup_field("system-sku"), FIELD_SYSTEM_SKU);
  for (const char* name : {"System-SKU", "system-sku ", " system-sku", "system-sk", ""}) {
    EXPECT_EQ(lookup_field(name), -1) << "'" << name << "'";
  }
}

TEST(DmiRecordUuid, GoodTextSetsTheBytesInTextOrder) {
  dmi_record record = initialised();
  ASSERT_EQ(dmi_record_parse_uuid(record, "00112233-4455-6677-8899-aabbccddeeff"), 0);
  std::string expected = initialised_bytes();
  for (int i = 0; i < 16; ++i) {
    expected[8 + i] = static_cast<char>(i * 0x11);
  }
  EXPECT_EQ(record_bytes(record), expected);
}

TEST(DmiRecordUuid, BadTextLeavesTheBytesAlone) {
  for (const bool earlier_uuid : {false, true}) {
    dmi_record record = initialised();
    if (earlier_uuid) {
      ASSERT_EQ(dmi_record_parse_uuid(record, "3f2504e0-4f89-11d3-9a0c-0305e82c3301"), 0);
    }
    const std::string before = record_bytes(record);
    for (const char* text :
         {"", "not a uuid", "00112233-4455-6677-8899-aabbccddeeff\r",
          "00112233-4455-6677-8899-aabbccddeef", "0011223g-4455-6677-8899-aabbccddeeff"}) {
      EXPECT_EQ(dmi_record_parse_uuid(record, text), -1) << "'" << text << "'";
      EXPECT_EQ(record_bytes(record), before) << "'" << text << "'";
    }
  }
}

} // namespace
