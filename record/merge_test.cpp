// Tests of laying one record's values over another's.
#include "record/dmi_record.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const UUID_A = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
const char* const UUID_B = "00112233-4455-6677-8899-aabbccddeeff";
const char* const UUID_NIL = "00000000-0000-0000-0000-000000000000";

dmi_record with_uuid(dmi_record record, const char* uuid) {
  EXPECT_EQ(dmi_record_parse_uuid(record, uuid), 0) << uuid;
  return record;
}

// The merge result followed by bytes that must stay untouched.
struct guarded_result {
  dmi_record record;
  std::uint8_t guard[64];
};
static_assert(offsetof(guarded_result, guard) == DMI_RECORD_SIZE);

TEST(MergeRecords, BaseTextsAndOverrideTextsAreLaidOutInFieldOrder) {
  // The base set its version first; the result is rebuilt in field order all the same.
  const dmi_record base =
      make_record({{FIELD_SYSTEM_VERSION, "base-v"}, {FIELD_SYSTEM_MANUFACTURER, "Base Inc"}});
  const dmi_record override = make_record({{FIELD_SYSTEM_VERSION, "v2"}});
  dmi_record result;
  ASSERT_EQ(merge_records(result, base, override), 0);

  std::string expected(DMI_RECORD_SIZE, '\0');
  expected[2] = 13;
  expected[4] = 1;
  expected[6] = 10;
  expected.replace(34, 8, "Base Inc");
  expected.replace(43, 2, "v2");
  EXPECT_EQ(record_bytes(result), expected);
}

TEST(MergeRecords, EmptyInputsGiveAnInitialisedRecordWithoutMarker) {
  dmi_record base = make_record({});
  dmi_record override = make_record({});
  dmi_record_set_marker(base, DMI_MARKER_STORED);
  dmi_record_set_marker(override, DMI_MARKER_STORED);
  dmi_record result;
  std::memset(result.bytes, 0xaa, sizeof result.bytes);
  ASSERT_EQ(merge_records(result, base, override), 0);
  EXPECT_EQ(record_bytes(result), record_bytes(make_record({})));
}

TEST(MergeRecords, ResultHoldsOnlyTheTextsTaken) {
  const dmi_record override =
      make_record({{FIELD_SYSTEM_SKU, "first"}, {FIELD_SYSTEM_SKU, "second"}});
  const dmi_record base = make_record({{FIELD_SYSTEM_SKU, "base"}});
  dmi_record result;
  ASSERT_EQ(merge_records(result, base, override), 0);
  EXPECT_EQ(record_bytes(result), record_bytes(make_record({{FIELD_SYSTEM_SKU, "second"}})));
  EXPECT_EQ(dmi_record_next_free(result), 8);
}

TEST(MergeRecords, EmptyOverrideTextWins) {
  const dmi_record override = make_record({{FIELD_SYSTEM_SKU, ""}});
  const dmi_record base = make_record({{FIELD_SYSTEM_SKU, "BASE-SKU"}});
  dmi_record result;
  ASSERT_EQ(merge_records(result, base, override), 0);
  EXPECT_NE(dmi_record_index(result, FIELD_SYSTEM_SKU), 0);
  EXPECT_EQ(record_bytes(result), record_bytes(make_record({{FIELD_SYSTEM_SKU, ""}})));
}

TEST(MergeRecords, UuidComesFromTheOverrideUnlessNil) {
  struct uuid_case {
    const char* override_uuid;
    const char* base_uuid;
    const char* expected;
  };
  for (const uuid_case& c : std::vector<uuid_case>{{UUID_NIL, UUID_B, UUID_B},
                                                   {UUID_A, UUID_NIL, UUID_A},
                                                   {UUID_A, UUID_B, UUID_A},
                                                   {UUID_NIL, UUID_NIL, UUID_NIL}}) {
    const dmi_record override = with_uuid(make_record({}), c.override_uuid);
    const dmi_record base = with_uuid(make_record({}), c.base_uuid);
    dmi_record result;
    ASSERT_EQ(merge_records(result, base, override), 0);
    EXPECT_EQ(record_bytes(result), record_bytes(with_uuid(make_record({}), c.expected)))
        << c.override_uuid << " over " << c.base_uuid;
  }
}

TEST(MergeRecords, ExactlyFullResultFits) {
  // 101 + 121 bytes with the NULs: the whole text area.
  const dmi_record override = make_record({{FIELD_SYSTEM_MANUFACTURER, std::string(100, 'm')}});
  const dmi_record base = make_record({{FIELD_SYSTEM_VERSION, std::string(120, 'v')}});
  dmi_record result;
  ASSERT_EQ(merge_records(result, base, override), 0);
  EXPECT_EQ(dmi_record_next_free(result), 223);
  EXPECT_EQ(dmi_record_text(result, FIELD_SYSTEM_VERSION), std::string(120, 'v'));
}

TEST(MergeRecords, OverflowNamesTheFirstFieldLeftOutAndStaysInsideTheResult) {
  // Thirteen texts of 31 bytes each: seven fit, the eighth in field order (board-version) not.
  const std::string text(30, 't');
  dmi_record override = make_record({});
  dmi_record base = make_record({});
  int taken = 0;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    if (id != FIELD_SYSTEM_UUID) {
      dmi_record& owner = taken++ % 2 == 0 ? override : base;
      ASSERT_EQ(dmi_record_set_text(owner, static_cast<field_id>(id), text), 0);
    }
  }
  guarded_result result;
  std::memset(&result, 0xa5, sizeof result);
  field_id overflow = FIELD_COUNT;
  EXPECT_EQ(merge_records(result.record, base, override, &overflow), -1);
  EXPECT_EQ(overflow, FIELD_BOARD_VERSION);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(result.guard), sizeof result.guard),
            std::string(sizeof result.guard, '\xa5'));

  // One byte too many, reported without an overflow pointer.
  const dmi_record small = make_record({{FIELD_SYSTEM_MANUFACTURER, std::string(100, 'm')}});
  const dmi_record large = make_record({{FIELD_SYSTEM_VERSION, std::string(121, 'v')}});
  EXPECT_EQ(merge_records(result.record, large, small), -1);
  overflow = FIELD_COUNT;
  EXPECT_EQ(merge_records(result.record, large, small, &overflow), -1);
  EXPECT_EQ(overflow, FIELD_SYSTEM_VERSION);
}

TEST(MergeRecords, ErasedBaseGivesEmptyTextsAndItsUuid) {
  // Every index of an erased record is 0xff, so every text counts as set and reads empty.
  dmi_record base;
  std::memset(base.bytes, 0xff, sizeof base.bytes);
  const dmi_record override = make_record({});
  dmi_record result;
  ASSERT_EQ(merge_records(result, base, override), 0);

  std::vector<std::pair<field_id, std::string>> empty_texts;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    if (id != FIELD_SYSTEM_UUID) {
      empty_texts.emplace_back(static_cast<field_id>(id), "");
    }
  }
  dmi_record expected = make_record(empty_texts);
  std::memset(dmi_record_uuid(expected), 0xff, DMI_UUID_SIZE);
  EXPECT_EQ(record_bytes(result), record_bytes(expected));
  EXPECT_EQ(dmi_record_next_free(result), 14);
}

} // namespace
