// The run sequence after option parsing: preparation, then the chosen mode.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"

// Takes the empty and relative entries out of PATH, takes the target (the chip, or the -f image
// file, checked and for a changing mode locked before anything is written) and, for the chip, the
// run lock, opens the log, gathers the values of the configuration file and the command line into
// `cmdline_record` (logging each source and the merge), saves the -b copy, makes the working files
// (for the chip the fixed names in /tmp and the layout file, for an image file that changes a
// working copy), then performs the mode. A dry run then says what would have been done (for an
// update, the region replaced; the fields that would change) and that nothing was written; with
// --json the document goes to the standard output set aside for it. Returns when the mode has
// completed; ends the run on failure, and when no mode was given.
void run_tool(const run_settings& settings, dmi_record& config_record, dmi_record& cmdline_record,
              dmi_record& merged_record);
