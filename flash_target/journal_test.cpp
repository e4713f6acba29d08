// Tests of the journal's file format: the header read back as written, and the headers refused.
#include "flash_target/journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

journal_header sample_header(journal_kind kind) {
  journal_header header;
  header.kind = kind;
  header.write_id = 0x0123456789abcdef;
  header.written = 1765272902;
  header.tool_version = "1.0.0";
  header.checksum.bytes[0] = 0xA5;
  header.checksum.bytes[31] = 0x5A;
  header.identity = board_identity{std::string(IDENTITY_TEXT_MAX, 's'), std::nullopt,
                                   identity_uuid_of_text("4c4c4544-0042-3510-8052-b4c04f333232")};
  if (kind == journal_kind::region_before) {
    header.blocks.set();
  } else {
    header.blocks.set(0).set(63).set(64).set(REGION_BLOCKS - 1);
  }
  return header;
}

TEST(JournalHeader, ReadsBackAsWritten) {
  for (const journal_kind kind : {journal_kind::region_before, journal_kind::region_meant}) {
    const journal_header written = sample_header(kind);
    std::uint8_t bytes[JOURNAL_HEADER_SIZE];
    encode_journal_header(written, bytes);
    journal_header read;
    ASSERT_EQ(decode_journal_header(bytes, kind, read), nullptr);
    EXPECT_EQ(read.write_id, written.write_id);
    EXPECT_EQ(read.written, written.written);
    EXPECT_EQ(read.tool_version, written.tool_version);
    EXPECT_EQ(read.checksum, written.checksum);
    EXPECT_EQ(read.blocks.count(), written.blocks.count());
    ASSERT_TRUE(read.identity);
    EXPECT_TRUE(same_identity(*read.identity, *written.identity));
    for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
      ASSERT_EQ(read.blocks[block], written.blocks[block]) << block;
    }
  }
}

// A journal begun before the board's identity was recorded is read as recording none, and its
// checksum covers its blocks alone; the identity counts in a journal of today's format.
TEST(JournalHeader, OfTheFormatBeforeRecordsNoIdentity) {
  std::uint8_t bytes[JOURNAL_HEADER_SIZE];
  encode_journal_header(sample_header(journal_kind::region_meant), bytes);
  const std::uint8_t block[JOURNAL_BLOCK_SIZE] = {1, 2, 3};
  const auto checksum = [&block](const std::uint8_t* header) {
    journal_checksum sum;
    sum.add(block, 1);
    return sum.finish(header);
  };
  const sha256_digest with_identity = checksum(bytes);
  std::memset(bytes + 256, 0, JOURNAL_HEADER_SIZE - 256); // a format 1 file holds nothing there
  EXPECT_NE(checksum(bytes), with_identity);
  bytes[16] = 1;
  journal_header read;
  ASSERT_EQ(decode_journal_header(bytes, journal_kind::region_meant, read), nullptr);
  EXPECT_FALSE(read.identity);
  EXPECT_EQ(checksum(bytes), sha256_of(block, sizeof block));
}

// The faults a header's bytes can have that a file of the right size and owner does not show.
TEST(JournalHeader, RefusesWhatDoesNotDescribeAJournalOfThisChip) {
  const auto put32 = [](std::uint8_t* at, std::uint32_t value) {
    std::memcpy(at, &value, sizeof value); // little-endian, as x86-64 and the header are
  };
  const struct {
    const char* name;
    journal_kind kind;
    std::function<void(std::uint8_t*)> edit;
    const char* fault;
  } cases[] = {
      {"a format to come", journal_kind::region_meant, [&](std::uint8_t* h) { put32(h + 16, 99); },
       "its format is not one this version knows"},
      {"another chip size", journal_kind::region_meant, [](std::uint8_t* h) { h[26] = 0x80; },
       "it describes another flash layout"},
      {"another block size", journal_kind::region_meant,
       [&](std::uint8_t* h) { put32(h + 48, 65536); }, "it describes another flash layout"},
      {"a block count the map does not give", journal_kind::region_meant,
       [&](std::uint8_t* h) { put32(h + 52, 5); }, "its header does not hold"},
      {"a version without its end", journal_kind::region_meant,
       [](std::uint8_t* h) { std::memset(h + 72, 'v', 24); }, "its header does not hold"},
      {"a serial read that is empty", journal_kind::region_meant,
       [](std::uint8_t* h) { h[260] = 0; }, "its header does not hold"},
      {"a value read that it has no room for", journal_kind::region_meant,
       [](std::uint8_t* h) { h[256] |= 0x8; }, "its header does not hold"},
      // Written back as it stands, a region from before that lacks a block would put whatever
      // the file holds there on the chip.
      {"a region from before that leaves a block out", journal_kind::region_before,
       [&](std::uint8_t* h) {
         h[128 + 700 / 8] &= static_cast<std::uint8_t>(~(1u << (700 % 8)));
         put32(h + 52, REGION_BLOCKS - 1);
       },
       "it does not hold every block of the region"},
  };
  for (const auto& c : cases) {
    std::uint8_t bytes[JOURNAL_HEADER_SIZE];
    encode_journal_header(sample_header(c.kind), bytes);
    c.edit(bytes);
    journal_header read;
    const char* fault = decode_journal_header(bytes, c.kind, read);
    EXPECT_STREQ(fault, c.fault) << c.name;
  }
}

} // namespace
