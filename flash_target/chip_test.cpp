// Tests of the layout file and the flashrom command lines.
#include "flash_target/chip.h"
#include "flash_target/recovery.h"
#include "system/working_files.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

namespace {

// The layout flashrom reads: the descriptor, the middle and the coreboot region, one after
// another from the chip's start to its end, whatever an older file at the name held.
TEST(BiosLayout, ReplacesAnOldFileWithRegionsThatTileTheChip) {
  write_file("/tmp/bios_layout", std::string(500, 'x'));
  write_bios_layout(BIOS_LAYOUT_PATH);
  const char* const names[] = {"ifd", "midrom", "coreboot"};
  const std::vector<std::string> lines = read_lines("/tmp/bios_layout");
  ASSERT_EQ(lines.size(), std::size(names));
  unsigned long next = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    unsigned long first = 0;
    unsigned long last = 0;
    char name[16] = {};
    ASSERT_EQ(std::sscanf(lines[i].c_str(), "0x%lx:0x%lx %15s", &first, &last, name), 3)
        << lines[i];
    EXPECT_STREQ(name, names[i]);
    EXPECT_EQ(first, next) << lines[i];
    EXPECT_LT(first, last) << lines[i];
    next = last + 1;
  }
  EXPECT_EQ(next, static_cast<unsigned long>(FLASH_IMAGE_SIZE));
  EXPECT_TRUE(lines[2].starts_with(format_text("0x%08jX:", std::intmax_t{COREBOOT_REGION_OFFSET})));
}

TEST(BiosLayout, RefusesALinkPlantedInItsPlace) {
  write_file("/tmp/target", "untouched");
  ASSERT_EQ(::symlink("/tmp/target", "/tmp/bios_layout"), 0);
  const child_result result = run_in_child([] { write_bios_layout(BIOS_LAYOUT_PATH); });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.out, "Failed to create BIOS layout file, exiting ...\n");
  EXPECT_EQ(read_file("/tmp/target"), "untouched");
}

TEST(CorebootRegion, ReadAnnouncesTheCommandAndRunsIt) {
  const child_result result = run_in_child([] {
    shell_recorder shell({}, [](const std::string&) { make_image(WORKING_IMAGE_PATH, ""); });
    read_coreboot_region(shell.runner(), working_files{});
    for (const std::string& command : shell.commands()) {
      std::printf("ran: %s\n", command.c_str());
    }
  });
  const std::string command = "flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i "
                              "coreboot -r /tmp/flash_backup.bin";
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "Reading coreboot region...\n"
                        "Reading coreboot region..." +
                            command +
                            " \n"
                            "system() exit with return_code=0, child exit status=0\n"
                            "ran: " +
                            command + "\n");
}

// A working image of another size holds no chip: nothing may be judged or kept from it.
TEST(CorebootRegion, ReadLeavingAnImageOfAnotherSizeEndsTheRun) {
  for (const off_t size : {FLASH_IMAGE_SIZE - 1, FLASH_IMAGE_SIZE + 1, off_t{0}}) {
    const child_result result = run_in_child([size] {
      shell_recorder shell(
          {}, [size](const std::string&) { make_image(WORKING_IMAGE_PATH, "", size); });
      read_coreboot_region(shell.runner(), working_files{});
    });
    EXPECT_EQ(result.exit_status, 255) << size;
    EXPECT_EQ(result.err, "Incorrect flash image file size.\n") << size;
  }
}

TEST(CorebootRegion, WriteRunsTheCommandWithoutEchoingIt) {
  const child_result result = run_in_child([] {
    shell_recorder shell;
    working_files files; // the write checks that they are the files the run made
    make_fixed_working_files(files);
    write_coreboot_region(shell.runner(), files, {});
    for (const std::string& command : shell.commands()) {
      std::printf("ran: %s\n", command.c_str());
    }
  });
  EXPECT_EQ(result.out, "Writing coreboot region...\n"
                        "system() exit with return_code=0, child exit status=0\n"
                        "ran: flashrom -p internal:boardmismatch=force -l /tmp/bios_layout -i "
                        "coreboot -w /tmp/flash_backup.bin\n");
}

TEST(CorebootRegion, ReadRefusesALinkPlantedAtTheWorkingImage) {
  ASSERT_EQ(::symlink("/tmp/precious", "/tmp/flash_backup.bin"), 0);
  const child_result result = run_in_child([] {
    shell_recorder shell({}, [](const std::string&) { write_file("/tmp/ran", "yes"); });
    read_coreboot_region(shell.runner(), working_files{});
  });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.err,
            "Refusing to read the flash into /tmp/flash_backup.bin: it is a symbolic link\n");
  EXPECT_FALSE(file_exists("/tmp/ran"));
}

TEST(CorebootRegion, FailingFlashromEndsTheRunWithItsCode) {
  const child_result result = run_in_child([] {
    shell_recorder shell({2 << 8});
    read_coreboot_region(shell.runner(), working_files{});
  });
  EXPECT_EQ(result.exit_status, 2);
}

} // namespace
