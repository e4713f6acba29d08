// The four modes of a run, each performed after the run's preparation.
#pragma once

#include "cli/options.h"
#include "flash/flash_files.h"
#include "record/dmi_record.h"

// Prints the record found in the chip. Ends the run on failure.
void run_read_mode(const working_files& files, dmi_record& config_record);

// Stores the values gathered from the file and the command line over the chip's record. Ends
// the run on failure.
void run_write_mode(const working_files& files, dmi_record& config_record,
                    const dmi_record& cmdline_record, dmi_record& merged_record);

// Puts the new image's coreboot region on the chip with the old record carried over, merged
// under the gathered values when a configuration file was given. Ends the run on failure.
void run_update_mode(const run_settings& settings, const working_files& files,
                     dmi_record& config_record, const dmi_record& cmdline_record,
                     dmi_record& merged_record);

// As run_update_mode, with the values from the command line laid over the carried record. Ends
// the run on failure.
void run_update_dmi_mode(const run_settings& settings, const working_files& files,
                         dmi_record& config_record, const dmi_record& cmdline_record,
                         dmi_record& merged_record);
