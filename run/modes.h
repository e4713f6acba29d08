// The four modes of a run, each a function from the target and what the operator gave to the
// run's result: the record found on the target, and the record stored.
#pragma once

#include "cli/options.h"
#include "flash_target/target.h"
#include "record/dmi_record.h"
#include "system/command_runner.h"

// What a mode did: the record the target held before, and the record stored (to be stored, in a
// dry run); for a read, the record read, twice.
struct mode_result {
  dmi_record found;
  dmi_record stored;
};

// Prints nothing itself: the record found is the result. Ends the run when the record area is
// erased (no record is stored), or on failure.
mode_result run_read_mode(flash_target& target, command_runner& runner);

// Stores `given` (the values gathered from the file and the command line) over the target's
// record. Ends the run on failure, and with --strict before anything is written when the target's
// record carries a placeholder into a field `given` does not set (see check_carried_values).
mode_result run_write_mode(const run_settings& settings, flash_target& target,
                           command_runner& runner, const dmi_record& given);

// Puts the new image's coreboot region on the target with the old record carried over, merged
// under `given` when a configuration file was given. Ends the run on failure, and on a carried
// placeholder with --strict, as run_write_mode.
mode_result run_update_mode(const run_settings& settings, flash_target& target,
                            command_runner& runner, const dmi_record& given);

// As run_update_mode, with `given` always laid over the carried record. Ends the run on failure.
mode_result run_update_dmi_mode(const run_settings& settings, flash_target& target,
                                command_runner& runner, const dmi_record& given);
