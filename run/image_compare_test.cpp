// Tests of the comparison of an image file with an image in memory.
#include "run/image_compare.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

constexpr off_t LAST = FLASH_IMAGE_SIZE - 1;

// Each place a file can differ from the image: at either end, on each side of the record, in
// the record, and in two places at once (the first outside the record is the one said).
TEST(CompareImageFile, NamesTheRecordAndTheFirstOtherByteThatDiffer) {
  const std::unique_ptr<char[]> bytes(new char[FLASH_IMAGE_SIZE]());
  image_view image{bytes.get(), make_record({{FIELD_SYSTEM_SKU, "S"}})};
  const struct {
    const char* name;
    std::vector<off_t> changed;
    bool record_differs;
    std::optional<off_t> first_other;
  } cases[] = {
      {"the same", {}, false, std::nullopt},
      {"first byte", {0}, false, 0},
      {"last byte", {LAST}, false, LAST},
      {"just before the record", {DMI_RECORD_OFFSET - 1}, false, DMI_RECORD_OFFSET - 1},
      {"just after the record", {DMI_RECORD_OFFSET + 256}, false, DMI_RECORD_OFFSET + 256},
      {"the record's first and last", {DMI_RECORD_OFFSET, DMI_RECORD_OFFSET + 255}, true, {}},
      {"the record and two others", {LAST, DMI_RECORD_OFFSET + 4, 0x100000}, true, 0x100000},
  };
  for (const auto& c : cases) {
    // The file holds the image with its record; then each byte named is changed.
    std::unique_ptr<char[]> file_bytes(new char[FLASH_IMAGE_SIZE]());
    std::memcpy(file_bytes.get() + DMI_RECORD_OFFSET, image.record.bytes, DMI_RECORD_SIZE);
    for (const off_t offset : c.changed) {
      file_bytes[offset] ^= 0x40;
    }
    write_file("/tmp/image.rom", std::string(file_bytes.get(), FLASH_IMAGE_SIZE));
    const int file = ::open("/tmp/image.rom", O_RDONLY);
    image_difference difference;
    ASSERT_EQ(compare_image_file(file, image, difference), 0) << c.name;
    ::close(file);
    EXPECT_EQ(difference.record_differs, c.record_differs) << c.name;
    EXPECT_EQ(difference.first_other, c.first_other) << c.name;
    EXPECT_EQ(record_bytes(difference.found),
              std::string(file_bytes.get() + DMI_RECORD_OFFSET, DMI_RECORD_SIZE))
        << c.name;
  }
  // A file that ends early, in its last page or long before it (where a mapped file's reader gets
  // a signal), cannot be compared.
  for (const off_t size : {FLASH_IMAGE_SIZE - 1, off_t{1} << 20}) {
    ASSERT_EQ(::truncate("/tmp/image.rom", size), 0);
    const int file = ::open("/tmp/image.rom", O_RDONLY);
    image_difference difference;
    EXPECT_EQ(compare_image_file(file, image, difference), -1) << size;
    EXPECT_EQ(errno, EIO) << size;
    ::close(file);
  }
}

} // namespace
