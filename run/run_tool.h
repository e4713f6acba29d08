// The run sequence after option parsing: preparation, then the chosen mode, then its result.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"
#include "run/reporter.h"
#include "system/command_runner.h"

// Takes the empty and relative entries out of PATH, opens the target (the -f image file, checked
// and for a changing mode locked before anything is written; for the chip, after the
// configuration file is read, the run lock and the state folder), opens the log, gathers the
// values of the configuration file and `cmdline_record` (logging each source and the merge),
// saves the -b copy, makes the working files, then performs the mode, or the restore or discard
// of the journal, and shows the result through `out` once the run's own files are removed.
// A batch is a run of its own (see run_batch). Outside programs run through `shell`. Returns the
// exit status when the mode has completed (0; a batch with a row that failed, 255); ends the run on
// failure, and when no mode was given.
int run_tool(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
             command_shell& shell = system_shell());
