// CBFS record replacement.
#include "cbfs/cbfs_record.h"

#include "cbfs/record_file.h"
#include "system/command_runner.h"
#include "system/flash_files.h"
#include "util/fail.h"

#include <cstdio>

void update_cbfs_record(const dmi_record& record, const working_files& files) {
  // Truncated first: cbfstool adds the file whole, so it must be exactly the record.
  if (write_record_file(files.record.c_str(), link_policy::refuse, record) != 0) {
    end_run(EXIT_TOOL_ERROR);
  }
  const std::string image = shell_quote(files.image);
  command_buffer command;
  std::printf("Removing old SMBIOS information from CBFS...\n");
  format_command(command, "cbfstool %s remove -n %s", image.c_str(), CBFS_RECORD_NAME);
  run_command(command, command_log::unlogged);

  std::printf("Adding new SMBIOS information to CBFS...\n");
  // Two blanks before the address, as the command line has always read.
  format_command(command, "cbfstool %s add -f %s -n %s -t struct -r COREBOOT -b  0x%0x",
                 image.c_str(), shell_quote(files.record).c_str(), CBFS_RECORD_NAME,
                 DMI_RECORD_ADDRESS);
  run_command(command, command_log::unlogged);
}
