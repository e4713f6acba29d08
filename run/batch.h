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
// output that exists already, the table well formed) and every problem is listed, with its line
// and column; a master that holds no record is refused too. A row that fails while its image is
// made is said and the others go on. The first image, and the first whose record differs from it,
// are stamped through cbfstool; when the two differ in their record's 256 bytes alone, every
// further image is the first with its own record at that place, else each goes through cbfstool.
// With -n, checks the table and makes nothing. Shows the result through `out`: a line per image
// that failed, a summary line, the batch's document with --json. Returns the exit status: 0, or
// 255 when a row failed; ends the run when the batch is refused before anything is made.
int run_batch(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
              command_shell& shell);
