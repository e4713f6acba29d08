// CBFS record replacement.
#include "flash/cbfs_record.h"

#include "flash/command_runner.h"
#include "flash/flash_files.h"
#include "flash/record_file.h"

#include <fcntl.h>

#include <cstdio>

int update_cbfs_record(const dmi_record& record) {
  // Truncated first: cbfstool adds the file whole, so it must be exactly the record.
  if (write_record_file(DMI_RECORD_FILE_PATH, O_NOFOLLOW, record) != 0) {
    return -1;
  }
  command_buffer command;
  std::printf("Removing old SMBIOS information from CBFS...\n");
  format_command(command, "%s %s", "cbfstool", "/tmp/flash_backup.bin remove -n vek_smbios");
  run_command(command, false);

  std::printf("Adding new SMBIOS information to CBFS...\n");
  format_command(command, "%s %s 0x%0x", "cbfstool",
                 "/tmp/flash_backup.bin add -f /tmp/dmi.bin -n vek_smbios -t struct -r COREBOOT "
                 "-b ",
                 DMI_RECORD_ADDRESS);
  run_command(command, false);
  return 0;
}
