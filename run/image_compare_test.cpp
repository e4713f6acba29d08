// Tests of the comparison of an image file with an image in memory.
#include "run/image_compare.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
  // The file holds the image with its record (a sparse file: the rest reads as zeros), then each
  // byte named is changed, and changed back after.
  make_image("/tmp/image.rom", record_bytes(image.record));
  const int file = ::open("/tmp/image.rom", O_RDWR);
  const auto flip = [file](off_t offset) {
    char byte = 0;
    ASSERT_EQ(::pread(file, &byte, 1, offset), 1);
    byte ^= 0x40;
    ASSERT_EQ(::pwrite(file, &byte, 1, offset), 1);
  };
  for (const auto& c : cases) {
    std::for_each(c.changed.begin(), c.changed.end(), flip);
    const std::string record = image_record_bytes("/tmp/image.rom");
    image_difference difference;
    ASSERT_EQ(compare_image_file(file, image, difference), 0) << c.name;
    EXPECT_EQ(difference.record_differs, c.record_differs) << c.name;
    EXPECT_EQ(difference.first_other, c.first_other) << c.name;
    EXPECT_EQ(record_bytes(difference.found), record) << c.name;
    std::for_each(c.changed.begin(), c.changed.end(), flip);
  }
  // A file that ends early, in its last page or long before it (where a mapped file's reader gets
  // a signal), cannot be compared.
  for (const off_t size : {FLASH_IMAGE_SIZE - 1, off_t{1} << 20}) {
    ASSERT_EQ(::ftruncate(file, size), 0);
    image_difference difference;
    EXPECT_EQ(compare_image_file(file, image, difference), -1) << size;
    EXPECT_EQ(errno, EIO) << size;
  }
  ::close(file);
}

} // namespace
