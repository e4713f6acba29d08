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
    for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
      ASSERT_EQ(read.blocks[block], written.blocks[block]) << block;
    }
  }
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
