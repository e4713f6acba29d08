// The run sequence after option parsing: preparation, then the chosen mode.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"

// Opens the log, gathers the values of the configuration file and the command line into
// `cmdline_record` (logging each source and the merge), saves the -b copy, writes the layout
// file, then performs the mode. Returns 0 when the mode completes, -1 when the layout file
// cannot be created (reported); every other failure ends the run.
int run_tool(const run_settings& settings, dmi_record& config_record, dmi_record& cmdline_record,
             dmi_record& merged_record);

// Prints the record found in the chip. Ends the run on failure.
void run_read_mode(dmi_record& config_record);

// Stores the values gathered from the file and the command line over the chip's record.
// Returns 0; ends the run on failure.
int run_write_mode(dmi_record& config_record, const dmi_record& cmdline_record,
                   dmi_record& merged_record);

// Puts the new image's coreboot region on the chip with the old record carried over, merged
// under the gathered values when a configuration file was given. Returns 0; ends the run on
// failure.
int run_update_mode(const run_settings& settings, dmi_record& config_record,
                    const dmi_record& cmdline_record, dmi_record& merged_record);

// As run_update_mode, with the values from the command line laid over the carried record.
// Returns 0; ends the run on failure.
int run_update_dmi_mode(const run_settings& settings, dmi_record& config_record,
                        const dmi_record& cmdline_record, dmi_record& merged_record);

// Reads the record stored in the working image into `record`. Ends the run on failure.
void read_image_record(dmi_record& record);

// Merges `override` over `base` into `result`. Ends the run when the texts do not fit.
void merge_or_exit(dmi_record& result, const dmi_record& base, const dmi_record& override);
