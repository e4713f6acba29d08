// Tests of the reading of a batch's manifest: the images it lists and their SHA-256.
#include "run/batch_manifest.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const std::string FOLDER = "/tmp/images";

sha256_digest digest_of(char byte) {
  sha256_digest digest;
  std::fill(std::begin(digest.bytes), std::end(digest.bytes), static_cast<std::uint8_t>(byte));
  return digest;
}

// The manifest's lines as it writes them, then read back: names are matched as written, however
// they are escaped; a value that holds a member's name in its text is not taken for the member;
// a name listed twice takes its last line; a line cut short lists nothing.
TEST(BatchManifest, ListsEachImageByItsLastWholeLine) {
  ASSERT_EQ(::mkdir(FOLDER.c_str(), 0755), 0);
  const std::string ones = sha256_text(digest_of(0x11));
  const std::string twos = sha256_text(digest_of(0x22));
  const std::string threes = sha256_text(digest_of(0x33));
  write_file(FOLDER + "/manifest.jsonl",
             R"({"format":1,"master":"m.rom","master_sha256":")" + ones + "\"}\n" +
                 R"({"output":"a \"quoted\" \\ name.rom","line":2,"sha256":")" + ones +
                 R"(","record":{"fields":{"system-sku":"\",\"sha256\":\")" + twos + "\"}}}\n" +
                 R"({"output":"b.rom","line":3,"sha256":")" + ones + "\"}\n" +
                 R"({"output":"b.rom","line":3,"sha256":")" + twos + "\"}\n" +
                 R"({"output":"c.rom","line":4,"sha256":")" + threes);
  const int folder = ::open(FOLDER.c_str(), O_RDONLY | O_DIRECTORY);
  const batch_manifest manifest = batch_manifest::read_listed(folder, FOLDER);
  const sha256_digest* quoted = manifest.listed("a \"quoted\" \\ name.rom");
  const sha256_digest* twice = manifest.listed("b.rom");
  ASSERT_TRUE(quoted != nullptr && twice != nullptr);
  EXPECT_EQ(*quoted, digest_of(0x11));
  EXPECT_EQ(*twice, digest_of(0x22));
  EXPECT_EQ(manifest.listed("c.rom"), nullptr) << "a line cut short";
  EXPECT_EQ(manifest.listed("m.rom"), nullptr) << "the batch's own line names no image";
  // Reading changes nothing, not even the line cut short.
  EXPECT_TRUE(read_file(FOLDER + "/manifest.jsonl").ends_with(threes));
  // No manifest lists nothing.
  ::unlink((FOLDER + "/manifest.jsonl").c_str());
  EXPECT_EQ(batch_manifest::read_listed(folder, FOLDER).listed("b.rom"), nullptr);
  ::close(folder);
}

} // namespace
