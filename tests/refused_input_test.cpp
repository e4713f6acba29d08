// Input the tool refuses, end to end: the run ends with 255 and one line on standard error
// before the chip is read or any file is written.
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(RefusedInput, BadUuidOrStrayWordEndsTheRunBeforeAnything) {
  const emulated_board board;
  board.make_chip(nullptr);
  const std::string chip_before = read_file(emulated_board::CHIP);
  write_file("/tmp/board/board.conf", "system-sku=S\r\n\r\nsystem-uuid=not-a-uuid\r\n");
  const std::pair<std::string, std::string> cases[] = {
      {"--system-uuid=not-a-uuid", "system-uuid value 'not-a-uuid' is not a UUID\n"},
      {"system-serial-number=NEW1",
       "Unexpected argument 'system-serial-number=NEW1': values are given as --NAME=VALUE\n"},
      {"-cboard.conf", "system-uuid value 'not-a-uuid' on line 3 is not a UUID\n"},
  };
  for (const auto& [argument, err] : cases) {
    const child_result result =
        board.run({"-w", argument, "-l", "/tmp/board/run.log", "-b", "/tmp/board/copy.bin"});
    EXPECT_EQ(result.exit_status, 255) << err;
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.out, "") << err;
    EXPECT_TRUE(board.calls().empty()) << err;
    EXPECT_EQ(read_file(emulated_board::CHIP), chip_before) << err;
    // Options and the configuration file are both taken before the log is created.
    EXPECT_FALSE(file_exists("/tmp/board/run.log")) << err;
    EXPECT_FALSE(file_exists("/tmp/board/copy.bin")) << err;
    EXPECT_FALSE(file_exists("/tmp/bios_layout")) << err;
  }
}

} // namespace
