// CBFS record replacement.
#include "cbfs/cbfs_record.h"

#include "cbfs/record_file.h"

void update_cbfs_record(command_runner& runner, const dmi_record& record,
                        const working_files& files) {
  // Truncated first: cbfstool adds the file whole, so it must be exactly the record.
  write_record_file(files.record.c_str(), link_policy::refuse, record);
  const std::string image = shell_quote(files.image);
  command_buffer command;
  runner.out().progress("Removing old SMBIOS information from CBFS...\n");
  format_command(command, "cbfstool %s remove -n %s", image.c_str(), CBFS_RECORD_NAME);
  runner.run(command, command_log::unlogged);

  runner.out().progress("Adding new SMBIOS information to CBFS...\n");
  // Two blanks before the address, as the command line has always read.
  format_command(command, "cbfstool %s add -f %s -n %s -t struct -r COREBOOT -b  0x%0x",
                 image.c_str(), shell_quote(files.record).c_str(), CBFS_RECORD_NAME,
                 DMI_RECORD_ADDRESS);
  runner.run(command, command_log::unlogged);
}
