// Replacing the record's file vek_smbios in the working image's CBFS.
#pragma once

#include "record/dmi_record.h"
#include "system/command_runner.h"
#include "system/flash_files.h"

// Writes `record` to the record file, then has cbfstool remove the old vek_smbios file from the
// working image and add the new one with its data at 0xFFFF0100 (image offset 0xFF0100).
// Ends the run when the record file cannot be written or cbfstool fails.
void update_cbfs_record(command_runner& runner, const dmi_record& record,
                        const working_files& files);
