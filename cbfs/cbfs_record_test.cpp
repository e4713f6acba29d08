// Tests of replacing the record's CBFS file.
#include "cbfs/cbfs_record.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const char* const REMOVE = "cbfstool /tmp/flash_backup.bin remove -n vek_smbios";
const char* const ADD = "cbfstool /tmp/flash_backup.bin add -f /tmp/dmi.bin -n vek_smbios -t "
                        "struct -r COREBOOT -b  0xffff0100";

TEST(UpdateCbfsRecord, WritesExactlyTheRecordThenRemovesBeforeAdding) {
  write_file("/tmp/dmi.bin", std::string(1000, 'o'));
  const dmi_record record = make_record({{FIELD_CHASSIS_VERSION, "v2"}});
  const child_result result = run_in_child([&] {
    shell_recorder shell;
    update_cbfs_record(shell.runner(), record, working_files{});
    for (const std::string& command : shell.commands()) {
      std::printf("ran: %s\n", command.c_str());
    }
  });
  EXPECT_EQ(result.out, "Removing old SMBIOS information from CBFS...\n"
                        "system() exit with return_code=0, child exit status=0\n"
                        "Adding new SMBIOS information to CBFS...\n"
                        "system() exit with return_code=0, child exit status=0\n"
                        "ran: " +
                            std::string(REMOVE) + "\nran: " + ADD + "\n");
  EXPECT_EQ(read_file("/tmp/dmi.bin"), record_bytes(record));
}

TEST(UpdateCbfsRecord, FailedRemoveEndsTheRunBeforeTheAdd) {
  const child_result result = run_in_child([] {
    shell_recorder shell({1 << 8}, [](const std::string& command) {
      FILE* log = std::fopen("/tmp/ran", "a");
      std::fprintf(log, "%s\n", command.c_str());
      std::fclose(log);
    });
    dmi_record record;
    dmi_record_init(record);
    update_cbfs_record(shell.runner(), record, working_files{});
  });
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(read_file("/tmp/ran"), std::string(REMOVE) + "\n");
}

TEST(UpdateCbfsRecord, RefusesALinkPlantedAtTheRecordFile) {
  write_file("/tmp/target", "untouched");
  ASSERT_EQ(::symlink("/tmp/target", "/tmp/dmi.bin"), 0);
  const child_result result = run_in_child([] {
    shell_recorder shell;
    dmi_record record;
    dmi_record_init(record);
    update_cbfs_record(shell.runner(), record, working_files{});
  });
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(result.out, "") << "no command runs";
  EXPECT_EQ(result.err,
            "Unable to open /tmp/dmi.bin for writing: it is a symbolic link, in a sticky "
            "world-writable folder\n");
  EXPECT_EQ(read_file("/tmp/target"), "untouched");
}

} // namespace
