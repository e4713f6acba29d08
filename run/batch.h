// A batch: one image stamped from a master image file for each row of a table, in one process.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"
#include "run/reporter.h"
#include "system/command_runner.h"

// `vek_smbios_util -w -f MASTER --batch TABLE -o FOLDER`: stamps one image per row of TABLE into
// FOLDER, each made as -o makes one (a working copy beside it, the record read back and compared,
// flushed and renamed into place). A row's values beat `cmdline_record`, which beats the -c file,
// which beats the master's record. Before anything is made every row is checked (values that fit
// and pass the value rules, no two rows with the same output, serial number, UUID or asset tag, no
// output that exists already unless it is the very image its row makes, the table well formed)
// and every problem is listed, with its line and column; a master that holds no record is refused
// too. An output that is its row's image already is taken as made: a batch run again makes only
// what is missing. Each image made, and each made before that the manifest does not list yet, is
// added to the folder's manifest (see batch_manifest.h). A row that fails while its image is made
// is said and the others go on. The images are what cbfstool makes of the master with each record
// (see image_template). With -n, checks the table and makes nothing. With --expect, checks the
// folder instead (see check_batch_folder). Shows the result through `out`: a line per image that
// failed, a summary line, the batch's document with --json. Returns the exit status: 0, or 255
// when a row failed; ends the run when the batch is refused before anything is made.
int run_batch(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
              command_shell& shell);

// --row FIELD=VALUE: the values of the one row of the batch table whose FIELD holds VALUE, after
// the whole table is checked as a batch checks it (with `cmdline_record` and no output folder).
// Ends the run when the table is refused, or when no row or more than one holds the value.
dmi_record batch_row_values(const run_settings& settings, const dmi_record& cmdline_record);
