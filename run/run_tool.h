// The run sequence after option parsing: preparation, then the chosen mode.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"

// Takes the empty and relative entries out of PATH, takes the run lock (a second run at the same
// time ends there), opens the log, gathers the values of the configuration file and the command
// line into `cmdline_record` (logging each source and the merge), saves the -b copy, makes the
// working files anew and writes the layout file, then performs the mode. Returns the run's exit
// status: 0 when the mode completes, EXIT_TOOL_ERROR when the layout file cannot be created
// (reported); every other failure ends the run.
int run_tool(const run_settings& settings, dmi_record& config_record, dmi_record& cmdline_record,
             dmi_record& merged_record);
