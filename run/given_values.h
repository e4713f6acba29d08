// The values a run is given: from the -c file and the command line (and a batch table's row), the
// rules they must pass, and how they are laid over a record.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"
#include "system/run_log.h"

#include <string>

// The values of the -c file at `config_path`. Ends the run on failure: a file that cannot be read,
// a line that names no field, a value refused.
dmi_record load_config_file(const std::string& config_path);

// With --strict, and always in a batch: each value given in `values` (on the command line, or in
// the -c file `config_path`) must pass the value rules. Ends the run naming the first that does
// not, and the rule.
void check_given_values(const dmi_record& values, const std::string& config_path);

// With --strict, and always in a batch: no field that the run leaves as `found` has it (none that
// `given` sets) may carry a placeholder over into the record stored. `source_path` names where
// `found` was read: an image file, or "" for the flash. Ends the run naming the first such field,
// its value and where it comes from.
void check_carried_values(const dmi_record& found, const dmi_record& given,
                          const std::string& source_path);

// `override` laid over `base` (see merge_records). Ends the run when the values do not fit in the
// record together, naming the first field left out.
dmi_record overlay_values(const dmi_record& base, const dmi_record& override);

// The values the operator gave: the file's under the command line's, each source and the merge
// logged.
dmi_record gather_values(const run_settings& settings, const dmi_record& config_record,
                         const dmi_record& cmdline_record, run_log& log);

// `given` laid over the record found on the target, marked as stored by this tool: the record a
// merging mode stores. Ends the run when the values do not fit.
dmi_record stored_record(const dmi_record& found, const dmi_record& given);
