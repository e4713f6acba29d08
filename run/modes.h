// The four modes of a run, each performed after the run's preparation on the run's target: the
// chip, or an image file standing in for it.
#pragma once

#include "cli/options.h"
#include "flash_target/target.h"
#include "record/dmi_record.h"
#include "system/flash_files.h"

// Prints the record found on the target, which it reads into `config_record`. Returns that
// record. Ends the run on failure.
const dmi_record& run_read_mode(const flash_target& target, const working_files& files,
                                dmi_record& config_record);

// Stores the values gathered from the file and the command line over the target's record,
// which it reads into `config_record`. Returns the record stored (to be stored, in a dry run).
// Ends the run on failure.
const dmi_record& run_write_mode(flash_target& target, const working_files& files,
                                 dmi_record& config_record, const dmi_record& cmdline_record,
                                 dmi_record& merged_record);

// Puts the new image's coreboot region on the target with the old record carried over, merged
// under the gathered values when a configuration file was given. Returns the record stored.
// Ends the run on failure.
const dmi_record& run_update_mode(const run_settings& settings, flash_target& target,
                                  const working_files& files, dmi_record& config_record,
                                  const dmi_record& cmdline_record, dmi_record& merged_record);

// As run_update_mode, with the values from the command line laid over the carried record.
// Returns the record stored. Ends the run on failure.
const dmi_record& run_update_dmi_mode(const run_settings& settings, flash_target& target,
                                      const working_files& files, dmi_record& config_record,
                                      const dmi_record& cmdline_record, dmi_record& merged_record);
