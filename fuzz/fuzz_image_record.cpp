// The input is a record read from an image (its first 256 bytes, erased-flash 0xFF past the
// end) and then chunks of a field number, a length and a text that build the values given to
// the tool. Laying those over the image record must give a sound record with the right texts.
#include "fuzz/record_invariants.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dmi_record image;
  std::memset(image.bytes, 0xff, sizeof image.bytes);
  std::memcpy(image.bytes, data, std::min(size, sizeof image.bytes));
  print_to_nowhere(image);

  dmi_record given;
  dmi_record_init(given);
  for (std::size_t at = sizeof image.bytes; at + 2 <= size;) {
    const auto field = static_cast<field_id>(data[at] % FIELD_COUNT);
    const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
    const std::uint8_t* text = data + at + 2;
    if (field == FIELD_SYSTEM_UUID) {
      std::memcpy(dmi_record_uuid(given), text, std::min<std::size_t>(length, DMI_UUID_SIZE));
    } else {
      dmi_record_set_text(given, field, {reinterpret_cast<const char*>(text), length});
    }
    at += 2 + length;
  }
  check_record_invariants(given);

  // Guard bytes on both sides catch a write past the result that stays inside this struct.
  struct {
    std::uint8_t before[32];
    dmi_record result;
    std::uint8_t after[32];
  } guarded;
  std::memset(&guarded, 0xa5, sizeof guarded);
  field_id overflow = FIELD_COUNT;
  const int merged = merge_records(guarded.result, image, given, &overflow);
  FUZZ_CHECK(merged == 0 || merged == -1);
  for (std::size_t i = 0; i < sizeof guarded.before; ++i) {
    FUZZ_CHECK(guarded.before[i] == 0xa5 && guarded.after[i] == 0xa5);
  }
  const dmi_record& result = guarded.result;

  // The text bytes the winning values need, NULs included, up to each field.
  std::size_t needed = 0;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    if (field == FIELD_SYSTEM_UUID) {
      continue;
    }
    const dmi_record* winner = dmi_record_index(given, field) != 0   ? &given
                               : dmi_record_index(image, field) != 0 ? &image
                                                                     : nullptr;
    const std::size_t before = needed;
    needed += winner != nullptr ? dmi_record_text(*winner, field).size() + 1 : 0;
    if (merged != 0 && field == overflow) {
      FUZZ_CHECK(winner != nullptr && before <= DMI_TEXT_CAPACITY && needed > DMI_TEXT_CAPACITY);
      return 0;
    }
    if (merged == 0) {
      FUZZ_CHECK((dmi_record_index(result, field) != 0) == (winner != nullptr));
      FUZZ_CHECK(winner == nullptr ||
                 dmi_record_text(result, field) == dmi_record_text(*winner, field));
    }
  }
  FUZZ_CHECK(merged == 0); // a failed merge names a text field that needed room
  FUZZ_CHECK(dmi_record_next_free(result) == 1 + needed);
  FUZZ_CHECK(dmi_record_marker(result) == 0);
  const std::uint8_t* uuid = dmi_record_uuid(given);
  const bool given_uuid = std::any_of(uuid, uuid + DMI_UUID_SIZE, [](auto b) { return b != 0; });
  FUZZ_CHECK(std::memcmp(dmi_record_uuid(result), given_uuid ? uuid : dmi_record_uuid(image),
                         DMI_UUID_SIZE) == 0);
  check_record_invariants(result);
  print_to_nowhere(result);
  return 0;
}
